// The process runner: how a program ended, what it read and wrote, and a time limit that takes
// the whole process group with it.
#include "process/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Case {
  const char* name;
  const char* script;  // run by /bin/sh -c
  const char* input;
  int time_limit;
  bool hung;
  int signal;
  int code;
  const char* out;  // nullptr: not compared
  const char* err;
};

// Gone, or a zombie waiting for whoever adopted it: its state in /proc is Z, or there is none.
bool ended(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close == std::string::npos || text.compare(close, 4, ") Z ") == 0) return true;
    ::usleep(10000);
  }
  return false;
}

TEST(Process, EndsAsTheProgramEnded) {
  const Case cases[] = {
      {"exit code and streams", "cat; echo \"$HALVIK_MACHINE\"; echo oops >&2; exit 3", "in\n", 0, false, 0, 3,
       "in\n/m\n", "oops\n"},
      {"signal", "kill -TERM $$", "", 0, false, SIGTERM, -1, "", ""},
      // The background sleep keeps the group alive; its pid is written first, to be checked below.
      {"time limit", "sleep 30 & echo $!; wait", "", 1, true, 0, -1, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    process::Request request;
    request.argv = {"/bin/sh", "-c", c.script};
    request.environment = {"HALVIK_MACHINE=/m"};
    request.input = c.input;
    request.time_limit = c.time_limit;
    process::Result result = process::run(request);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.hung, c.hung);
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_EQ(result.code, c.code);
    if (c.out != nullptr) {
      EXPECT_EQ(result.out, c.out);
    }
    EXPECT_EQ(result.err, c.err);
    if (c.hung) {
      EXPECT_TRUE(ended(static_cast<pid_t>(std::stol(result.out)))) << result.out;
    }
  }
}

TEST(Process, ReportsWhatCannotStart) {
  process::Request request;
  request.argv = {"/nonexistent/program"};
  process::Result result = process::run(request);
  EXPECT_FALSE(result.started);
  EXPECT_FALSE(result.err.empty());
}

}  // namespace
