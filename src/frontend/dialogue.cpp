#include "frontend/dialogue.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/report.h"
#include "frontend/settings.h"

namespace {

std::FILE* answer_source = nullptr;
bool input_ended = false;

// The first non-blank character of the answer, or 0 when it has none.
char first_non_blank(const char* line) {
  char first[2] = {0, 0};
  if (std::sscanf(line, "%1s", first) != 1) return 0;
  return first[0];
}

bool always_valid(std::uint32_t) {
  return true;
}

// Asks until the answer is accepted and valid.  Each round offers the default again, so an
// answer without a number always means the default shown.
void ask_unsigned(const char* prompt, std::uint32_t default_value, std::uint32_t* setting,
                  bool (*valid)(std::uint32_t)) {
  char line[kAnswerSize];
  for (;;) {
    *setting = default_value;
    report_output(prompt, default_value);
    if (!read_answer(line)) return;
    if (parse_unsigned_answer(line, setting) && valid(*setting)) return;
  }
}

// Asks a 0-or-1 question read with "%d".
void ask_flag(const char* prompt, int default_value, int* setting) {
  char line[kAnswerSize];
  for (;;) {
    *setting = default_value;
    report_output(prompt, static_cast<unsigned>(default_value));
    if (!read_answer(line)) return;
    std::sscanf(line, "%d", setting);
    if (*setting == 0 || *setting == 1) return;
  }
}

void ask_machine_id() {
  char line[kAnswerSize];
  for (;;) {
    machine_id = 1;
    report_output("Machine ID, in hex (default %X): ", 1u);
    if (!read_answer(line)) return;
    unsigned int value = 0;
    if (std::sscanf(line, "%x", &value) == 1) machine_id = value;
    if (machine_id != 0 && machine_id <= 0xFE) return;
  }
}

void ask_reserved_modules() {
  report_output("To reserve module numbers, enter mod_id (serial number) and\n");
  report_output("mod_num, in hex. Mod_num will default as indicated:\n");
  char line[kAnswerSize];
  while (num_reserved_modules < kReservedModuleSlots) {
    ReservedModule& slot = reserved_module_table[num_reserved_modules];
    report_output("mod_id mod_num[%x]: ", next_mod_num);
    if (!read_answer(line)) return;
    unsigned int mod_id = slot.mod_id;
    unsigned int mod_num = next_mod_num;
    int found = std::sscanf(line, "%x %x", &mod_id, &mod_num);
    if (found < 1) return;
    slot.mod_id = mod_id;
    if (slot.mod_id == 0) {
      report_output("Bad mod_id value.\n");
      continue;
    }
    if (mod_num < 2 || mod_num > 0xFD) {
      report_output("Bad mod_num value.\n");
      continue;
    }
    slot.mod_num = mod_num;
    next_mod_num = mod_num + 1;
    ++num_reserved_modules;
  }
}

void ask_advanced_parameters() {
  ask_unsigned("Number of I2O frames per module (default %u): ", 16, &num_I2O_frames,
               [](std::uint32_t value) {
                 return value == 4 || value == 8 || value == 16 || value == 32 || value == 64 || value == 128;
               });
  ask_unsigned("Driver flow control interval (default %u): ", 250, &fc_interval,
               [](std::uint32_t value) { return value >= 50; });
  ask_unsigned("Internal memory allocation minimum (default %u): ", 152, &mem_drv_alloc_min, always_valid);
  ask_unsigned("Internal memory allocation quanta (default %u): ", 128, &mem_drv_alloc_quanta, always_valid);
  ask_reserved_modules();
}

// Asks once, with no check: a number in the answer replaces *setting, anything else leaves
// the value it has.
void ask_number_once(const char* prompt, std::uint32_t* setting) {
  char line[kAnswerSize];
  report_output("%s", prompt);
  if (!read_answer(line)) return;
  unsigned int value = 0;
  if (std::sscanf(line, "%u", &value) == 1) *setting = value;
}

void ask_memory_adjustment_choice() {
  char line[kAnswerSize];
  meg_in_system = 32;
  ask_number_once("Enter the number of MB of memory in the system[32]? ", &meg_in_system);

  report_output("A memory adjustment may have already been performed by\n");
  report_output("another program. If this is the case,\n");
  report_output("do you wish to (1) skip adjusting,\n");
  report_output("               (2) replace adjustment, or\n");
  report_output("               (3) add to the adjustment\n");
  report_output("? ");
  while (already_opt < 1 || already_opt > 3) {
    if (!read_answer(line)) {
      already_opt = 1;  // input has ended: leave any earlier adjustment as it is
      return;
    }
    unsigned int choice = 0;
    if (std::sscanf(line, "%u", &choice) == 1) already_opt = static_cast<int>(choice);
  }
}

}  // namespace

void set_answer_source(std::FILE* source) {
  answer_source = source;
  input_ended = false;
}

