// The Plug and Play installation and removal end to end: the built install, installx64 and
// halvik-sim run as a user would, each scenario on a new machine made from a template.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scenario/run.h"
#include "scenario/texts.h"

namespace {

const std::string kRootNode = "ROOT\\TESSARIDGEHARDWARE\\0000";
const std::string kTessaridgeClass = "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}";
const std::string kEnum = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::string kClass = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

// The two supported boards that the xp, w2k and amd64 templates hold without a driver.
struct Board {
  std::string device;    // the Enum\PCI key of the device
  std::string instance;  // the instance ID below it
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
};

const Board kBoards[] = {
    {"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01",
     "4&1F2E3D&0&0008",
     {"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C",
      "PCI\\VEN_1E5C&DEV_0410&CC_118000", "PCI\\VEN_1E5C&DEV_0410&CC_1180"},
     {"PCI\\VEN_1E5C&DEV_0410&REV_01", "PCI\\VEN_1E5C&DEV_0410", "PCI\\VEN_1E5C&CC_118000",
      "PCI\\VEN_1E5C&CC_1180", "PCI\\VEN_1E5C", "PCI\\CC_118000", "PCI\\CC_1180"}},
    {"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C&REV_01",
     "4&1F2E3D&0&0010",
     {"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C&REV_01", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C",
      "PCI\\VEN_1E5C&DEV_0410&CC_118000", "PCI\\VEN_1E5C&DEV_0410&CC_1180"},
     {"PCI\\VEN_1E5C&DEV_0410&REV_01", "PCI\\VEN_1E5C&DEV_0410", "PCI\\VEN_1E5C&CC_118000",
      "PCI\\VEN_1E5C&CC_1180", "PCI\\VEN_1E5C", "PCI\\CC_118000", "PCI\\CC_1180"}},
};

std::string removed_line(const std::string& instance_id) {
  std::string padded = instance_id;
  if (padded.size() < 60) padded.resize(60, ' ');
  return "Removed Device: " + padded + "\n";
}

const std::string kRemovalSteps =
    "Removing the halvik service...\n"
    "Removing the Quillant(R) Tessaridge(R) PnP components...\n"
    "Removing registry entries...\n";

// What the removal pass prints on a machine whose boards have no driver yet.
std::string boards_removed() {
  std::string text;
  for (const Board& board : kBoards) text += removed_line(board.device + "\\" + board.instance);
  return text;
}

const std::string kSummary = summary();

// README's worked example: 16 boards, one reserved module, a root device node, the memory
// adjustment for 512 MB replacing an earlier one, no automatic reboot.  adjust answers the
// memory adjustment question.
std::vector<std::string> worked_example(const std::string& adjust = "y") {
  return {"-c",      "0",    "0",  "0", "16", "32768", "10240", "0",   "1", "1", "0",
          "1024000", "0",    "0",  "1", "16", "250",   "152",   "128", "0", "0", "0",
          "0",       "1234", "f0", "0", "y",  adjust,  "2",     "512", "0", "0"};
}

const std::vector<std::string> kRemoval = {"-r", "-c", "0"};

// A REG_MULTI_SZ value as halvik-sim diff prints it: UTF-16LE bytes on one line.
std::string multi_sz(const std::vector<std::string>& strings) {
  std::string text = "hex(7):";
  auto byte = [&](unsigned char c) {
    static const char digits[] = "0123456789abcdef";
    text += digits[c >> 4];
    text += digits[c & 15];
    text += ",00,";
  };
  for (const std::string& s : strings) {
    for (char c : s) byte(static_cast<unsigned char>(c));
    byte(0);
  }
  byte(0);
  text.pop_back();
  return text;
}

class PnpScenario : public ::testing::Test {
 protected:
  void SetUp() override { base_ = make_temp_dir("pnp"); }

  void new_machine(const std::string& template_name) {
    dir_ = base_ + "/" + template_name + std::to_string(++machines_);
    RunResult made = run_program("halvik-sim", {"new", dir_, "--template", template_name});
    ASSERT_EQ(made.exit_code, 0) << made.err;
  }

