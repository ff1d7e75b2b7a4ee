// A program ended from outside at one of its platform calls, as an agent's time-out ends it:
// what every earlier call did stays on the machine, the call it was ended at never happens.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "scenario/run.h"

namespace {

// The batch installation with the memory adjustment, on AMD64: the counterpart runs twice.
const std::vector<std::string> kInstallation = {
    "-c",      "0",    "0",  "0", "16", "32768", "10240", "0",   "1", "1", "0",
    "1024000", "0",    "0",  "1", "16", "250",   "152",   "128", "0", "0", "0",
    "0",       "1234", "f0", "0", "y",  "y",     "2",     "512", "0", "0"};

// A program's calls from a trace whose lines name their program, one list per start of it, with
// the exchange folder's process number and the machine's host folder taken out (they differ
// from run to run).
std::vector<std::vector<std::string>> starts_of(const std::string& trace, const std::string& program) {
  static const std::regex exchange("halvik-[0-9a-f]+-|/[^ \"]*/m[0-9]+/drive_c");
  std::vector<std::vector<std::string>> starts;
  bool in_start = false;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    bool mine = line.rfind(program + ": ", 0) == 0;
    if (mine && !in_start && (starts.empty() || program != "install"))
      starts.emplace_back();  // the installer runs once
    if (mine)
      starts.back().push_back(std::regex_replace(line.substr(program.size() + 2), exchange, "halvik-N-"));
    in_start = mine;
  }
  return starts;
}

class KillScenario : public ::testing::Test {
 protected:
  void SetUp() override { base_ = make_temp_dir("kill"); }

  std::string traced_machine(const std::string& extra_ini) {
    std::string dir = base_ + "/m" + std::to_string(++machines_);
    RunResult made = run_program("halvik-sim", {"new", dir, "--template", "amd64"});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    std::ofstream(dir + "/machine.ini", std::ios::app) << "\n[trace]\nenabled = 1\nprogram = 1\n"
                                                       << extra_ini;
    return dir;
  }

  std::string base_;
  int machines_ = 0;
};

// Each case ends a program at a DWORD registry write, or at the call after it: the write is on
// the machine only in the second.  The program's calls are exactly those the fault-free run
// made before that point, counted per program (the installer's own calls while the counterpart
// is running are not the counterpart's), and the installer goes on from a killed counterpart as
// from one that failed.
TEST_F(KillScenario, AProgramEndedAtACallKeepsExactlyTheCallsBeforeIt) {
  std::string reference = traced_machine("");
  ASSERT_EQ(run_program("install", kInstallation, "", {"HALVIK_MACHINE=" + reference}).exit_code, 1);
  std::string trace = read_file(reference + "/trace.log");
  const std::string kMemory =
      "RegSetValueExA \"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory "
      "Management\" \"SystemPages\"";
  const std::string kCoinstaller =
      "RegSetValueExA \"HKLM\\SOFTWARE\\Tessaridge Technology\\DeviceCoInstaller";
  const char* const kChildFailed =
      "Exit code 1 spawning 64-bit program.\nAn error occurred during driver installation/configuration.\n";
  const struct {
    const char* program;
    std::string call;  // the start of the write's trace line
    int after;         // 0: ended at the write, 1: at the call after it
    int exit_code;
    const char* err;  // what the installer's error output ends with
  } cases[] = {
      {"install", kMemory, 0, 1, ""},
      {"install", kMemory, 1, 1, ""},
      {"installx64", kCoinstaller, 0, 254, kChildFailed},
      {"installx64", kCoinstaller, 1, 254, kChildFailed},
  };
  for (const auto& c : cases) {
    // Each start of a program counts its calls from 1.
    std::vector<std::vector<std::string>> starts = starts_of(trace, c.program);
    std::size_t start = 0;
    std::size_t write = 0;
    for (; start < starts.size(); ++start) {
      for (write = 0; write < starts[start].size() && starts[start][write].rfind(c.call, 0) != 0;) ++write;
      if (write < starts[start].size()) break;
    }
    ASSERT_LT(start, starts.size()) << c.call;
    std::vector<std::string> expected = starts[start];
    const std::string written = expected[write];
    std::size_t at = write + c.after + 1;  // calls count from 1
    SCOPED_TRACE(std::string(c.program) + " ended at call " + std::to_string(at) + ": " + expected[at - 1]);

    std::string dir =
        traced_machine(std::string("[faults.") + c.program + "]\nkill_at_call = " + std::to_string(at) +
                       "\nkill_at_start = " + std::to_string(start + 1) + "\n");
    RunResult result = run_program("install", kInstallation, "", {"HALVIK_MACHINE=" + dir});
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    expected.resize(at - 1);
    std::vector<std::vector<std::string>> killed = starts_of(read_file(dir + "/trace.log"), c.program);
    ASSERT_EQ(killed.size(), start + 1);
    EXPECT_EQ(killed[start], expected);

    // "RegSetValueExA "HKLM\KEY" "NAME" REG_DWORD 0xVALUE -> 0": is NAME=VALUE on the machine?
    std::smatch parts;
    ASSERT_TRUE(
        std::regex_search(written, parts, std::regex("\"HKLM\\\\(.*)\" \"(.*)\" REG_DWORD 0x([0-9a-f]+)")));
    char value[32];
    std::snprintf(value, sizeof value, "\"%s\"=dword:%08lx", parts[2].str().c_str(),
                  std::stoul(parts[3].str(), nullptr, 16));
    RunResult shown = run_program("halvik-sim", {"show", dir, "HKEY_LOCAL_MACHINE\\" + parts[1].str()});
    EXPECT_EQ(shown.out.find(value) != std::string::npos, c.after == 1) << value << "\n" << shown.out;
  }
}

}  // namespace
