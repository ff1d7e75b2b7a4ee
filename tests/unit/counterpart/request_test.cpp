// Reading the installer's request: what the counterpart accepts and what it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "counterpart/counterpart.h"

namespace {

struct RequestCase {
  const char* name;
  std::string content;
  bool accepted;
  char command;
  const char* inf_path;
  int auto_start;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
  *os << c.name;
}

class CounterpartRequestRead : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CounterpartRequestRead, AcceptsOnlyACompleteRequest) {
  const RequestCase& c = GetParam();
  std::string content = c.content;
  std::FILE* file = fmemopen(content.data(), content.size(), "r");
  ASSERT_NE(file, nullptr);
  CounterpartRequest request{};
  const char* problem = read_counterpart_request(file, &request);
  std::fclose(file);
  EXPECT_EQ(problem == nullptr, c.accepted) << (problem ? problem : "accepted");
  EXPECT_EQ(request.command, c.command);
  if (c.accepted) {
    EXPECT_STREQ(request.inf_path, c.inf_path);
    EXPECT_EQ(request.auto_start, c.auto_start);
    EXPECT_EQ(request.verbose, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CounterpartRequestRead,
    ::testing::Values(
        RequestCase{"Install", "0\nI\n..\\pnp\\morvellan.inf\n1\n1\n", true, 'I', "..\\pnp\\morvellan.inf",
                    1},
        RequestCase{"InstallPathWithBlanks", "0\nI\nC:\\Program Files\\pnp\\morvellan.inf\n0\n1\n", true, 'I',
                    "C:\\Program Files\\pnp\\morvellan.inf", 0},
        RequestCase{"Remove", "0\nR\n1\n", true, 'R', "", 0}, RequestCase{"Empty", "", false, '?', "", 0},
        RequestCase{"AResponseNotARequest", "1\nI\n0\n:\n0\n:\n0\n", false, '?', "", 0},
        RequestCase{"UnknownCommand", "0\nX\n1\n", false, 'X', "", 0},
        RequestCase{"InstallWithoutPath", "0\nI\n", false, 'I', "", 0},
        RequestCase{"InstallWithEmptyPath", "0\nI\n\n1\n1\n", false, 'I', "", 0},
        RequestCase{"InstallWithoutAutoStart", "0\nI\nmorvellan.inf\n", false, 'I', "", 0},
        RequestCase{"InstallPathTooLong", "0\nI\n" + std::string(300, 'a') + "\n1\n1\n", false, 'I', "", 0},
        RequestCase{"RemoveWithoutVerbose", "0\nR\n", false, 'R', "", 0}),
    [](const ::testing::TestParamInfo<RequestCase>& param_info) {
      return std::string(param_info.param.name);
    });

}  // namespace
