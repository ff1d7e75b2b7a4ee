// A simulated machine with the driver package beside the installer and helpers for boards.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/driver_config.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_devices.h"
#include "pnp/hardware_ids.h"
#include "unit/machine_fixture.h"

inline constexpr const char* kInfPath = "..\\pnp\\morvellan.inf";
inline constexpr const char* kFirstClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}";
inline constexpr const char* kSecondClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{9E21C4B7-0A3D-4F88-B61E-D4075A2C93E8}";
inline constexpr const char* kEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
inline constexpr const char* kCoInstallerKey =
    "SOFTWARE\\Tessaridge Technology\\DeviceCoInstaller\\tsrgBdevco";

// The least INF that installs a board of `hardware_id`.
inline std::string package_inf(const std::string& hardware_id) {
  return "[Manufacturer]\r\n%Mfg% = Models\r\n\r\n[Models]\r\n%Device% = Install, " + hardware_id + "\r\n";
}

class PnpMachine : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (HasFatalFailure()) return;
    std::ifstream inf(std::string(HALVIK_SOURCE_DIR) + "/pnp/morvellan.inf", std::ios::binary);
    std::stringstream content;
    content << inf.rdbuf();
    sim::write_file("C:\\Tessaridge\\pnp\\morvellan.inf", content.str());
    // The binaries beside the INF under its per-platform source names.
    for (const char* file : {"halvik_x86.sys", "tsrgBdevco_x86.dll", "tsrgBdevpp_x86.dll", "halvik_amd64.sys",
                             "tsrgBdevco_amd64.dll", "tsrgBdevpp_amd64.dll"}) {
      sim::write_file(std::string("C:\\Tessaridge\\pnp\\") + file, std::string("MZ ") + file);
    }
  }

  // A board of table row `row` in PCI slot `slot`.
  static sim::Board board(std::uint32_t row, int slot) {
    sim::Board b;
    std::string id = supported_hardware_ids[row];
    b.instance_id = id + "&REV_01\\4&1F2E3D&0&" + std::to_string(1000 + slot);
    b.hardware_ids = {id + "&REV_01", id};
    b.compatible_ids = {"PCI\\VEN_1E5C&DEV_0410&REV_01", "PCI\\VEN_1E5C&CC_118000"};
    return b;
  }

  // A configuration the parameter writer accepts.
  DriverConfig config(std::uint32_t max_pci_modules = 4) {
    DriverConfig c{};
    c.max_pci_modules = max_pci_modules;
    c.phybufsize = 64;
    c.appbufsize = 64;
    c.reserved_modules = reserved_;
    c.reserved_modules_length = kReservedModulesBytes;
    return c;
  }

  static bool contains(const std::vector<std::string>& list, const std::string& item) {
    for (const std::string& s : list) {
      if (s == item) return true;
    }
    return false;
  }

  ReservedModule reserved_[kReservedModuleSlots] = {};
};