  RunResult install(const std::vector<std::string>& args, const std::string& answers = "") {
    return run_program("install", args, answers, {"HALVIK_MACHINE=" + dir_});
  }

  // The Windows path of the machine's C: drive as a host path (the templates' names are
  // stored in the case given here).
  std::string host(const std::string& relative) { return dir_ + "/drive_c/" + relative; }

  // Appends machine.ini entries; a section given again adds to the one already there.
  void add_ini(const std::string& section, const std::string& entry) {
    std::ofstream out(dir_ + "/machine.ini", std::ios::app);
    out << "\n[" << section << "]\n" << entry << "\n";
  }

  void set_system(const std::string& key, const std::string& value) {
    std::string path = dir_ + "/machine.ini";
    std::istringstream in(read_file(path));
    std::string text;
    for (std::string line; std::getline(in, line);)
      text += (line.rfind(key + " = ", 0) == 0 ? key + " = " + value : line) + "\n";
    std::ofstream(path, std::ios::trunc) << text;
  }

  void add_key(const std::string& key, const std::string& values) {
    std::ofstream out(dir_ + "/registry.reg", std::ios::app);
    out << "\n[HKEY_LOCAL_MACHINE\\" << key << "]\n" << values << "\n";
  }

  std::string snapshot() {
    std::string copy = base_ + "/before" + std::to_string(++snapshots_);
    std::filesystem::copy(dir_, copy, std::filesystem::copy_options::recursive);
    return copy;
  }

  std::string diff(const std::string& before) {
    return diff_but_run_log(before, dir_);
  }

