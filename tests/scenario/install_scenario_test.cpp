// The built install run as a user would, on a fresh simulated machine per test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scenario/run.h"
#include "scenario/texts.h"

namespace {

const std::string kUsage =
    "Usage: install [-r] [-d working_directory] [-c config_options]\n"
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
const std::string kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\halvik";
const std::string kParametersKey = kServiceKey + "\\Parameters";
const std::string kMemoryKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
const std::string kHostRefusal =
    "Cannot uninstall the driver without stopping the Halvik host service.\n"
    "Stop the Halvik host service and try again.\n\n"
    "To stop the Halvik host service type \"net stop halvservice\"\n";

// A batch installation list with the dialogue's defaults; adjust names the answer to the
// memory adjustment question.
std::vector<std::string> batch_install(const std::string& adjust = "n", const std::string& do_reboot = "0") {
  return {"-c", "0",       "0", "0", "16", "32768", "10240", "0",   "1",   "1",
          "0",  "1024000", "0", "0", "1",  "16",    "250",   "152", "128", "0",
          "0",  "0",       "0", "0", "n",  adjust,  "2",     "512", "0",   do_reboot};
}

class InstallScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = make_temp_dir("scenario");
    fresh_machine();
  }

  void fresh_machine() {
    dir_ = base_ + "/machine" + std::to_string(++machines_);
    RunResult made = run_program("halvik-sim", {"new", dir_});
    ASSERT_EQ(made.exit_code, 0) << made.err;
  }

  RunResult install(const std::vector<std::string>& args, const std::string& answers = "") {
    return run_program("install", args, answers, {"HALVIK_MACHINE=" + dir_});
  }

  // The values of one registry key as the machine stores them, one "name"=data line each.
  std::string key_text(const std::string& key) {
    std::string text = read_file(dir_ + "/registry.reg");
    std::string header = "[HKEY_LOCAL_MACHINE\\" + key + "]\n";
    std::size_t at = text.find(header);
    if (at == std::string::npos) return "absent";
    at += header.size();
    return text.substr(at, text.find("\n\n", at) - at + 1);
  }

  bool has_key(const std::string& key) { return key_text(key) != "absent"; }

  std::string value_line(const std::string& key, const std::string& name) {
    std::istringstream lines(key_text(key));
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("\"" + name + "\"=", 0) == 0) return line;
    return "";
  }

  // Sets one entry of machine.ini, adding the section when it is missing.
  void set_ini(const std::string& section, const std::string& key, const std::string& value) {
    std::string path = dir_ + "/machine.ini";
    std::istringstream in(read_file(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::size_t section_at = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == "[" + section + "]") section_at = i;
    if (section_at == lines.size()) {
      lines.push_back("[" + section + "]");
    }
    std::size_t insert_at = section_at + 1;
    while (insert_at < lines.size() && !lines[insert_at].empty() && lines[insert_at][0] != '[') {
      if (lines[insert_at].rfind(key + " ", 0) == 0 || lines[insert_at].rfind(key + "=", 0) == 0) {
        lines.erase(lines.begin() + static_cast<long>(insert_at));
        continue;
      }
      ++insert_at;
    }
    lines.insert(lines.begin() + static_cast<long>(insert_at), key + " = " + value);
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& line : lines) out << line << "\n";
  }

  // Adds a key with values ("name"=dword:... lines) to the machine's registry.
  void add_key(const std::string& key, const std::string& values) {
    std::ofstream out(dir_ + "/registry.reg", std::ios::app);
    out << "\n[HKEY_LOCAL_MACHINE\\" << key << "]\n" << values << "\n";
  }

  void add_service(const std::string& name, const std::string& state) {
    add_key("SYSTEM\\CurrentControlSet\\Services\\" + name,
            "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n");
    set_ini("service_database", name, "0x1");  // installed before the machine last started
    set_ini("services", name, state);
  }

  std::string snapshot() {
    std::string copy = base_ + "/before" + std::to_string(++snapshots_);
    std::filesystem::copy(dir_, copy, std::filesystem::copy_options::recursive);
    return copy;
  }

  std::string diff(const std::string& before) {
    return diff_but_run_log(before, dir_);
  }

  bool reboot_requested() {
    return read_file(dir_ + "/machine.ini").find("reboot_requested = 1") != std::string::npos;
  }

  std::string base_;
  std::string dir_;
  int snapshots_ = 0;
  int machines_ = 0;
};

