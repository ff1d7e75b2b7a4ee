// halvik-sim import on exports written by Wine's registry editor (tests/scenario/exports), as
// written and reshaped the way Windows' own export lays them out, then rehearsed with install.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scenario/run.h"

namespace {

const std::string kExports = std::string(HALVIK_SOURCE_DIR) + "/tests/scenario/exports/";

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The Wine export of HKLM\System as UTF-8 text (it holds only ASCII).
std::string wine_system_text() {
  std::string bytes = read_file(kExports + "wine-system.reg");
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i]);
  return text;
}

// Windows exports the current control set as ControlSet001 (Select\Current = 1).
std::string as_windows_lays_it_out(std::string text) {
  const std::string from = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet";
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
    text.replace(at, from.size(), "[HKEY_LOCAL_MACHINE\\System\\ControlSet001");
  return text;
}

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// What Windows 10 keeps: 6.3 in CurrentVersion, the real numbers beside it, no service pack.
const std::string kWindows10 =
    std::string(kHeader) +
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"CurrentBuild\"=\"19045\"\r\n\"CurrentMajorVersionNumber\"=dword:0000000a\r\n"
    "\"CurrentMinorVersionNumber\"=dword:00000000\r\n\"CurrentVersion\"=\"6.3\"\r\n"
    "\"SystemRoot\"=\"C:\\\\Windows\"\r\n\r\n";
const std::string kAmd64 =
    std::string(kHeader) +
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Session Manager\\Environment]\r\n"
    "\"PROCESSOR_ARCHITECTURE\"=\"AMD64\"\r\n\r\n";
const std::string kBoardId = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0008";
// A board's node: HardwareID "PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01" and
// "PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C".
std::string board_export() {
  std::string ids;
  for (const std::string& id : {std::string("PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01"),
                                std::string("PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C"), std::string()}) {
    for (char c : id) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
      ids += byte;
    }
    ids += "00,00,";
  }
  ids.pop_back();
  return std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + kBoardId +
         "]\r\n\"HardwareID\"=hex(7):" + ids + "\r\n\"ConfigFlags\"=dword:00000000\r\n\r\n";
}

// The services machine.ini's [services] has running.
std::vector<std::string> running_services(const std::string& ini) {
  std::vector<std::string> names;
  std::size_t section = ini.find("[services]\n");
  std::size_t end = ini.find("\n[", section + 1);
  std::istringstream lines(ini.substr(section, end - section));
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t equals = line.find(" = running");
    if (equals != std::string::npos) names.push_back(line.substr(0, equals));
  }
  return names;
}

class ImportScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = make_temp_dir("import");
    write_text(base_ + "/system-windows.reg", as_windows_lays_it_out(wine_system_text()));
    write_text(base_ + "/windows10.reg", kWindows10);
    write_text(base_ + "/amd64.reg", kAmd64);
    write_text(base_ + "/board.reg", board_export());
  }
  std::string path(const std::string& name) const {
    return name.rfind("wine-", 0) == 0 ? kExports + name : base_ + "/" + name;
  }
  RunResult import(const std::string& dir, const std::vector<std::string>& files) {
    std::vector<std::string> args = {"import", base_ + "/" + dir};
    for (const std::string& file : files)
      args.push_back(file == "--present" || file[0] == '/' ? file : path(file));
    return run_program("halvik-sim", args);
  }
  RunResult install(const std::string& dir, const std::vector<std::string>& args) {
    return run_program("install", args, "", {"HALVIK_MACHINE=" + base_ + "/" + dir});
  }
  std::string base_;
};