  std::string base_;
  std::string dir_;
  int machines_ = 0;
  int snapshots_ = 0;
};

// The registry changes that README's "What a removal leaves" lists, as halvik-sim diff shows
// them after an installation and removal on a new machine.
std::string what_a_removal_leaves(const std::string& before, const std::string& after) {
  std::string text = "--- " + before + "\n+++ " + after + "\n@@ registry @@\n";
  text +=
      "+[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaridge Technology]\n"
      "+[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaridge Technology\\DeviceCoInstaller]\n"
      "+[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaridge Technology\\DeviceCoInstaller\\tsrgBdevco]\n"
      "+\"displayCoinstallerPage\"=dword:00000000\n"
      "+[" +
      kClass + kTessaridgeClass +
      "]\n"
      "+@=\"Tessaridge Hardware\"\n"
      "+\"Class\"=\"TessaridgeHardware\"\n"
      "+\"Icon\"=\"-5\"\n"
      // Until the restart that makes the memory value put back real.
      "+[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory "
      "Management\\TessaridgeRestartPending (volatile)]\n";
  for (const Board& board : kBoards) {
    text += "-[" + kEnum + board.device + "]\n";
    text += "-[" + kEnum + board.device + "\\" + board.instance + "]\n";
    text += "-\"CompatibleIDs\"=" + multi_sz(board.compatible_ids) + "\n";
    text += "-\"ConfigFlags\"=dword:00000000\n";
    text += "-\"HardwareID\"=" + multi_sz(board.hardware_ids) + "\n";
  }
  return text;
}

// The same round trip on x86, where install does the device work itself, and on AMD64, where
// installx64 does it: the same output, the same machine afterwards.
TEST_F(PnpScenario, RoundTripLeavesOnlyWhatTheReadmeLists) {
  const std::string installed = kBanner + boards_removed() + kRemovalSteps + kSummary +
                                "Installing Plug and Play driver.\n"
                                "The Plug and Play driver was successfully installed.\n"
                                "Memory adjustment performed.\n"
                                "You must reboot the system for the memory\n"
                                "configuration changes to take effect.\n";
  const std::string removed_devices = removed_line(kRootNode) + boards_removed() + kRemovalSteps;
  const std::string reboot = "For the memory adjustments to take effect, the system must be rebooted.\n";
  const struct {
    const char* template_name;
    std::string removal_out;
  } cases[] = {
      {"xp", "Removing driver...\n" + removed_devices + "Original memory values restored.\n" + reboot +
                 "Driver removal completed.\n"},
      // The counterpart restores the memory on the far side; its reply carries only the
      // reboot flag.
      {"amd64", "Removing driver...\n" + removed_devices + reboot + "Driver removal completed.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.template_name);
    new_machine(c.template_name);
    std::string before = snapshot();

    RunResult installation = install(worked_example());
    EXPECT_EQ(installation.exit_code, 1) << installation.err;
    EXPECT_EQ(installation.out, installed);
    EXPECT_EQ(installation.err, "");

    RunResult removal = install(kRemoval);
    EXPECT_EQ(removal.exit_code, 1) << removal.err;
    EXPECT_EQ(removal.out, c.removal_out);
    EXPECT_EQ(removal.err, "");

    EXPECT_EQ(diff(before), what_a_removal_leaves(before, dir_));
  }
}

// Lines of the trace that match one of the wanted prefixes, in the order they were written.
std::vector<std::string> trace_lines(const std::string& trace, const std::vector<std::string>& prefixes) {
  std::vector<std::string> found;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    for (const std::string& prefix : prefixes) {
      if (line.rfind(prefix, 0) == 0) {
        found.push_back(line);
        break;
      }
    }
  }
  return found;
}

// On AMD64 the device work happens in installx64, between install writing the request and
// reading the response, and the exchange file is gone afterwards.
TEST_F(PnpScenario, Amd64HandsTheDeviceWorkToTheCounterpartThroughTheExchangeFile) {
  new_machine("amd64");
  add_ini("trace", "enabled = 1");
  ASSERT_EQ(install(worked_example()).exit_code, 1);
  EXPECT_FALSE(std::filesystem::exists(host("Windows/Temp/instlib.tmp")));
  std::filesystem::remove(dir_ + "/trace.log");

  RunResult removal = install(kRemoval);
  ASSERT_EQ(removal.exit_code, 1) << removal.err;
  EXPECT_FALSE(std::filesystem::exists(host("Windows/Temp/instlib.tmp")));

  // The exchange goes through a folder made for the run, named in the installer's trace.
  std::string trace = read_file(dir_ + "/trace.log");
  std::vector<std::string> made = trace_lines(trace, {"CreateDirectoryA \"C:\\Windows\\Temp\\halvik-"});
  ASSERT_EQ(made.size(), 1u) << trace;
  const std::string folder = made[0].substr(17, made[0].find('"', 18) - 17 + 1);
  const std::string file = folder.substr(0, folder.size() - 1) + "\\instlib.tmp\"";
  EXPECT_EQ(made[0], "CreateDirectoryA " + folder + " \"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)\" -> TRUE");
  std::vector<std::string> expected = {
      "fopen " + file + " \"wx\" -> stream",  // install writes the request, in a new file
      "fopen " + file + " \"r\" -> stream",   // installx64 reads it
  };
  for (const std::string& id : {kRootNode, kBoards[0].device + "\\" + kBoards[0].instance,
                                kBoards[1].device + "\\" + kBoards[1].instance})
    expected.push_back("SetupDiCallClassInstaller DIF_REMOVE \"" + id + "\" -> TRUE");
  expected.push_back("fopen " + file + " \"w\" -> stream");  // installx64 writes the response
  // Started from the installer's own folder; the path goes quoted, so that the counterpart's
  // runtime hands it over whole.
  expected.push_back("spawnl_wait \"C:\\Tessaridge\\install\\installx64.exe\" \"installx64.exe\" \"-6\" \"" + file +
                     "\" -> 0");
  expected.push_back("fopen " + file + " \"r\" -> stream");  // install reads it
  expected.push_back("remove " + file + " -> 0");
  expected.push_back("RemoveDirectoryA " + folder + " -> TRUE");
  EXPECT_EQ(trace_lines(trace, {"fopen " + file, "SetupDiCallClassInstaller DIF_REMOVE", "spawnl_wait",
                                "remove " + file, "RemoveDirectoryA " + folder}),
            expected);
}

// A failed re-enumeration names its own cause, on x86 and through the counterpart on AMD64.
TEST_F(PnpScenario, AFailedReEnumerationNamesItsCause) {
  for (const char* template_name : {"xp", "amd64"}) {
    SCOPED_TRACE(template_name);
    new_machine(template_name);
    add_ini("faults", "CM_Reenumerate_DevNode_Ex = 19");  // CR_FAILURE
    RunResult result = install(worked_example("n"));
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.err,
              "Failed to scan the device node: A device attached to the system is not\n"
              "functioning.\r\n"
              "An error occurred during driver installation/configuration.\n");
  }
}

