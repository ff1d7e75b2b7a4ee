// The Application event log: what ReportEventA refuses, and the line an event leaves.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

using EventLogTest = MachineTest;

std::string events(const std::string& dir) {
  std::ifstream in(dir + "/events.log");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(EventLogTest, ReportEventRefusesWhatWindowsRefuses) {
  std::string too_long(31840, 'x');
  const char* fine[] = {"one | two\r\nthree"};
  const char* long_one[] = {too_long.c_str()};
  const struct {
    const char* name;
    bool valid_handle;
    port::WORD type;
    const char** strings;
    port::DWORD fault;
    port::DWORD error;  // 0: reported
  } cases[] = {
      {"reported", true, port::EVENTLOG_ERROR_TYPE, fine, 0, 0},
      {"not a handle", false, port::EVENTLOG_ERROR_TYPE, fine, 0, port::ERROR_INVALID_HANDLE},
      {"no such type", true, 3, fine, 0, port::ERROR_INVALID_PARAMETER},
      {"string too long", true, port::EVENTLOG_INFORMATION_TYPE, long_one, 0, port::ERROR_INVALID_PARAMETER},
      {"fault", true, port::EVENTLOG_WARNING_TYPE, fine, 1502, 1502},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::clear_faults();
    if (c.fault != 0) sim::add_fault("ReportEventA", "", 0, c.fault);
    port::HANDLE source = port::RegisterEventSourceA(nullptr, "Tessaridge Installer");
    ASSERT_NE(source, nullptr);
    std::string before = events(dir());
    port::SetLastError(0);
    port::BOOL ok = port::ReportEventA(c.valid_handle ? source : reinterpret_cast<port::HANDLE>(0x1234),
                                       c.type, 0, 7, nullptr, 1, 0, c.strings, nullptr);
    EXPECT_EQ(ok != port::FALSE, c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(port::GetLastError(), c.error);
      EXPECT_EQ(events(dir()), before);
    } else {
      EXPECT_EQ(events(dir()).substr(before.size() + 19),
                " | Tessaridge Installer | error | 7 | one \\| two\\r\\nthree\n");
    }
    EXPECT_TRUE(port::DeregisterEventSource(source));
    EXPECT_EQ(sim::open_handle_count(), 0u);
  }
  // Only this machine is simulated.
  EXPECT_EQ(port::RegisterEventSourceA("\\\\other", "Tessaridge Installer"), nullptr);
  EXPECT_EQ(port::GetLastError(), 1722u);
}

}  // namespace
