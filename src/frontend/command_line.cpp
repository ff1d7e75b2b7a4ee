#include "frontend/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/report.h"
#include "frontend/settings.h"
#include "platform/port.h"

namespace {

std::uint32_t read_decimal(const char* entry) {
  return static_cast<std::uint32_t>(std::atoi(entry));
}

// Leaves target alone when the entry holds no hexadecimal number.
void read_hexadecimal(const char* entry, std::uint32_t* target) {
  unsigned int value = 0;
  if (std::sscanf(entry, "%x", &value) == 1) *target = value;
}

int read_yes(const char* entry) {
  return entry[0] == 'y' ? 1 : 0;
}

constexpr const char* kWrongListLength = "Incorrect number of configuration parameters.\n";

// The entries of a batch list, taken in order.
struct ListCursor {
  int index;  // of the entry taken last
  int argc;
  char** argv;
  bool ran_out;  // an entry was asked for past the end of the command line
};

// The next entry, or an empty one once the list has run out: the reader goes on to the end
// of its form and the caller refuses the list as a whole.
const char* next_entry(ListCursor* list) {
  if (list->index + 1 >= list->argc) {
    list->ran_out = true;
    return "";
  }
  return list->argv[++list->index];
}

// Whether the list has come out the length its form asks for; reports it if not.
bool list_complete(const ListCursor& list) {
  if (!list.ran_out) return true;
  report_error("%s", kWrongListLength);
  return false;
}

// The installation form of the batch list, after the "-c" at index.  Returns the index of its
// last entry, or -1 after reporting a list that is too short or too long.  The values are taken
// as they stand: the dialogue's checks don't apply.
int read_installation_list(int index, int argc, char** argv) {
  ListCursor list{index, argc, argv, false};
  for (int reserved = 0; reserved < 3; ++reserved) next_entry(&list);
  max_pci_modules = read_decimal(next_entry(&list));
  phybufsize = read_decimal(next_entry(&list));
  appbufsize = read_decimal(next_entry(&list));
  next_entry(&list);  // reserved
  read_hexadecimal(next_entry(&list), &machine_id);
  do_reset = std::atoi(next_entry(&list));
  hist_enable = std::atoi(next_entry(&list));
  dhsize = read_decimal(next_entry(&list));
  num_hists_phy = read_decimal(next_entry(&list));
  num_hists_apl = read_decimal(next_entry(&list));
  hist_phy_admin_only = read_decimal(next_entry(&list));
  num_I2O_frames = read_decimal(next_entry(&list));
  fc_interval = read_decimal(next_entry(&list));
  mem_drv_alloc_min = read_decimal(next_entry(&list));
  mem_drv_alloc_quanta = read_decimal(next_entry(&list));
  next_entry(&list);  // reserved
  test1 = read_decimal(next_entry(&list));
  test2 = read_decimal(next_entry(&list));
  test3 = read_decimal(next_entry(&list));

  // (module_id mod_num) pairs, ended by a module_id of 0 or by a full table.
  std::uint32_t count = 0;
  while (count < kReservedModuleSlots) {
    read_hexadecimal(next_entry(&list), &reserved_module_table[count].mod_id);
    if (reserved_module_table[count].mod_id == 0) break;
    read_hexadecimal(next_entry(&list), &reserved_module_table[count].mod_num);
    ++count;
  }
  num_reserved_modules = count;

  auto_start = read_yes(next_entry(&list));
  do_adj = read_yes(next_entry(&list));
  already_opt = std::atoi(next_entry(&list));
  meg_in_system = read_decimal(next_entry(&list));
  next_entry(&list);  // reserved
  do_reboot = std::atoi(next_entry(&list));

  if (!list_complete(list)) return -1;
  if (list.index + 1 < argc && argv[list.index + 1][0] != '-') {
    report_error("%s", kWrongListLength);
    return -1;
  }
  return list.index;
}

// Refuses a directory that doesn't fit the path buffer rather than changing to a cut one.
bool change_directory(const char* argument) {
  char directory[port::MAX_PATH];
  if (std::strlen(argument) >= sizeof directory) return false;
  std::strcpy(directory, argument);
  return port::SetCurrentDirectoryA(directory) != port::FALSE;
}

}  // namespace

int parse_command_line(int argc, char** argv) {
  int options = 0;
  for (int index = 1; index < argc; ++index) {
    const char* argument = argv[index];
    if (std::strcmp(argument, "-c") == 0) {
      batch_mode = 1;
      if (removal_mode != 0 || (index + 2 < argc && std::strcmp(argv[index + 2], "-r") == 0)) {
        ListCursor list{index, argc, argv, false};
        do_reboot = std::atoi(next_entry(&list));
        if (!list_complete(list)) return -1;
        index = list.index;
      } else {
        index = read_installation_list(index, argc, argv);
        if (index < 0) return -1;
      }
    } else if (std::strcmp(argument, "-d") == 0) {
      if (index + 1 >= argc || argv[index + 1][0] == '-') {
        report_output("Missing argument (directory) for -d.\n");
        return -1;
      }
      ++index;
      if (!change_directory(argv[index])) {
        report_output(
            "Failed to update the current working directory %s. Make sure you entered a valid path.\n",
            argv[index]);
        return -1;
      }
    } else if (std::strcmp(argument, "-r") == 0) {
      removal_mode = 1;
    } else {
      report_error("Unknown or unexpected argument %s.\n", argument);
      return -1;
    }
    ++options;
  }
  return options;
}

const char* usage_text() {
  return "Usage: install [-r] [-d working_directory] [-c config_options]\n"
         "config_options for installation:\n"
         "  reserved reserved reserved\n"
         "  max_pci_modules phybufsize appbufsize reserved\n"
         "  machine_id do_reset hist_enable dhsize num_hists_phy num_hists_apl\n"
         "  hist_phy_admin_only num_I2O_frames fc_interval\n"
         "  mem_drv_alloc_min mem_drv_alloc_quanta reserved test1 test2 test3\n"
         "  (module_id mod_num) ... auto_start do_adj already_opt\n"
         "  meg_in_system reserved do_reboot\n"
         "config_options for removal:\n"
         "  do_reboot\n";
}

