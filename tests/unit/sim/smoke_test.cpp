#include <gtest/gtest.h>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

class SmokeTest : public MachineTest {};

TEST_F(SmokeTest, XpMachineAnswers) {
  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE,
                                "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                                port::KEY_READ, &key),
            0);
  char buffer[64];
  port::DWORD size = sizeof buffer;
  port::DWORD type = 0;
  ASSERT_EQ(port::RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, &type,
                                   reinterpret_cast<port::BYTE*>(buffer), &size),
            0);
  EXPECT_STREQ(buffer, "x86");
  EXPECT_EQ(port::RegCloseKey(key), 0);
  EXPECT_STREQ(port::getenv("systemroot"), "C:\\WINDOWS");
  EXPECT_TRUE(sim::file_exists("C:\\windows\\INF\\machine.inf"));
  EXPECT_EQ(sim::service_state("EventLog"), port::SERVICE_RUNNING);
  for (const auto& line : sim::trace()) std::printf("%s\n", line.c_str());
}