TEST_F(InstallScenario, CommandLineErrorsGiveTheUsageAndFailure) {
  std::vector<std::string> surplus = batch_install();
  surplus.push_back("extra");
  std::vector<std::string> dash_surplus = batch_install();
  dash_surplus.push_back("-5");
  const struct {
    const char* label;
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {"unknown option", {"-x"}, "", "Unknown or unexpected argument -x.\n"},
      {"list missing", {"-c"}, "", "Incorrect number of configuration parameters.\n"},
      {"surplus entry", surplus, "", "Incorrect number of configuration parameters.\n"},
      {"surplus dash entry", dash_surplus, "", "Unknown or unexpected argument -5.\n"},
      {"removal form not recognised",
       {"-c", "1", "-d", "dir", "-r"},
       "",
       "Incorrect number of configuration parameters.\n"},
      {"directory missing", {"-d"}, "Missing argument (directory) for -d.\n", ""},
      {"directory too long",
       {"-d", std::string(300, 'a')},
       "Failed to update the current working directory " + std::string(300, 'a') +
           ". Make sure you entered a valid path.\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string before = snapshot();
    RunResult result = install(c.args);
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err + kUsage);
    EXPECT_EQ(diff(before), "");
  }
}

TEST_F(InstallScenario, RemovalOnACleanMachineSucceedsQuietly) {
  RunResult result = install({"-r"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out.rfind("Removing driver...\n", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("Driver removal completed.\n"), std::string::npos);
  EXPECT_EQ(result.out.find("reboot"), std::string::npos);
  EXPECT_EQ(result.err, "");
}

TEST_F(InstallScenario, BatchInstallationWritesTheParametersAndAdjustsMemory) {
  RunResult result = install(batch_install("y"));
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_EQ(result.out.rfind(kBanner, 0), 0u) << result.out;
  EXPECT_NE(result.out.find(summary() + "Installing Plug and Play driver.\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("The Plug and Play driver was successfully installed.\n"
                            "Memory adjustment performed.\n"
                            "You must reboot the system for the memory\n"
                            "configuration changes to take effect.\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("Do you wish"), std::string::npos);
  EXPECT_EQ(value_line(kParametersKey, "PHYBUFSIZE"), "\"PHYBUFSIZE\"=dword:00008000");
  EXPECT_EQ(value_line(kParametersKey, "MILL_ISA_HW_INT"), "\"MILL_ISA_HW_INT\"=dword:ffffffff");
  EXPECT_EQ(value_line(kMemoryKey, "SystemPages"), "\"SystemPages\"=dword:00028000");
  EXPECT_EQ(value_line(kParametersKey, "NEW_SYSPAGES"), "\"NEW_SYSPAGES\"=dword:00028000");
  EXPECT_FALSE(reboot_requested());

  // Removing it again gives the memory back and recommends the reboot, without asking.
  RunResult removal = install({"-r", "-c", "0"});
  EXPECT_EQ(removal.exit_code, 1) << removal.out << removal.err;
  EXPECT_NE(removal.out.find("Original memory values restored.\n"
                             "For the memory adjustments to take effect, the system must be rebooted.\n"),
            std::string::npos)
      << removal.out;
  EXPECT_EQ(value_line(kMemoryKey, "SystemPages"), "\"SystemPages\"=dword:00000000");
  EXPECT_FALSE(has_key(kServiceKey));
  EXPECT_FALSE(reboot_requested());
}

TEST_F(InstallScenario, BatchRebootIsStartedWithoutAQuestion) {
  RunResult result = install(batch_install("y", "1"));
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_EQ(result.out.find("Do you wish to reboot"), std::string::npos);
  EXPECT_TRUE(reboot_requested());
}

TEST_F(InstallScenario, InteractiveRunShowsEveryPromptInOrder) {
  RunResult result = install({}, "\n\n\n\n\n\n\nn\nn\n");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::string expected_start = kBanner;
  std::size_t dialogue_at = result.out.find("Maximum number");
  ASSERT_NE(dialogue_at, std::string::npos) << result.out;
  std::string after_removal = result.out.substr(dialogue_at);
  EXPECT_EQ(after_removal.substr(0, dialogue_defaults_prompts().size() + summary().size() +
                                        install_options_prompts().size() + 33),
            dialogue_defaults_prompts() + summary() + install_options_prompts() +
                "Installing Plug and Play driver.\n");
  EXPECT_EQ(result.out.rfind(kBanner, 0), 0u);
}

TEST_F(InstallScenario, AdvancedDialogueFromAFileOfAnswers) {
  std::string answers =
      "4\n40000\n\nfe\n0\n1\n2048\n1\n0\n1\n"
      "y\n32\n100\n\n\n1234\n5678 20\n\n"
      "y\n1\n2\n3\n"
      "y\ny\n1024\n3\n";
  RunResult result = install({}, answers);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  std::string expected =
      "Maximum number of PCI/cPCI hardware modules (default 16): "
      "Physical buffer size (default 32768): "
      "Application buffer size (default 10240): "
      "Machine ID, in hex (default 1): "
      "Do initial reset (default 1): "
      "History enable (default 0): "
      "History size (default 1024000): "
      "Number of physical channel histories (default 0): "
      "Number of application channel histories (default 0): "
      "Restrict physical channel histories to admin channel 1 (default 1): "
      "Configure advanced parameters (n)? "
      "Number of I2O frames per module (default 16): "
      "Driver flow control interval (default 250): "
      "Internal memory allocation minimum (default 152): "
      "Internal memory allocation quanta (default 128): "
      "To reserve module numbers, enter mod_id (serial number) and\n"
      "mod_num, in hex. Mod_num will default as indicated:\n"
      "mod_id mod_num[f0]: mod_id mod_num[f1]: mod_id mod_num[21]: "
      "Configure test parameters (n)? Test1: Test2: Test3: "
      "Configuring Halvik driver:\n"
      "    Phys buf size 40000\n"
      "    App buf size 10240\n"
      "    Machine ID FE\n"
      "        History size 2048\n"
      "        Num phys hist bufs 1\n"
      "        Num apl hist bufs 0\n"
      "    Restrict phys hists 1\n" +
      install_options_prompts() +
      "Enter the number of MB of memory in the system[32]? "
      "A memory adjustment may have already been performed by\n"
      "another program. If this is the case,\n"
      "do you wish to (1) skip adjusting,\n"
      "               (2) replace adjustment, or\n"
      "               (3) add to the adjustment\n"
      "? Installing Plug and Play driver.\n";
  EXPECT_NE(result.out.find(expected), std::string::npos) << result.out;
  EXPECT_EQ(value_line(kParametersKey, "MILL_MAX_PCI_HW_MODULES"),
            "\"MILL_MAX_PCI_HW_MODULES\"=dword:00000004");
  EXPECT_EQ(value_line(kParametersKey, "NUM_I2O_FRAMES_PER_MODULE"),
            "\"NUM_I2O_FRAMES_PER_MODULE\"=dword:00000020");
  EXPECT_EQ(value_line(kParametersKey, "MILL_NUM_RESERVED_MODULES"),
            "\"MILL_NUM_RESERVED_MODULES\"=dword:00000002");
  EXPECT_EQ(value_line(kParametersKey, "MILL_TEST3"), "\"MILL_TEST3\"=dword:00000003");
  // 1024 MB and 4 modules: 1024 * 256 + 16384 + 4 * 1024.
  EXPECT_EQ(value_line(kMemoryKey, "SystemPages"), "\"SystemPages\"=dword:00045000");
}

TEST_F(InstallScenario, DecliningTheOverwriteChangesNothing) {
  ASSERT_EQ(install(batch_install()).exit_code, 0);
  std::string before = snapshot();
  RunResult result = install({}, "N\nn\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, kBanner +
                            "Quillant(R) Tessaridge(R) driver has been installed (or partially installed)\n"
                            "Do you want to overwrite the existing installation?\n"
                            "Overwrite? (y or n, default y): Overwrite? (y or n, default y): ");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(diff(before), "");
}

TEST_F(InstallScenario, BatchReinstallationSaysItRemovesTheOldOne) {
  ASSERT_EQ(install(batch_install()).exit_code, 0);
  RunResult result = install(batch_install());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out.rfind(
                kBanner + "Quillant(R) Tessaridge(R) driver has been installed (or partially installed)\n"
                          "Previously installed driver being removed.\n",
                0),
            0u)
      << result.out;
}

TEST_F(InstallScenario, ARunningHostServiceRefusesTheRemoval) {
  for (const char* state : {"running", "paused"}) {
    SCOPED_TRACE(state);
    add_service("halvservice", state);
    std::string before = snapshot();
    RunResult result = install({"-r"});
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out, "Removing driver...\n");
    EXPECT_EQ(result.err, kHostRefusal + "\nAn error occurred during driver removal.\n");
    EXPECT_EQ(diff(before), "");
  }
}

// A removal that had restored the memory and then fails recommends the reboot: -2, and the
// legacy pass doesn't run.  Interactively the reboot question comes first.
TEST_F(InstallScenario, FailureAfterAMemoryRestoreExitsWithMinusTwo) {
  const struct {
    std::vector<std::string> args;
    const char* answers;
    bool asked;
  } cases[] = {{{"-r", "-c", "0"}, "", false}, {{"-r"}, "n\n", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    fresh_machine();
    ASSERT_EQ(install(batch_install("y")).exit_code, 1);
    set_ini("faults", "SetupDiCallClassInstaller", "5");
    RunResult result = install(c.args, c.answers);
    EXPECT_EQ(result.exit_code, 254) << result.out << result.err;
    EXPECT_EQ(result.out.find("Driver removal completed."), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Removing driver...\n"), 0u);
    EXPECT_EQ(
        result.out.find("A reboot is recommended. Do you wish to reboot now [n]? ") != std::string::npos,
        c.asked);
    ASSERT_GE(result.err.size(), 41u);
    EXPECT_EQ(result.err.substr(result.err.size() - 41), "An error occurred during driver removal.\n")
        << result.err;
    EXPECT_FALSE(reboot_requested());
  }
}

// Standard input ending at any question: the run completes with the defaults and never
// reboots.
TEST_F(InstallScenario, EndOfInputAtEveryQuestion) {
  ASSERT_EQ(install(batch_install("y")).exit_code, 1);
  const struct {
    const char* label;
    const char* answers;
  } cases[] = {
      {"first numeric question", "y\n0\n"},
      {"advanced parameters", "y\n\n\n\n\n\n\ny\n12\n"},
      {"reserved modules", "y\n\n\n\n\n\n\ny\n\n\n\n\n1234\n"},
      {"device node", "y\n\n\n\n\n\n\n\nx\n"},
      {"adjustment choice", "y\n\n\n\n\n\n\n\n\ny\n64\n7\n"},
      {"reboot question", "y\n\n\n\n\n\n\n\n\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    RunResult result = install({}, c.answers);
    EXPECT_TRUE(result.exit_code == 0 || result.exit_code == 1) << result.exit_code << result.err;
    EXPECT_FALSE(reboot_requested());
    EXPECT_NE(result.out.find("Installing Plug and Play driver.\n"), std::string::npos) << result.out;
    EXPECT_EQ(value_line(kParametersKey, "MILL_MAX_PCI_HW_MODULES"),
              "\"MILL_MAX_PCI_HW_MODULES\"=dword:00000010");
  }
  // An unattended run that forgot -c must not take the installation away: at the overwrite
  // question an ended input means no.
  std::string installed = snapshot();
  RunResult unattended = install({}, "");
  EXPECT_EQ(unattended.exit_code, 0) << unattended.err;
  EXPECT_EQ(diff(installed), "");
}

// Without administrator rights nothing is done, whatever was asked and however the command line
// reads: one line says what the program needs, and no call but the check itself is made.
TEST_F(InstallScenario, WithoutAdministratorRightsNothingIsDone) {
  ASSERT_EQ(install(batch_install("y")).exit_code, 1);  // an installation a removal would change
  set_ini("process", "administrator", "0");
  set_ini("trace", "enabled", "1");
  const struct {
    const char* label;
    std::vector<std::string> args;
  } cases[] = {
      {"installation", batch_install()},
      {"removal", {"-r", "-c", "0"}},
      {"working directory", {"-d", "C:\\WINDOWS", "-r"}},
      {"usage error", {"-x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(dir_ + "/trace.log");
    std::string before = snapshot();
    RunResult result = install(c.args);
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "This program needs administrator rights: run it as administrator.\n");
    EXPECT_EQ(diff(before), "");
    // The rights are looked at first; then only the run's event is reported.
    EXPECT_EQ(read_file(dir_ + "/trace.log"),
              "GetLocalTime\n"
              "AllocateAndInitializeSid S-1-5-32-544 -> TRUE\n"
              "CheckTokenMembership NULL S-1-5-32-544 -> TRUE not a member\n"
              "FreeSid S-1-5-32-544 -> NULL\n"
              "GetSystemWindowsDirectoryA 260 -> 10\n"
              "RegisterEventSourceA \"Tessaridge Installer\" -> handle\n"
              "ReportEventA \"Tessaridge Installer\" 1 13 -> TRUE\n"
              "DeregisterEventSource \"Tessaridge Installer\" -> TRUE\n");
  }
}

// The removal deletes the driver directory with all it holds, a read-only file and nested
// folders included, but never through a link: the folder a link inside points at stays whole.
TEST_F(InstallScenario, RemovalDeletesTheDriverDirectoryButNothingItLinksTo) {
  namespace fs = std::filesystem;
  const std::string halvik = dir_ + "/drive_c/WINDOWS/halvik";
  const std::string outside = dir_ + "/drive_c/Data";
  fs::create_directories(halvik + "/logs/old");
  fs::create_directories(outside + "/sub");
  std::ofstream(halvik + "/logs/old/halvik.log") << "log";
  std::ofstream(halvik + "/halvik.cfg") << "cfg";
  std::ofstream(outside + "/sub/keep.txt") << "keep";
  fs::permissions(halvik + "/halvik.cfg",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::create_directory_symlink(outside, halvik + "/logs/data");
  fs::create_symlink(outside + "/sub/keep.txt", halvik + "/keep.txt");
  RunResult result = install({"-r", "-c", "0"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(halvik)));
  EXPECT_EQ(read_file(outside + "/sub/keep.txt"), "keep");
}

}  // namespace