// installx64.exe missing: the exchange fails with the spawn's errno, the run fails, and
// nothing of the exchange stays behind.
TEST_F(PnpScenario, Amd64WithoutTheCounterpartFailsAndLeavesNoExchange) {
  const std::string failed_spawn = "Error 2 spawning 64-bit program.\n";
  const struct {
    const char* label;
    std::vector<std::string> args;
    bool delete_counterpart;  // else only the second start fails, as if it vanished meanwhile
    std::string out;
    std::string err;
    bool installed;  // the driver's service key was written
  } cases[] = {
      {"removal", kRemoval, true, "Removing driver...\n",
       failed_spawn + "An error occurred during driver removal.\n", false},
      // The removal pass before the installation already fails: nothing is installed.
      {"installation", worked_example("n"), true, kBanner,
       failed_spawn + "An error occurred during driver removal.\n", false},
      {"installation after the removal pass", worked_example("n"), false,
       kBanner + boards_removed() + kRemovalSteps + kSummary + "Installing Plug and Play driver.\n",
       failed_spawn + "An error occurred during driver installation/configuration.\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    new_machine("amd64");
    if (c.delete_counterpart) {
      ASSERT_TRUE(std::filesystem::remove(host("Tessaridge/install/installx64.exe")));
    } else {
      add_ini("faults", "spawnl_wait #2 = 2");
    }
    RunResult result = install(c.args);
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(std::filesystem::is_empty(host("Windows/Temp")));
    RunResult service = run_program(
        "halvik-sim", {"show", dir_, "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\halvik"});
    EXPECT_EQ(
        service.out.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters]") !=
            std::string::npos,
        c.installed)
        << service.out << service.err;
  }
}

// An older installation: the removal takes away everything of the package that it finds,
// and nothing else.
TEST_F(PnpScenario, RemovalCleansAnOlderInstallation) {
  new_machine("leftovers");
  std::string before = snapshot();
  RunResult result = install(kRemoval);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Removing driver...\n" +
                            removed_line("PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0008") +
                            removed_line("PCI\\VEN_1E5C&DEV_0420&SUBSYS_00021E5C&REV_02\\4&1F2E3D&0&0018") +
                            kRemovalSteps + "Driver removal completed.\n");
  EXPECT_EQ(result.err, "");

  std::string changes = diff(before);
  // Every registry line is a removal; the keys removed are exactly these.
  std::vector<std::string> keys;
  std::istringstream lines(changes.substr(0, changes.find("@@ machine.ini @@")));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("+", 0) == 0 && line.rfind("+++", 0) != 0) ADD_FAILURE() << "added: " << line;
    if (line.rfind("-[", 0) == 0) keys.push_back(line.substr(2, line.size() - 3));
  }
  const std::string services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\halvik";
  EXPECT_EQ(keys, (std::vector<std::string>{
                      kClass + kTessaridgeClass + "\\0000",
                      kClass + kTessaridgeClass + "\\0001",
                      kClass + "{9E21C4B7-0A3D-4F88-B61E-D4075A2C93E8}",
                      kClass + "{9E21C4B7-0A3D-4F88-B61E-D4075A2C93E8}\\0000",
                      kEnum + "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01",
                      kEnum + "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0008",
                      kEnum + "PCI\\VEN_1E5C&DEV_0420&SUBSYS_00021E5C&REV_02",
                      kEnum + "PCI\\VEN_1E5C&DEV_0420&SUBSYS_00021E5C&REV_02\\4&1F2E3D&0&0018",
                      services,
                      services + "\\Parameters",
                  }));
  // The INF that names a board only in UTF-16 (oem7) and the system's own INFs stay.
  std::size_t files_at = changes.find("@@ machine.ini @@");
  ASSERT_NE(files_at, std::string::npos) << changes;
  EXPECT_EQ(changes.substr(files_at),
            "@@ machine.ini @@\n"
            " [service_database]\n"
            "-halvik = 0x1\n"
            " [services]\n"
            "-halvik = running\n"
            "@@ files @@\n"
            "-C:\\WINDOWS\\halvik\\\n"
            "-C:\\WINDOWS\\halvik\\halvik.log\n"
            "-C:\\WINDOWS\\inf\\oem3.PNF\n"
            "-C:\\WINDOWS\\inf\\oem3.inf\n"
            "-C:\\WINDOWS\\inf\\oem4.PNF\n"
            "-C:\\WINDOWS\\inf\\oem4.inf\n"
            "-C:\\WINDOWS\\inf\\oem6.PNF\n"
            "-C:\\WINDOWS\\inf\\oem6.inf\n"
            "-C:\\WINDOWS\\system32\\drivers\\halvik.sys\n"
            "-C:\\WINDOWS\\system32\\tsrgBdevco.dll\n"
            "-C:\\WINDOWS\\system32\\tsrgBdevpp.dll\n");
  EXPECT_TRUE(std::filesystem::exists(host("WINDOWS/inf/oem7.inf")));
  EXPECT_TRUE(std::filesystem::exists(host("WINDOWS/inf/oem7.PNF")));
}