TEST_F(ImportScenario, TakesTheSystemFromWhereWindowsKeepsIt) {
  struct Case {
    std::vector<std::string> files;
    std::vector<std::string> summary;    // lines the summary holds
    std::vector<std::string> ini;        // lines machine.ini holds
    std::vector<std::string> ini_never;  // lines it must not hold
  };
  const Case cases[] = {
      // Wine's own files as it wrote them: UTF-16LE, CurrentControlSet itself.
      {{"wine-system.reg", "wine-software.reg"},
       {"Windows 6.1 build 7601 Service Pack 1, x86, SystemRoot C:\\windows.\n",
        "Supported boards present: 0 (of 1 PCI devices present).\n", "Earlier installation: none found.\n",
        "SystemPages: not set.\n"},
       {"version = 6.1\n", "build = 7601\n", "service_pack = 1\n", "processor = x86\n",
        "PATH = C:\\windows\\system32;C:\\windows;", "TEMP = C:\\windows\\temp\n",
        "PlugPlay = running ; not in the export: assumed from Start = 2\n",
        "PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00\\00000000 = "
        "PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00\n"},
       {"current_control_set"}},
      // Laid out as Windows exports it, Windows 10 on AMD64, in UTF-8.
      {{"system-windows.reg", "windows10.reg", "amd64.reg"},
       {"Windows 10.0 build 19045, AMD64, SystemRoot C:\\Windows.\n",
        "CurrentControlSet is the export's ControlSet001.\n"},
       {"version = 10.0\n", "build = 19045\n", "service_pack = 0\n", "processor = AMD64\n",
        "PROCESSOR_ARCHITECTURE = x86\n", "PROCESSOR_ARCHITEW6432 = AMD64\n", "SystemRoot = C:\\Windows\n",
        "current_control_set = ControlSet001 ;"},
       {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string dir = "m" + std::to_string(++n);
    RunResult made = import(dir, c.files);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(made.err, "");
    std::string ini = read_file(base_ + "/" + dir + "/machine.ini");
    for (const std::string& line : c.summary)
      EXPECT_NE(made.out.find(line), std::string::npos) << line << made.out;
    for (const std::string& line : c.ini) EXPECT_NE(ini.find(line), std::string::npos) << line << ini;
    for (const std::string& line : c.ini_never) EXPECT_EQ(ini.find(line), std::string::npos) << line;
    // The program opens CurrentControlSet; the control set it stands for is not there twice.
    RunResult shown = run_program("halvik-sim", {"show", base_ + "/" + dir, "SYSTEM"});
    EXPECT_NE(shown.out.find("\\CurrentControlSet\\Control\\Session Manager\\Environment]"),
              std::string::npos);
    EXPECT_EQ(shown.out.find("[HKEY_LOCAL_MACHINE\\System\\ControlSet001"), std::string::npos);
    // One Temp folder, whatever case TEMP spells it in, and the driver store of Windows 6.x on.
    int temp_folders = 0;
    std::string windows = base_ + "/" + dir + (n == 1 ? "/drive_c/windows" : "/drive_c/Windows");
    for (const auto& entry : std::filesystem::directory_iterator(windows))
      temp_folders += entry.path().filename() == "Temp" || entry.path().filename() == "temp";
    EXPECT_EQ(temp_folders, 1);
    EXPECT_TRUE(std::filesystem::is_directory(windows + "/system32/DriverStore/FileRepository"));
    // The services taken as running have their images: they run again after a restart.
    std::vector<std::string> running = running_services(ini);
    EXPECT_FALSE(running.empty());
    ASSERT_EQ(run_program("halvik-sim", {"reboot", base_ + "/" + dir}).exit_code, 0);
    EXPECT_EQ(running_services(read_file(base_ + "/" + dir + "/machine.ini")), running);
  }
}

TEST_F(ImportScenario, RefusesWhatCannotMakeAMachine) {
  write_text(base_ + "/select-only.reg",
             std::string(kHeader) +
                 "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000002\r\n"
                 "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\r\n\r\n");
  write_text(base_ + "/present.txt",
             "; the boards in this machine\n" + kBoardId + "\nPCI\\VEN_DEAD&DEV_BEEF\\0\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"wine-software.reg"}, "no HKEY_LOCAL_MACHINE\\SYSTEM in the exports"},
      {{"wine-system.reg"},
       "no HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion in the exports"},
      {{"select-only.reg", "wine-software.reg"},
       "SYSTEM\\Select names ControlSet002 as the current control set, which the export lacks"},
      {{"--present", base_ + "/present.txt", "wine-system.reg", "wine-software.reg", "board.reg"},
       "present.txt: PCI\\VEN_DEAD&DEV_BEEF\\0 is no PCI device node of the export"},
      {{"wine-system.reg", "wine-software.reg"}, "already holds a machine (registry.reg)"},
      {{"no-mark.reg"}, "no-mark.reg:1: not a registry export: UTF-16 without the byte-order mark"},
  };
  write_text(base_ + "/no-mark.reg", read_file(kExports + "wine-software.reg").substr(2));
  ASSERT_EQ(import("taken", {"wine-system.reg", "wine-software.reg"}).exit_code, 0);
  int n = 0;
  for (const auto& [files, message] : cases) {
    std::string dir = ++n == 5 ? "taken" : "r" + std::to_string(n);
    RunResult refused = import(dir, files);
    EXPECT_EQ(refused.exit_code, 2) << message;
    EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    if (n != 5) {
      EXPECT_FALSE(std::filesystem::exists(base_ + "/" + dir + "/registry.reg")) << message;
    }
  }
}

// An export cut short anywhere but right after a key's closing empty line (where nothing tells)
// is refused, naming the file and where it ends, and nothing is written.
TEST_F(ImportScenario, RefusesAnExportCutShort) {
  const std::string whole = read_file(kExports + "wine-system.reg");
  const std::string empty_line("\r\0\n\0\r\0\n\0", 8);
  int refused_count = 0;
  for (std::size_t cut = 3; cut < whole.size(); cut += whole.size() / 41) {
    if (cut % 2 == 0 && whole.compare(cut - 8, 8, empty_line) == 0) continue;
    std::string name = "cut" + std::to_string(cut) + ".reg";
    write_text(base_ + "/" + name, whole.substr(0, cut));
    RunResult refused = import("c" + std::to_string(cut), {name, "wine-software.reg"});
    EXPECT_EQ(refused.exit_code, 2) << cut;
    EXPECT_NE(refused.err.find(name + " is cut short: "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("at byte " + std::to_string(cut) + " (line "), std::string::npos)
        << refused.err;
    EXPECT_FALSE(std::filesystem::exists(base_ + "/c" + std::to_string(cut) + "/registry.reg"));
    ++refused_count;
  }
  EXPECT_GE(refused_count, 35);
}

// A deployment agent runs as LocalSystem, its TEMP in its profile under System32, which a
// 32-bit program reaches as SysWOW64's: installation and removal work on a 64-bit Windows 10
// host imported from its exports as they do on Windows.
TEST_F(ImportScenario, LocalSystemInstallsAndRemovesOnAnImported64BitHost) {
  ASSERT_EQ(import("host", {"system-windows.reg", "wine-software.reg", "windows10.reg", "amd64.reg"}).exit_code, 0);
  const std::string temp = "C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local\\Temp";
  std::ofstream(base_ + "/host/machine.ini", std::ios::app) << "[environment]\nTEMP = " << temp << "\nTMP = " << temp
                                                           << "\n";
  const std::vector<std::string> batch = {
      "-c", "0",   "0",   "0",   "16", "32768", "10240", "0", "1", "1", "0", "1024000", "0",   "0", "1",
      "16", "250", "152", "128", "0",  "0",     "0",     "0", "0", "y", "n", "2",       "512", "0", "0"};
  // What a real installation holds: the profile's Temp folder in both views of System32.
  for (const char* system : {"system32", "SysWOW64"})
    EXPECT_TRUE(std::filesystem::is_directory(base_ + "/host/drive_c/Windows/" + system +
                                              "/config/systemprofile/AppData/Local/Temp"));
  for (const std::vector<std::string>& args : {batch, std::vector<std::string>{"-r", "-c", "0"}}) {
    RunResult run = install("host", args);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
  }
}

// Install and remove on an imported machine; the machine with the driver is exported again and
// imported, as an administrator's machine with an earlier installation would be.
TEST_F(ImportScenario, RehearsesAnInstallationAndARemoval) {
  write_text(base_ + "/present.txt", kBoardId + "\n");
  RunResult made = import(
      "before", {"--present", base_ + "/present.txt", "wine-system.reg", "wine-software.reg", "board.reg"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_NE(made.out.find("Supported boards present: 1 (of 1 PCI devices present).\n  " + kBoardId + "\n"),
            std::string::npos)
      << made.out;
  std::filesystem::copy(base_ + "/before", base_ + "/installed", std::filesystem::copy_options::recursive);
  const std::vector<std::string> batch = {
      "-c", "0",   "0",   "0",   "16", "32768", "10240", "0", "1", "1", "0", "1024000", "0",   "0", "1",
      "16", "250", "152", "128", "0",  "0",     "0",     "0", "0", "y", "n", "2",       "512", "0", "0"};
  RunResult installed = install("installed", batch);
  ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;
  RunResult report = run_program("halvik-sim", {"diff", base_ + "/before", base_ + "/installed"});
  for (const std::string line : {"+[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\halvik]\n",
                                 "+\"Service\"=\"halvik\"\n", "+C:\\windows\\inf\\oem0.inf\n",
                                 "+C:\\windows\\system32\\drivers\\halvik.sys\n", "+halvik = running\n"})
    EXPECT_NE(report.out.find(line), std::string::npos) << line << report.out;

  write_text(base_ + "/installed.reg", run_program("halvik-sim", {"show", base_ + "/installed"}).out);
  RunResult again = import("again", {"installed.reg"});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_NE(again.out.find("Earlier installation:\n  service halvik, Start 3\n  class "
                           "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415} (TessaridgeHardware) 0000: oem0.inf\n"),
            std::string::npos)
      << again.out;
  std::filesystem::copy(base_ + "/again", base_ + "/removed", std::filesystem::copy_options::recursive);
  RunResult removed = install("removed", {"-r", "-c", "0"});
  EXPECT_EQ(removed.exit_code, 0) << removed.out << removed.err;
  EXPECT_EQ(removed.err, "");
  report = run_program("halvik-sim", {"diff", base_ + "/again", base_ + "/removed"});
  // The stand-in INF names the board as the real one does: the removal knows it for its own.
  for (const std::string line : {"-[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\halvik]\n",
                                 "-C:\\windows\\inf\\oem0.inf\n", "-C:\\windows\\inf\\oem0.PNF\n"})
    EXPECT_NE(report.out.find(line), std::string::npos) << line << report.out;
}

}  // namespace
