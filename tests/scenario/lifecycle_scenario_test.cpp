// What an administrator does over time: installing over an installation, removing around
// restarts, from the wrong folder, with a call failing on the way.  Each case is a sequence of
// steps on one new machine; a step runs a program and checks its exit code and standard error,
// or changes the machine between runs, or checks what the registry holds afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scenario/run.h"

namespace {

enum class Do {
  install,     // run install with args; exit and standard error checked
  both,        // the same with standard error sent to standard output, as "> log 2>&1" does
  ini,         // append args[0] to machine.ini
  drop_ini,    // delete the lines of machine.ini that contain args[0]
  reboot,      // halvik-sim reboot
  has,         // halvik-sim show args[0] holds args[1]
  lacks,       // ... does not hold args[1]
  unchanged,   // the registry and files are as before the previous step
  folder,      // a folder args[0] on the machine's C: drive (host spelling)
  pages,       // another program sets SystemPages to args[0] (eight hexadecimal digits)
  file,        // a file args[0] on the machine's C: drive (host spelling) holding args[1]
  replace,     // registry.reg with the text args[0] replaced by args[1]
  ini_has,     // machine.ini holds args[0]
  entry,       // the entry's command args[0] (QuietUninstallString, ...) as written, run as an
               // agent runs it from C:\Windows\System32; exit and standard error checked
  again,       // the last entry command once more, as an agent retries it (the entry may be gone)
  no_file,     // nothing at args[0] on the machine's C: drive (host spelling)
  new_machine  // halvik-sim new, template args[0] (the first step of every case)
};

struct Step {
  Do what;
  std::vector<std::string> args;
  int exit = 0;          // install: the exit code as the shell sees it
  std::string err = "";  // install: standard error, exactly ("*": any); both: a text the output holds
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

const std::vector<std::string> kRemoval = {"-r", "-c", "0"};
const char* const kEnumPci = "SYSTEM\\CurrentControlSet\\Enum\\PCI";
const char* const kSessionManager = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* const kMemory = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
const char* const kBound = "\"Service\"=\"halvik\"";
const char* const kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char* const kEntry = "Uninstall\\halvik]";
const char* const kPending = "PendingFileRenameOperations";

// A batch installation: no reserved module; node y/n, adjustment y/n with already_opt and the
// memory size.
std::vector<std::string> batch(const char* node, const char* adjust = "n", const char* already_opt = "2",
                               const char* meg = "512", const char* modules = "16") {
  return {"-c", "0",       "0", "0", modules, "32768", "10240",     "0",   "1",   "1",
          "0",  "1024000", "0", "0", "1",     "16",    "250",       "152", "128", "0",
          "0",  "0",       "0", "0", node,    adjust,  already_opt, meg,   "0",   "0"};
}

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& more) {
  first.insert(first.begin(), more.begin(), more.end());
  return first;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      // The Programs and Features entry: one per installation, in the 64-bit view on AMD64,
      // kept by a removal that fails, gone with one that succeeds.
      {"TheEntryLivesFromInstallationToRemoval",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::install, batch("n")},
        {Do::has, {kUninstall, "\"DisplayVersion\"=\"6.1.1\""}},
        {Do::ini, {"[faults]\nOpenSCManagerA = 5\n"}},
        {Do::install, kRemoval, 254, "*"},
        {Do::has, {kUninstall, kEntry}},
        {Do::drop_ini, {"OpenSCManagerA"}},
        {Do::install, kRemoval},
        {Do::lacks, {kUninstall, kEntry}}}},
      {"TheEntryIsInTheNativeViewOnAmd64",
       {{Do::new_machine, {"amd64"}},
        {Do::install, batch("n")},
        {Do::has, {kUninstall, "Program Files\\\\Tessaridge\\\\install.exe\\\" -r -d"}},
        {Do::lacks, {"SOFTWARE\\Wow6432Node", "halvik"}},
        {Do::install, kRemoval},
        {Do::lacks, {kUninstall, kEntry}}}},
      {"RemovingWithTheEntrysCopySchedulesItAndAReinstallTakesItBack",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::ini, {"[process]\nimage = C:\\Program Files\\Tessaridge\\install.exe\n"}},
        {Do::install, {"-r", "-d", "C:\\Program Files\\Tessaridge", "-c", "0"}},
        {Do::has, {kSessionManager, kPending}},
        {Do::lacks, {kUninstall, kEntry}},
        {Do::drop_ini, {"image ="}},
        {Do::install, batch("n")},
        {Do::lacks, {kSessionManager, kPending}},
        {Do::reboot, {}},
        {Do::has, {kUninstall, kEntry}}}},
      // An entry left behind would tell deployment tools the driver is still there.
      {"AnEntryThatCantBeDeletedFailsTheRemovalAndStaysForTheNext",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::ini, {"[faults]\nRegDeleteKeyExA " + std::string(kUninstall) + "\\halvik = 5\n"}},
        {Do::install, kRemoval, 255,
         "Unable to delete HKEY_LOCAL_MACHINE\\" + std::string(kUninstall) +
             "\\halvik\nAn error occurred during driver removal.\n"},
        {Do::has, {kUninstall, kEntry}},
        {Do::drop_ini, {"RegDeleteKeyExA"}},
        {Do::install, kRemoval},
        {Do::lacks, {kUninstall, kEntry}}}},
      {"AnEntryThatCantBeWrittenFailsTheInstallation",
       {{Do::new_machine, {"xp"}},
        {Do::ini, {"[faults]\nCopyFileA = 5\n"}},
        {Do::install, batch("n"), 255, "*"},
        {Do::lacks, {kUninstall, "DisplayVersion"}},
        {Do::drop_ini, {"CopyFileA"}},
        {Do::install, kRemoval},
        {Do::lacks, {kUninstall, kEntry}}}},
      // The entry's folder is the system's Program Files folder, never the environment's, and
      // it is ours before the entry names it: a value that can't carry the entry is refused
      // before anything changes; a folder there already is taken over only when it holds
      // nothing but our copies and lets administrators take it.
      {"AProgramFilesFolderWithAQuoteIsRefusedBeforeAnythingChanges",
       {{Do::new_machine, {"xp"}},
        {Do::ini, {"[environment]\nProgramFiles = C:\\Users\\Public\n"}},
        {Do::replace, {"\"ProgramFilesDir\"=\"C:\\\\Program Files\"", "\"ProgramFilesDir\"=\"C:\\\\Pro\\\"grams\""}},
        {Do::install, batch("n"), 255,
         "The Program Files folder (ProgramFilesDir) holds a quote, which the uninstall command can't "
         "carry: C:\\Pro\"grams\n"
         "An error occurred during driver installation/configuration.\n"},
        {Do::unchanged, {}}}},
      {"AProductFolderHoldingOtherFilesIsLeftAsItIs",
       {{Do::new_machine, {"xp"}},
        {Do::file, {"Program Files/Tessaridge/helper.dll", "MZ someone else's"}},
        {Do::install, batch("n"), 255,
         "The folder C:\\Program Files\\Tessaridge holds helper.dll, which is not the installer's: it is "
         "left as it is.\n"
         "An error occurred during driver installation/configuration.\n"},
        {Do::lacks, {kUninstall, kEntry}}}},
      {"AProductFolderOfOldCopiesIsTakenOver",
       {{Do::new_machine, {"xp"}},
        {Do::file, {"Program Files/Tessaridge/install.exe", "MZ an old copy"}},
        {Do::install, batch("n")},
        {Do::ini_has, {"C:\\Program Files\\Tessaridge = O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"}},
        {Do::has, {kUninstall, "\"InstallLocation\"=\"C:\\\\Program Files\\\\Tessaridge\""}}}},
      {"AProductFolderThatKeepsAdministratorsOutIsRefused",
       {{Do::new_machine, {"xp"}},
        {Do::folder, {"Program Files/Tessaridge"}},
        {Do::ini, {"[file_security]\nC:\\Program Files\\Tessaridge = O:S-1-5-21-7-7-7-1001D:P(A;OICI;FA;;;S-1-5-21-7-7-7-1001)\n"}},
        {Do::install, batch("n"), 255,
         "Unable to take over C:\\Program Files\\Tessaridge: Access is denied.\r\n"
         "An error occurred during driver installation/configuration.\n"},
        {Do::lacks, {kUninstall, kEntry}}}},
      {"ReinstallingKeepsEveryBoardBound",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::install, batch("n")},
        {Do::has, {kEnumPci, kBound}},
        {Do::reboot, {}},
        {Do::has, {kEnumPci, kBound}},
        {Do::install, kRemoval},
        {Do::reboot, {}},
        {Do::install, batch("n")},
        {Do::has, {kEnumPci, kBound}}}},
      {"APackageTheDriverStoreKeepsFailsTheRemovalAndIsNamedOnce",
       {{Do::new_machine, {"amd64"}},
        {Do::install, batch("n")},
        {Do::ini, {"[faults.installx64]\nSetupUninstallOEMInfA = 0xE000023C\n"}},
        {Do::install, kRemoval, 255,
         "Unable to delete C:\\Windows\\inf\\oem0.inf\n"
         "Failed to remove the driver package: Error code 0xE000023C (not found)\n"
         "An error occurred during driver removal.\n"}}},
      {"AWrongFolderFailsBeforeAnythingIsTakenAway",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("y")},
        {Do::install, with(batch("y"), {"-d", "C:\\Tessaridge"}), 255,
         "Unable to read the driver package C:\\pnp\\morvellan.inf: The system cannot find\n"
         "the path specified.\r\n"
         "An error occurred during driver installation/configuration.\n"},
        {Do::unchanged, {}}}},
      {"AMissingSystemPagesFailsBeforeAnythingIsTakenAway",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::ini, {"[faults]\nRegQueryValueExA SystemPages = 2\n"}},
        {Do::install, batch("n", "y"), 255,
         "Unable to read SystemPages under\n"
         "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory\n"
         "Management: The system cannot find the file specified.\r\n"
         "Unable to determine or make system adjustments.\n"
         "An error occurred during driver installation/configuration.\n"},
        {Do::unchanged, {}}}},
      {"LocalSystemsTemporaryFolderUnderSystem32",
       {{Do::new_machine, {"amd64"}},
        {Do::ini,
         {"[environment]\nTEMP = C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local\\Temp\n"
          "TMP = C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local\\Temp\n"}},
        {Do::install, batch("y")},
        {Do::has, {kEnumPci, kBound}},
        {Do::install, kRemoval},
        {Do::lacks, {kEnumPci, kBound}}}},
      {"AFailedServiceStepTakesTheAdjustmentBackOnce",
       {{Do::new_machine, {"xp"}},
        {Do::pages, {"00030000"}},
        {Do::install, batch("n", "y", "2", "512", "16"), 1},
        {Do::has, {kMemory, "\"SystemPages\"=dword:00028000"}},
        {Do::reboot, {}},
        {Do::ini, {"[faults]\nOpenServiceA halvik #1 = 5\n"}},
        // The legacy pass deletes the service the first pass couldn't open.  The first pass
        // found the driver still loaded: its file goes at the restart.
        {Do::install, kRemoval, 1,
         "C:\\WINDOWS\\System32\\drivers\\halvik.sys will be deleted when the system restarts.\n"
         "OpenService - driver: Access is denied.\r\n"},
        {Do::drop_ini, {"OpenServiceA"}},
        {Do::has, {kMemory, "\"SystemPages\"=dword:00030000"}},
        // Nothing left to remove, but the value put back is not real until the restart.
        {Do::install, kRemoval, 1},
        {Do::has, {kMemory, "\"SystemPages\"=dword:00030000"}}}},
      {"AServiceKeyLeftByAFailedInstallationGoesWithTheRemoval",
       {{Do::new_machine, {"w2k"}},
        {Do::ini, {"[faults]\nRegSetValueExA SystemPages = 5\n"}},
        {Do::install, batch("y", "y"), 255, "*"},
        {Do::drop_ini, {"SystemPages"}},
        {Do::ini, {"[faults]\nOpenServiceA halvik #1 = 5\n"}},
        {Do::install, kRemoval, 0, "OpenService - driver: Access is denied.\r\n"},
        {Do::lacks, {"SYSTEM\\CurrentControlSet\\Services", "\\Services\\halvik]"}}}},
      {"AServiceHeldOpenAsksForTheRestart",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::ini, {"[services]\nhalvik.delete = linger\n"}},
        {Do::install, kRemoval, 1,
         "The halvik service is still in use by another program; it is removed when the system restarts.\n"},
        {Do::reboot, {}},
        {Do::drop_ini, {"linger"}},
        {Do::install, batch("n")},
        {Do::has, {kEnumPci, kBound}}}},
      {"ADeviceWhoseIdCantBeReadIsReportedWithItsOwnError",
       {{Do::new_machine, {"xp"}},
        {Do::ini, {"[faults]\nCM_Get_Device_ID_ExA = 0x33\n"}},
        {Do::install, kRemoval, 255,
         "An error occurred while uninstalling one of the devices: Access is denied.\r\n"
         "An error occurred during driver removal.\n"}}},
      {"ALogOfBothStreamsKeepsTheirOrder",
       {{Do::new_machine, {"xp"}},
        {Do::both, with(batch("n"), {"-d", "C:\\"}), 255,
         "Installing Quillant(R) Tessaridge(R) Device Driver Version 6.1.1\nUnable to read the driver "
         "package"}}},
      {"TakenBackDeletionsLeaveNoEmptyListAndOldFilesGo",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::ini, {"[faults]\nDeleteFileA = 32\n"}},
        {Do::install, kRemoval, 1,
         "C:\\WINDOWS\\inf\\oem0.pnf will be deleted when the system restarts.\n"
         "C:\\WINDOWS\\inf\\oem0.inf will be deleted when the system restarts.\n"
         "C:\\WINDOWS\\System32\\tsrgBdevpp.dll will be deleted when the system restarts.\n"
         "C:\\WINDOWS\\System32\\tsrgBdevco.dll will be deleted when the system restarts.\n"
         "C:\\WINDOWS\\System32\\drivers\\halvik.sys will be deleted when the system restarts.\n"},
        {Do::drop_ini, {"DeleteFileA"}},
        {Do::install, batch("n")},
        {Do::lacks, {kSessionManager, "PendingFileRenameOperations"}}}},
      {"AnUpgradeWithFilesInUseKeepsOnlyWhatItPutInPlace",
       {{Do::new_machine, {"leftovers"}},
        {Do::ini, {"[faults]\nDeleteFileA = 32\n"}},
        {Do::install, batch("n"), 1, "*"},
        {Do::drop_ini, {"DeleteFileA"}},
        {Do::reboot, {}},
        {Do::has, {kEnumPci, kBound}},
        {Do::install, kRemoval},
        {Do::reboot, {}},
        {Do::lacks, {kEnumPci, kBound}}}},
      {"AFailureAfterTheMemoryWasRestoredAsksForTheRestart",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n", "y"), 1},
        {Do::ini, {"[faults]\nOpenSCManagerA #4 = 5\n"}},
        {Do::install, kRemoval, 254,
         "OpenSCManager: Access is denied.\r\nAn error occurred during driver removal.\n"}}},
      {"ABoardOutDuringTheRemovalComesBackWithoutTheDriver",
       {{Do::new_machine, {"xp"}},
        {Do::install, batch("n")},
        {Do::drop_ini, {"4&1F2E3D&0&0010 ="}},
        {Do::install, kRemoval},
        {Do::ini,
         {"[hardware]\nPCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C&REV_01\\4&1F2E3D&0&0010 = "
          "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C&REV_01,PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C\n"}},
        {Do::reboot, {}},
        {Do::lacks, {kEnumPci, kBound}}}},
  };
  // The entry's two commands, as a deployment agent runs them and retries them before the
  // restart: both runs succeed, and after the restart nothing of the product is left.
  static const std::vector<Case> with_entry_commands = [] {
    static const std::vector<std::string> names = {
        "TheQuietUninstallStringRunTwiceOnXp", "TheUninstallStringRunTwiceOnXp",
        "TheQuietUninstallStringRunTwiceOnAmd64", "TheUninstallStringRunTwiceOnAmd64"};
    std::vector<Case> cases = all;
    std::size_t n = 0;
    for (const char* machine : {"xp", "amd64"}) {
      for (const char* command : {"QuietUninstallString", "UninstallString"}) {
        cases.push_back({names[n++].c_str(),
                         {{Do::new_machine, {machine}},
                          {Do::install, batch("y")},
                          {Do::entry, {command}},
                          {Do::again, {}},
                          {Do::reboot, {}},
                          {Do::lacks, {kUninstall, kEntry}},
                          {Do::lacks, {kSessionManager, kPending}},
                          {Do::no_file, {"Program Files/Tessaridge"}}}});
      }
    }
    return cases;
  }();
  return with_entry_commands;
}