// Windows 2000 with service pack 3 or 4 can't create a root-enumerated node without hotfix
// KB822831: when the node fails there, the report names the hotfix unless it is installed.
TEST_F(PnpScenario, FailedDeviceNodeOnWindows2000NamesTheHotfix) {
  const std::string hotfix_text =
      "Failed to install the device node. You have to install Windows 2000 Hotfix -\n"
      "KB822831. Refer to\n"
      "<http://support.microsoft.com/default.aspx?scid=kb;en-us;822831>: Access is\n"
      "denied.\r\n";
  const std::string plain_text = "Failed to install the device node: Access is denied.\r\n";
  const struct {
    const char* service_pack;
    bool hotfix_installed;
    std::string report;
  } cases[] = {
      {"4", false, hotfix_text},
      {"3", false, hotfix_text},
      {"4", true, plain_text},
      {"2", false, plain_text},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("SP") + c.service_pack + (c.hotfix_installed ? " with KB822831" : ""));
    new_machine("w2k");
    set_system("service_pack", c.service_pack);
    add_ini("faults", "SetupDiCallClassInstaller DIF_REGISTERDEVICE = 5");
    if (c.hotfix_installed)
      add_key("SOFTWARE\\Microsoft\\Updates\\Windows 2000\\SP5\\KB822831", "\"Description\"=\"Hotfix\"\n");
    RunResult result = install(worked_example("n"));
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out,
              kBanner + boards_removed() + kRemovalSteps + kSummary + "Installing Plug and Play driver.\n");
    EXPECT_EQ(result.err, c.report + "An error occurred during driver installation/configuration.\n");
  }
}

