#include "common/failure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

std::string description_of(std::uint32_t code) {
  char text[200] = {};
  port::FormatMessageA(port::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400, text, sizeof text, nullptr);
  return text;
}

std::string report(const std::string& context, std::uint32_t code) {
  testing::internal::CaptureStderr();
  report_system_error(context.c_str(), code);
  return testing::internal::GetCapturedStderr();
}

// Words of four letters separated by blanks, exactly length characters long.
std::string words(std::size_t length) {
  std::string text;
  while (text.size() < length) text += text.size() % 5 == 4 ? ' ' : 'w';
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

using ReportTest = MachineTest;

TEST_F(ReportTest, ContextColonAndTheSystemsDescription) {
  std::string denied = description_of(port::ERROR_ACCESS_DENIED);
  ASSERT_FALSE(denied.empty());
  EXPECT_EQ(report("SetValue", port::ERROR_ACCESS_DENIED), "SetValue: " + denied);

  port::SetLastError(0);
  EXPECT_EQ(report("Shutting down", 0), "Shutting down: " + description_of(0));
  port::SetLastError(port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(report("OpenProcessToken", 0), "OpenProcessToken: " + denied);

  EXPECT_EQ(report("DeleteKey - EventLog", 0x1234ABCD),
            "DeleteKey - EventLog: Error code 0x1234ABCD (not found)\n");
}

TEST_F(ReportTest, WrapsAtTheLastWhiteSpaceWithinEightyColumns) {
  std::string description = description_of(port::ERROR_ACCESS_DENIED);
  std::size_t fixed = 2 + description.size();

  std::string fits = words(81 - fixed);
  EXPECT_EQ(report(fits, port::ERROR_ACCESS_DENIED), fits + ": " + description);

  std::string one_over = words(82 - fixed);
  std::string expected = one_over + ": " + description;
  std::size_t last_blank = expected.find_last_of(" \t\n\v\f\r", 79);
  expected[last_blank] = '\n';
  EXPECT_EQ(report(one_over, port::ERROR_ACCESS_DENIED), expected);
}

TEST_F(ReportTest, LongTextIsKeptWholeAndEveryLineFitsTheConsole) {
  const std::string cases[] = {
      std::string(200, 'x') + " tail",  // no white space for 200 characters
      words(400),                       // longer than the 250 characters of old
      "Updating the driver failed for device\n" + std::string(120, 'd'),
  };
  std::string description = description_of(port::ERROR_ACCESS_DENIED);
  for (const std::string& context : cases) {
    std::string out = report(context, port::ERROR_ACCESS_DENIED);
    std::string joined;
    for (const std::string& line : lines_of(out)) {
      EXPECT_LE(line.size(), 81u) << line;
      joined += line;
    }
    std::string original = context + ": " + description;
    std::string flattened;
    for (char c : original)
      if (c != ' ' && c != '\n' && c != '\r') flattened += c;
    std::string printed;
    for (char c : joined)
      if (c != ' ' && c != '\r') printed += c;
    EXPECT_EQ(printed, flattened);
  }
}

TEST_F(ReportTest, PrintFailureGivesContextThenMessage) {
  FailureInfo both{"SetValue", port::ERROR_ACCESS_DENIED, "Query value got invalid type"};
  testing::internal::CaptureStderr();
  print_failure(both);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "SetValue: " + description_of(port::ERROR_ACCESS_DENIED) + "Query value got invalid type\n");

  FailureInfo code_only{nullptr, port::ERROR_ACCESS_DENIED, nullptr};
  testing::internal::CaptureStderr();
  print_failure(code_only);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