class Lifecycle : public testing::TestWithParam<Case> {};

std::string show(const std::string& machine, const std::string& key) {
  return run_program("halvik-sim", {"show", machine, key}).out;
}

// A string value of the key as halvik-sim show writes it, its escapes undone.
std::string string_value(const std::string& machine, const std::string& key, const std::string& name) {
  std::string text = show(machine, key);
  std::size_t at = text.find("\"" + name + "\"=\"");
  if (at == std::string::npos) return "";
  std::string value;
  for (std::size_t i = at + name.size() + 4; i < text.size() && text[i] != '"'; ++i)
    value += text[i] == '\\' ? text[++i] : text[i];
  return value;
}

void edit_ini(const std::string& machine, const std::string& append, const std::string& drop) {
  std::string text = read_file(machine + "/machine.ini");
  std::string kept;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    std::string line = text.substr(start, end - start + 1);
    if (drop.empty() || line.find(drop) == std::string::npos) kept += line;
    start = end + 1;
  }
  std::ofstream(machine + "/machine.ini", std::ios::binary | std::ios::trunc) << kept << append;
}

TEST_P(Lifecycle, EachStepLeavesWhatItsExitCodeSays) {
  std::string dir = make_temp_dir("lifecycle");
  std::string machine = dir + "/m";
  std::string before = dir + "/before";
  std::vector<std::string> env = {"HALVIK_MACHINE=" + machine};
  int number = 0;
  std::string command;  // the entry's command an agent holds
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(++number));
    if (step.what != Do::unchanged && step.what != Do::new_machine) {
      std::filesystem::remove_all(before);
      std::filesystem::copy(machine, before, std::filesystem::copy_options::recursive);
    }
    switch (step.what) {
      case Do::new_machine:
        ASSERT_EQ(run_program("halvik-sim", {"new", machine, "--template", step.args[0]}).exit_code, 0);
        break;
      case Do::install: {
        RunResult run = run_program("install", step.args, "", env);
        EXPECT_EQ(run.exit_code, step.exit) << run.out << run.err;
        if (step.err != "*") {
          EXPECT_EQ(run.err, step.err);
        }
        break;
      }
      case Do::both: {
        std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" 2>&1",
                                         std::string(HALVIK_BIN_DIR) + "/install"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        RunResult run = run_program("/bin/sh", args, "", env);
        EXPECT_EQ(run.exit_code, step.exit);
        EXPECT_NE(run.out.find(step.err), std::string::npos) << run.out;
        break;
      }
      case Do::ini:
        edit_ini(machine, step.args[0], "");
        break;
      case Do::drop_ini:
        edit_ini(machine, "", step.args[0]);
        break;
      case Do::reboot:
        EXPECT_EQ(run_program("halvik-sim", {"reboot", machine}).exit_code, 0);
        break;
      case Do::has:
        EXPECT_NE(show(machine, step.args[0]).find(step.args[1]), std::string::npos) << step.args[1];
        break;
      case Do::lacks:
        EXPECT_EQ(show(machine, step.args[0]).find(step.args[1]), std::string::npos) << step.args[1];
        break;
      case Do::folder:
        std::filesystem::create_directories(machine + "/drive_c/" + step.args[0]);
        break;
      case Do::file: {
        std::filesystem::path path = machine + "/drive_c/" + step.args[0];
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << step.args[1];
        break;
      }
      case Do::replace: {
        std::string text = read_file(machine + "/registry.reg");
        std::size_t at = text.find(step.args[0]);
        ASSERT_NE(at, std::string::npos) << step.args[0];
        text.replace(at, step.args[0].size(), step.args[1]);
        std::ofstream(machine + "/registry.reg", std::ios::binary) << text;
        break;
      }
      case Do::entry:
      case Do::again: {
        if (step.what == Do::entry)
          command = string_value(machine, std::string(kUninstall) + "\\halvik", step.args[0]);
        ASSERT_FALSE(command.empty());
        RunResult run =
            run_program("halvik-sim", {"run", machine, "--cd", "C:\\Windows\\System32", "--", command});
        EXPECT_EQ(run.exit_code, step.exit) << command << "\n" << run.out << run.err;
        EXPECT_EQ(run.err, step.err);
        break;
      }
      case Do::no_file:
        EXPECT_FALSE(std::filesystem::exists(machine + "/drive_c/" + step.args[0])) << step.args[0];
        break;
      case Do::ini_has:
        EXPECT_NE(read_file(machine + "/machine.ini").find(step.args[0]), std::string::npos) << step.args[0];
        break;
      case Do::pages: {
        std::string text = read_file(machine + "/registry.reg");
        std::size_t at = text.find("\"SystemPages\"=dword:");
        ASSERT_NE(at, std::string::npos);
        text.replace(at + 20, 8, step.args[0]);
        std::ofstream(machine + "/registry.reg", std::ios::binary | std::ios::trunc) << text;
        break;
      }
      case Do::unchanged: {
        EXPECT_EQ(diff_but_run_log(before, machine), "");
        break;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, Lifecycle, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

// halvik-sim run starts what the command line names, as CreateProcess finds it, or refuses
// with CreateProcess's error; the program's exit code is the run's.
TEST(RunCommand, StartsTheImageTheCommandLineNamesOrRefusesAsCreateProcessDoes) {
  const std::string machine = make_temp_dir("run") + "/m";
  ASSERT_EQ(run_program("halvik-sim", {"new", machine}).exit_code, 0);
  const struct {
    std::vector<std::string> args;  // after the machine
    int exit;
    const char* err;  // a text standard error holds; "" none at all
  } cases[] = {
      {{"--", "\"C:\\Tessaridge\\install\\install.exe\" -r -c 0"}, 0, ""},
      {{"--", "C:\\Tessaridge\\install\\install.exe", "-r", "-c", "0"}, 0, ""},
      {{"--cd", "C:\\Tessaridge", "--", "install\\install -r -c 0"}, 0, ""},
      {{"--", "\"C:\\Tessaridge\\install\\missing.exe\" -r"}, 2, "(CreateProcess error 2)"},
      {{"--", "\"C:\\Nowhere\\install.exe\" -r"}, 2, "(CreateProcess error 3)"},
      {{"--cd", "C:\\Nowhere", "--", "C:\\Tessaridge\\install\\install.exe"}, 2, "(CreateProcess error 267)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"run", machine};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult run = run_program("halvik-sim", args);
    EXPECT_EQ(run.exit_code, c.exit) << c.args.back() << run.out << run.err;
    if (*c.err == '\0') {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
  }
}

}  // namespace