// Interactively over an installation: the overwrite question is asked until it gets y, n or
// an empty line, the old installation is removed, and the same answers give the same machine.
TEST_F(PnpScenario, InteractiveOverwriteReinstallsFromAFileOfAnswers) {
  new_machine("xp");
  // The dialogue's answers as a batch list: advanced values not configured are 0.
  ASSERT_EQ(
      install({"-c", "0", "0", "0", "16", "32768", "10240", "0", "1", "1", "0", "1024000", "0",   "0", "1",
               "0",  "0", "0", "0", "0",  "0",     "0",     "0", "0", "y", "n", "2",       "512", "0", "0"})
          .exit_code,
      0);
  std::string installed = snapshot();
  std::string answers_path = base_ + "/answers.txt";
  std::ofstream(answers_path) << "maybe\nY\n\n"    // overwrite: asked three times
                              << "\n\n\n\n\n\n\n"  // the defaults, no advanced parameters
                              << "y\nn\n";         // a device node, no memory adjustment
  RunResult result = install({}, read_file(answers_path));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string overwrite = "Overwrite? (y or n, default y): ";
  EXPECT_EQ(result.out, kBanner +
                            "Quillant(R) Tessaridge(R) driver has been installed (or partially installed)\n"
                            "Do you want to overwrite the existing installation?\n" +
                            overwrite + overwrite + overwrite + removed_line(kRootNode) + boards_removed() +
                            kRemovalSteps + dialogue_defaults_prompts() + kSummary +
                            install_options_prompts() +
                            "Installing Plug and Play driver.\n"
                            "The Plug and Play driver was successfully installed.\n");
  EXPECT_EQ(result.err, "");
  // The same machine; only the recorded list says that the dialogue answered the adjustment
  // choice and memory size with their defaults.
  EXPECT_EQ(diff(installed), "--- " + installed + "\n+++ " + dir_ +
                                 "\n@@ registry @@\n"
                                 " [HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\halvik]\n"
                                 "-\"InstalledList\"=\"0 0 0 16 32768 10240 0 1 1 0 1024000 0 0 1 0 0 0 0 0 0 0 0 0 y n 2 512\"\n"
                                 "+\"InstalledList\"=\"0 0 0 16 32768 10240 0 1 1 0 1024000 0 0 1 0 0 0 0 0 0 0 0 0 y n 0 0\"\n");
}

}  // namespace

namespace {

// The removal takes the driver away for good: after the restart the boards are enumerated
// again and neither gets a driver, and nothing of the package is left in the driver store.
TEST_F(PnpScenario, AfterRemovalAndRestartNoBoardGetsTheDriverBack) {
  for (const char* template_name : {"xp", "amd64"}) {
    SCOPED_TRACE(template_name);
    new_machine(template_name);
    ASSERT_EQ(install(worked_example()).exit_code, 1);
    ASSERT_EQ(install(kRemoval).exit_code, 1);
    RunResult reboot = run_program("halvik-sim", {"reboot", dir_});
    ASSERT_EQ(reboot.exit_code, 0) << reboot.err;
    for (const Board& board : kBoards) {
      RunResult node = run_program(
          "halvik-sim",
          {"show", dir_, "SYSTEM\\CurrentControlSet\\Enum\\" + board.device + "\\" + board.instance});
      EXPECT_NE(node.out.find("HardwareID"), std::string::npos) << node.out;  // enumerated again
      EXPECT_EQ(node.out.find("\"Driver\""), std::string::npos) << node.out;
    }
    std::error_code error;
    std::filesystem::directory_iterator store(host("Windows/system32/DriverStore/FileRepository"), error);
    EXPECT_TRUE(error || store == std::filesystem::directory_iterator()) << store->path();
  }
}

}  // namespace

namespace {

// A driver that wouldn't stop stays marked for deletion until the restart: a reinstallation
// before it fails, with the service manager's reason; after the restart it succeeds.
TEST_F(PnpScenario, AReinstallationWaitsForTheRestartOfADriverMarkedForDeletion) {
  new_machine("xp");
  ASSERT_EQ(install(worked_example()).exit_code, 1);
  add_ini("services", "halvik.stop = stuck");
  RunResult removal = install(kRemoval);
  EXPECT_EQ(removal.exit_code, 1) << removal.err;
  // Both removal passes try to stop it; it is said once.  The loaded driver's image can't be
  // deleted: it goes at the restart too.
  EXPECT_EQ(removal.err,
            "The halvik service could not be stopped; it is removed when the system restarts.\n"
            "C:\\WINDOWS\\System32\\drivers\\halvik.sys will be deleted when the system restarts.\n");

  RunResult early = install(worked_example());
  EXPECT_EQ(early.exit_code, 254);
  EXPECT_NE(early.err.find("Failed to install the device node: The specified service has been marked for"),
            std::string::npos)
      << early.err;

  ASSERT_EQ(run_program("halvik-sim", {"reboot", dir_}).exit_code, 0);
  RunResult later = install(worked_example());
  EXPECT_EQ(later.exit_code, 1) << later.err;
  EXPECT_EQ(later.err, "");
}

}  // namespace

