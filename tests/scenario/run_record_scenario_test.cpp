// What a run keeps of itself (the log file and the Application log's event), the exit codes
// agents count, and the options that only print, through the built install on fresh machines.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scenario/run.h"

namespace {

const std::string kLog = "/drive_c/WINDOWS/Logs/Tessaridge/install.log";
const std::string kEntryKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\halvik";

std::vector<std::string> batch_install(const std::string& adjust, const std::string& do_reboot = "0") {
  return {"-c", "0",       "0", "0", "16", "32768", "10240", "0",   "1",   "1",
          "0",  "1024000", "0", "0", "1",  "16",    "250",   "152", "128", "0",
          "0",  "0",       "0", "0", "n",  adjust,  "2",     "512", "0",   do_reboot};
}

std::string last_line(const std::string& text) {
  std::size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  std::size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::string without_cr(std::string text) {
  std::erase(text, '\r');
  return text;
}

class RunRecordScenario : public ::testing::Test {
 protected:
  void SetUp() override { base_ = make_temp_dir("run-record"); }

  // A fresh xp machine with a fixed clock and the given lines added to machine.ini.
  std::string machine(const std::string& extra_ini) {
    std::string dir = base_ + "/m" + std::to_string(++machines_);
    EXPECT_EQ(run_program("halvik-sim", {"new", dir}).exit_code, 0);
    std::string ini = read_file(dir + "/machine.ini");
    ini.replace(ini.find("[system]\n"), 9, "[system]\nlocal_time = 2026-03-04 05:06:07\n");
    std::FILE* out = std::fopen((dir + "/machine.ini").c_str(), "w");
    std::fputs((ini + "\n" + extra_ini + "\n").c_str(), out);
    std::fclose(out);
    return dir;
  }

  std::string base_;
  int machines_ = 0;
};

// One scenario per way a run ends: the output is the same with agent codes or without, the
// log holds it, the event says how it ended; a log that can't be written changes neither.
TEST_F(RunRecordScenario, EveryOutcomeIsLoggedAndReportedWithItsExitCode) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string faults;
    int code;        // as the shell sees it
    int agent_code;  // with --agent-exit-codes, modulo 256 as the shell sees it
    const char* event;
    bool logged;
  } cases[] = {
      {"success", batch_install("n"), "", 0, 0, "information | 1 | The installation", true},
      {"restart", batch_install("y"), "", 1, 3010 % 256, "information | 2 | The installation", true},
      {"restart started", batch_install("y", "1"), "", 1, 1641 % 256, "information | 3 | The installation",
       true},
      {"failure", batch_install("n"), "[faults]\nCreateFileA = 5", 255, 1603 % 256,
       "error | 10 | The installation", true},
      {"failure with restart", batch_install("y"), "[faults]\nRegSetValueExA DisplayName = 5", 254,
       1603 % 256, "error | 11 | The installation", true},
      {"usage error", {"-x"}, "", 255, 1639 % 256, "error | 12 | The command line was refused", true},
      {"no log", batch_install("n"), "[faults]\nCreateDirectoryA C:\\WINDOWS\\Logs = 5", 0, 0,
       "information | 1 | The installation", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string output;
    for (bool agent : {false, true}) {
      std::string dir = machine(c.faults);
      std::vector<std::string> args = c.args;
      if (agent) args.insert(args.begin(), "--agent-exit-codes");
      RunResult run = run_program("install", args, "", {"HALVIK_MACHINE=" + dir});
      EXPECT_EQ(run.exit_code, agent ? c.agent_code : c.code) << run.err;
      if (!agent) output = run.out + run.err;
      EXPECT_EQ(run.out + run.err, output) << "agent codes change only the exit code";

      std::string event = last_line(read_file(dir + "/events.log"));
      EXPECT_EQ(event.rfind("2026-03-04 05:06:07 | Tessaridge Installer | " + std::string(c.event), 0), 0u)
          << event;
      // A failure's event says why: what it printed on standard error.
      if (c.code != 0 && c.code != 1) {
        EXPECT_NE(event.find(without_cr(last_line(run.err))), std::string::npos) << event;
      }

      std::string log = read_file(dir + kLog);
      EXPECT_EQ(!log.empty(), c.logged);
      if (!c.logged) continue;
      std::string record = without_cr(log);
      EXPECT_EQ(record.rfind("==== 2026-03-04 05:06:07  install 6.1.1\nCommand line: ", 0), 0u) << record;
      // Both streams, in the order they were printed, then the exit code as the process ends.
      EXPECT_NE(record.find(run.out), std::string::npos);
      EXPECT_NE(record.find(without_cr(run.err)), std::string::npos);
      EXPECT_EQ(last_line(record).rfind("Exit code ", 0), 0u) << last_line(record);
      EXPECT_NE(log.find("\r\n"), std::string::npos) << "lines end as Notepad wants them";
    }
  }
}

TEST_F(RunRecordScenario, TheLogIsKeptToItsBoundAndNeverWrittenThroughALink) {
  std::string dir = machine("");
  std::string folder = dir + "/drive_c/WINDOWS/Logs/Tessaridge";
  std::filesystem::create_directories(folder);
  {
    std::string big(1024 * 1024 + 1, 'x');
    std::FILE* out = std::fopen((folder + "/install.log").c_str(), "w");
    std::fputs(big.c_str(), out);
    std::fclose(out);
  }
  RunResult run = run_program("install", {"-x"}, "", {"HALVIK_MACHINE=" + dir});
  EXPECT_EQ(std::filesystem::file_size(folder + "/install.log.old"), 1024u * 1024u + 1u);
  EXPECT_LT(std::filesystem::file_size(folder + "/install.log"), 4096u);

  // A link in the log's place leads elsewhere: nothing is written through it, and the run is
  // the same.
  std::string elsewhere = dir + "/drive_c/elsewhere.txt";
  std::filesystem::remove(folder + "/install.log");
  std::FILE* out = std::fopen(elsewhere.c_str(), "w");
  std::fclose(out);
  std::filesystem::create_symlink(elsewhere, folder + "/install.log");
  RunResult linked = run_program("install", {"-x"}, "", {"HALVIK_MACHINE=" + dir});
  EXPECT_EQ(linked.exit_code, run.exit_code);
  EXPECT_EQ(std::filesystem::file_size(elsewhere), 0u);
}

TEST_F(RunRecordScenario, InstallationRecordsItsListAndTheEntryFieldsAndRemovalTakesTheSourceAway) {
  std::string dir = machine("");
  std::vector<std::string> list = batch_install("y");
  list[24] = "y";  // a root device node
  RunResult installed = run_program("install", list, "", {"HALVIK_MACHINE=" + dir});
  ASSERT_EQ(installed.exit_code, 1) << installed.err;
  std::string registry = read_file(dir + "/registry.reg");
  for (const char* value :
       {"\"InstalledList\"=\"0 0 0 16 32768 10240 0 1 1 0 1024000 0 0 1 16 250 152 128 0 0 0 0 0 y y 2 512\"",
        "\"InstallDate\"=\"20260304\"",
        "\"DisplayIcon\"=\"C:\\\\Program Files\\\\Tessaridge\\\\install.exe,0\"", "\"EstimatedSize\"=dword:",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
        "Tessaridge Installer]"})
    EXPECT_NE(registry.find(value), std::string::npos) << value;

  RunResult removed = run_program("install", {"-r", "-c", "0"}, "", {"HALVIK_MACHINE=" + dir});
  EXPECT_EQ(removed.exit_code, 1) << removed.err;  // the memory adjustment goes with a restart
  EXPECT_EQ(read_file(dir + "/registry.reg").find("Tessaridge Installer"), std::string::npos);
  // The log stays, with both runs.
  std::string log = without_cr(read_file(dir + kLog));
  EXPECT_NE(log.find("install -r -c 0\nRemoving driver...\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Exit code 1: The removal of"), std::string::npos);
}

TEST_F(RunRecordScenario, HelpAndVersionPrintChangeNothingAndNeedNoRights) {
  for (const char* option : {"/?", "-?", "--help", "--version"}) {
    SCOPED_TRACE(option);
    std::string dir = machine("[process]\nadministrator = 0");
    RunResult run = run_program("install", {option}, "", {"HALVIK_MACHINE=" + dir});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(option == std::string("--version") ? "install 6.1.1" : "Usage: install [-r]"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/events.log"));
    EXPECT_FALSE(std::filesystem::exists(dir + kLog));
  }
}

TEST_F(RunRecordScenario, AnInstallationWithoutBoardsOrRootNodeSaysTheDriverComesWithTheFirstBoard) {
  const std::string line =
      "No supported board is present: the driver will be installed when one is plugged in.\n";
  for (bool root_node : {false, true}) {
    // The boards taken out of the machine.
    std::string dir = machine("");
    std::string ini = read_file(dir + "/machine.ini");
    std::size_t hardware = ini.find("[hardware]\n");
    ASSERT_NE(hardware, std::string::npos);
    ini.erase(hardware, ini.find("\n[", hardware + 1) - hardware);
    std::FILE* out = std::fopen((dir + "/machine.ini").c_str(), "w");
    std::fputs(ini.c_str(), out);
    std::fclose(out);
    std::vector<std::string> list = batch_install("n");
    list[24] = root_node ? "y" : "n";
    RunResult run = run_program("install", list, "", {"HALVIK_MACHINE=" + dir});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.find(line) != std::string::npos, !root_node) << run.out;
  }
}

}  // namespace
