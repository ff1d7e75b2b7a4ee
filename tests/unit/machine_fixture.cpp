#include "unit/machine_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

void MachineTest::SetUp() {
  std::string base = std::filesystem::temp_directory_path().string() + "/halvik-test-XXXXXX";
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  ASSERT_NE(mkdtemp(name.data()), nullptr);
  dir_ = name.data();
  std::string error;
  ASSERT_TRUE(sim::create_machine(dir_, template_name(), &error)) << error;
  ASSERT_TRUE(sim::use_machine(dir_, &error)) << error;
  sim::clear_trace();
}

void MachineTest::TearDown() {
  EXPECT_EQ(sim::open_handle_count(), 0u);
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}