namespace {

// A package that lacks a file its INF copies (a copy cut short, a binary an antivirus took
// away) is refused before anything changes, naming the file, whichever platform's it is: the
// driver update would otherwise ask for the disk, and no one answers an agent's run.
TEST_F(PnpScenario, APackageLackingAFileItCopiesIsRefusedBeforeAnythingChanges) {
  const struct {
    const char* template_name;
    const char* file;
  } cases[] = {{"xp", "halvik_x86.sys"}, {"amd64", "tsrgBdevco_amd64.dll"}, {"xp", "tsrgBdevpp_amd64.dll"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.template_name) + " " + c.file);
    new_machine(c.template_name);
    ASSERT_EQ(install(worked_example("n")).exit_code, 0);
    ASSERT_TRUE(std::filesystem::remove(host(std::string("Tessaridge/pnp/") + c.file)));
    std::string before = snapshot();
    RunResult result = install(worked_example("n"));
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out, kBanner);
    std::string flat = result.err;  // where the console width breaks the line depends on the name
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    EXPECT_EQ(flat, "Unable to read the driver package file C:\\Tessaridge\\pnp\\" + std::string(c.file) +
                        ": The system cannot find the file specified.\r "
                        "An error occurred during driver installation/configuration. ");
    EXPECT_EQ(diff(before), "");
  }
}

// A service key left without its service that can't be deleted stays, and the removal fails
// for it, but it is named once, not by each removal pass.
TEST_F(PnpScenario, AServiceKeyThatCantBeDeletedIsNamedOnce) {
  for (const char* template_name : {"xp", "amd64"}) {
    SCOPED_TRACE(template_name);
    new_machine(template_name);
    add_key("SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters", "\"PHYBUFSIZE\"=dword:00000040");
    add_ini("faults", "SHDeleteKeyA HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\halvik = 5");
    RunResult result = install(kRemoval);
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.err,
              "DeleteKey - driver: Access is denied.\r\nAn error occurred during driver removal.\n");
  }
}

// An installation ended between registering its root device node and giving it the driver (a
// kill there, or an update that failed) leaves the node as Windows keeps a device whose driver
// was never installed: listed, with its hardware ID and no driver or service.  The removal
// takes it like any device of ours, also where the system won't take the removal's parameters
// (Wine's SetupAPI, with a stale last error), and the next installation goes through.
TEST_F(PnpScenario, ARootNodeLeftWithoutItsDriverIsRemovedAndReinstalled) {
  const std::string update_fault = "UpdateDriverForPlugAndPlayDevicesA PCI\\VEN_1E5C&DEV_F000&SUBSYS_00001E5C = 2";
  const std::pair<const char*, const char*> cases[] = {
      {"xp", ""}, {"amd64", ""}, {"xp", "SetupDiSetClassInstallParamsA = 13"}};
  for (const auto& [template_name, removal_fault] : cases) {
    SCOPED_TRACE(std::string(template_name) + " " + removal_fault);
    new_machine(template_name);
    add_ini("faults", update_fault);
    ASSERT_EQ(install(worked_example("n")).exit_code, 255);
    std::string ini = read_file(dir_ + "/machine.ini");
    std::ofstream(dir_ + "/machine.ini", std::ios::trunc)
        << ini.erase(ini.find(update_fault), update_fault.size()) << "\n[faults]\n" << removal_fault << "\n";
    std::string node = run_program("halvik-sim", {"show", dir_, kEnum + kRootNode}).out;
    EXPECT_TRUE(node.find("\"HardwareID\"") != std::string::npos && node.find("\"Driver\"") == std::string::npos);

    RunResult removal = install(kRemoval);
    EXPECT_EQ(removal.exit_code, 0) << removal.err;
    // The failed installation's own removal pass took the boards' nodes already.
    EXPECT_EQ(removal.out,
              "Removing driver...\n" + removed_line(kRootNode) + kRemovalSteps + "Driver removal completed.\n");
    EXPECT_EQ(run_program("halvik-sim", {"show", dir_, kEnum + kRootNode}).exit_code, 2);
    EXPECT_EQ(install(worked_example("n")).exit_code, 0);
  }
}

}  // namespace