bool read_answer(char* line) {
  std::fflush(stdout);
  line[0] = '\0';
  if (input_ended) return false;
  std::FILE* source = answer_source != nullptr ? answer_source : stdin;
  if (std::fgets(line, static_cast<int>(kAnswerSize), source) == nullptr) {
    input_ended = true;
    line[0] = '\0';
    return false;
  }
  // One line is one answer: what doesn't fit the buffer is read and dropped, so that it is
  // not taken for the answers to the questions that follow.
  std::size_t length = std::strlen(line);
  // The log shows the answer after its question, as the console did.
  keep_in_transcript(length > 0 && line[length - 1] == '\n' ? std::string(line) : std::string(line) + "\n");
  if (length > 0 && line[length - 1] != '\n') {
    for (int c = std::fgetc(source); c != EOF && c != '\n'; c = std::fgetc(source)) {
    }
  }
  return true;
}

bool parse_unsigned_answer(const char* line, std::uint32_t* setting) {
  char first = first_non_blank(line);
  if (first == 0) return true;
  if (first < '0' || first > '9') return false;
  unsigned int value = 0;
  if (std::sscanf(line, "%u", &value) == 1) *setting = value;
  return true;
}

bool ask_overwrite() {
  report_output("Do you want to overwrite the existing installation?\n");
  char line[kAnswerSize];
  for (;;) {
    report_output("Overwrite? (y or n, default y): ");
    // An unattended run without answers must not take the existing installation away.
    if (!read_answer(line)) return false;
    if (line[0] == '\n') return true;
    if (line[0] == 'y') return true;
    if (line[0] == 'n') return false;
  }
}

void ask_driver_parameters() {
  ask_unsigned("Maximum number of PCI/cPCI hardware modules (default %u): ", 16, &max_pci_modules,
               [](std::uint32_t value) { return value != 0; });
  ask_unsigned("Physical buffer size (default %u): ", 0x8000, &phybufsize,
               [](std::uint32_t value) { return value >= 0x8000 && value <= 0x80000; });
  ask_unsigned("Application buffer size (default %u): ", 0x2800, &appbufsize,
               [](std::uint32_t value) { return value >= 0x2800 && value <= 0x80000; });
  ask_machine_id();
  ask_flag("Do initial reset (default %u): ", 1, &do_reset);
  ask_flag("History enable (default %u): ", 0, &hist_enable);

  dhsize = 1024000;
  num_hists_phy = 0;
  num_hists_apl = 0;
  hist_phy_admin_only = 1;
  if (hist_enable == 1) {
    ask_unsigned("History size (default %u): ", 1024000, &dhsize, always_valid);
    if (dhsize < 1024) dhsize = 1024;
    ask_unsigned("Number of physical channel histories (default %u): ", 0, &num_hists_phy, always_valid);
    ask_unsigned("Number of application channel histories (default %u): ", 0, &num_hists_apl, always_valid);
    if (num_hists_phy != 0) {
      ask_number_once("Restrict physical channel histories to admin channel 1 (default 1): ",
                      &hist_phy_admin_only);
    }
  }

  char line[kAnswerSize];
  report_output("Configure advanced parameters (n)? ");
  if (!read_answer(line) || first_non_blank(line) != 'y') return;
  ask_advanced_parameters();

  report_output("Configure test parameters (n)? ");
  if (!read_answer(line) || first_non_blank(line) != 'y') return;
  ask_number_once("Test1: ", &test1);
  ask_number_once("Test2: ", &test2);
  ask_number_once("Test3: ", &test3);
}

void print_configuration_summary() {
  report_output("Configuring Halvik driver:\n");
  report_output("    Phys buf size %u\n", phybufsize);
  report_output("    App buf size %u\n", appbufsize);
  report_output("    Machine ID %X\n", machine_id);
  if (hist_enable != 0) {
    report_output("        History size %u\n", dhsize);
    report_output("        Num phys hist bufs %u\n", num_hists_phy);
    report_output("        Num apl hist bufs %u\n", num_hists_apl);
    if (num_hists_phy != 0) report_output("    Restrict phys hists %u\n", hist_phy_admin_only);
  } else {
    report_output("        History disabled\n");
  }
}

void ask_install_options() {
  char line[kAnswerSize];
  for (;;) {
    auto_start = 0;
    report_output("Load driver with no devices present? (y or n, default n): ");
    if (!read_answer(line)) break;
    char first = first_non_blank(line);
    if (first == 0 || first == 'n') break;
    if (first == 'y') {
      auto_start = 1;
      break;
    }
  }

  report_output("\nWhen using Halvik PCI hardware modules, a system memory adjustment\n");
  report_output("may be required in order to properly access the modules.\n");
  report_output("For a small number of modules this is often not required,\n");
  report_output("but many factors, including other devices that are or will\n");
  report_output("be in the system, affect this. After this adjustment is\n");
  report_output("made, the system must be rebooted.\n");
  report_output("Do you wish to perform this adjustment? (default n): ");
  do_adj = read_answer(line) && line[0] == 'y' ? 1 : 0;
  if (do_adj == 1) ask_memory_adjustment_choice();
}

bool ask_reboot() {
  char line[kAnswerSize];
  report_output("A reboot is recommended. Do you wish to reboot now [n]? ");
  return read_answer(line) && line[0] == 'y';
}
