// What install prints on the way through a default installation, shared by the scenarios.
#pragma once

#include <string>

inline const std::string kBanner = "Installing Quillant(R) Tessaridge(R) Device Driver Version 6.1.1\n";

// The first half of the dialogue when every answer takes the default and the advanced
// parameters are declined.
inline std::string dialogue_defaults_prompts() {
  return "Maximum number of PCI/cPCI hardware modules (default 16): "
         "Physical buffer size (default 32768): "
         "Application buffer size (default 10240): "
         "Machine ID, in hex (default 1): "
         "Do initial reset (default 1): "
         "History enable (default 0): "
         "Configure advanced parameters (n)? ";
}

inline std::string summary(const std::string& phys = "32768") {
  return "Configuring Halvik driver:\n    Phys buf size " + phys +
         "\n    App buf size 10240\n    Machine ID 1\n        History disabled\n";
}

// The device-node question, the memory adjustment notice and its question.
inline std::string install_options_prompts() {
  return "Load driver with no devices present? (y or n, default n): "
         "\nWhen using Halvik PCI hardware modules, a system memory adjustment\n"
         "may be required in order to properly access the modules.\n"
         "For a small number of modules this is often not required,\n"
         "but many factors, including other devices that are or will\n"
         "be in the system, affect this. After this adjustment is\n"
         "made, the system must be rebooted.\n"
         "Do you wish to perform this adjustment? (default n): ";
}
