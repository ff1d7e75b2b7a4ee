// The walk over present devices and the counting built on it.
#include "pnp/device_walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pnp_fixture.h"

namespace {

struct Visits {
  std::vector<std::uint32_t> indexes;
  int answer = 0;  // what the visitor returns
};

int record_visit(port::HDEVINFO, port::SP_DEVINFO_DATA*, std::uint32_t index, void* context) {
  auto* visits = static_cast<Visits*>(context);
  visits->indexes.push_back(index);
  return visits->answer;
}

class DeviceWalk : public PnpMachine {
 protected:
  void SetUp() override {
    PnpMachine::SetUp();
    // A fresh machine of our own boards only, so counts don't depend on the template's.
    for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  }
  const char* row(std::uint32_t r) { return supported_hardware_ids[r]; }
};

TEST_F(DeviceWalk, NothingMatchingGivesFiveAndNoVisit) {
  Visits visits;
  EXPECT_EQ(enumerate_matching_devices(port::DIGCF_PRESENT, row(5), record_visit, &visits), 5);
  EXPECT_TRUE(visits.indexes.empty());
  EXPECT_EQ(count_matching_devices(row(5)), 0);
}

TEST_F(DeviceWalk, EveryMatchingDeviceIsVisitedInListOrder) {
  sim::add_board(board(1, 1));
  sim::add_board(board(1, 2));
  sim::add_board(board(2, 3));
  sim::add_board(board(1, 4));
  Visits visits;
  EXPECT_EQ(enumerate_matching_devices(port::DIGCF_PRESENT, row(1), record_visit, &visits), 4);
  ASSERT_EQ(visits.indexes.size(), 3u);
  EXPECT_LT(visits.indexes[0], visits.indexes[1]);
  EXPECT_LT(visits.indexes[1], visits.indexes[2]);
  EXPECT_EQ(count_matching_devices(row(1)), 3);
}

TEST_F(DeviceWalk, AVisitorThatStopsEndsTheWalkWithItsResult) {
  sim::add_board(board(1, 1));
  sim::add_board(board(1, 2));
  Visits visits;
  visits.answer = 2;
  EXPECT_EQ(enumerate_matching_devices(port::DIGCF_PRESENT, row(1), record_visit, &visits), 2);
  EXPECT_EQ(visits.indexes.size(), 1u);
}

TEST_F(DeviceWalk, IdsMatchRegardlessOfCaseAndThroughCompatibleIds) {
  sim::Board lower = board(3, 1);
  for (std::string& id : lower.hardware_ids) {
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  sim::add_board(lower);
  sim::Board compatible = board(4, 2);
  compatible.hardware_ids = {"PCI\\VEN_8086&DEV_1234"};
  compatible.compatible_ids = {"PCI\\VEN_8086", row(3)};
  sim::add_board(compatible);
  EXPECT_EQ(count_matching_devices(row(3)), 2);
  EXPECT_EQ(count_matching_devices(row(4)), 0);
}

TEST_F(DeviceWalk, DevicesWithoutSomeIdPropertiesAreComparedOnWhatTheyHave) {
  sim::Board no_compatible = board(6, 1);
  no_compatible.compatible_ids.clear();
  sim::add_board(no_compatible);
  sim::Board no_ids = board(6, 2);
  no_ids.hardware_ids.clear();
  no_ids.compatible_ids.clear();
  sim::add_board(no_ids);
  EXPECT_EQ(count_matching_devices(row(6)), 1);
}

TEST_F(DeviceWalk, WildcardPatterns) {
  sim::add_board(board(1, 1));
  sim::add_board(board(7, 2));
  sim::Board other = board(8, 3);
  other.hardware_ids = {"PCI\\VEN_8086&DEV_1234"};
  other.compatible_ids.clear();
  sim::add_board(other);
  EXPECT_EQ(count_matching_devices("PCI\\VEN_1E5C*"), 2);
  EXPECT_GE(count_matching_devices("PCI\\VEN_*"), 3);
  EXPECT_GE(count_matching_devices("*"), count_matching_devices("PCI\\VEN_*"));
}

// A hardware ID list longer than the first property buffer is read whole.
TEST_F(DeviceWalk, LongPropertyIsReadWithASecondCall) {
  sim::Board big = board(9, 1);
  big.hardware_ids.clear();
  for (int i = 0; i < 400; ++i) big.hardware_ids.push_back("PCI\\VEN_8086&DEV_" + std::to_string(1000 + i));
  big.hardware_ids.push_back(row(9));
  sim::add_board(big);
  EXPECT_EQ(count_matching_devices(row(9)), 1);
}

// A walk that could not look at every device can't claim that none of ours is left: it fails
// with the error of the step that failed.  A device without an ID property is simply no match.
TEST_F(DeviceWalk, AWalkThatCantReadEveryDeviceFails) {
  sim::add_board(board(1, 1));
  sim::add_board(board(1, 2));
  const struct {
    const char* call;
    int occurrence;
    port::DWORD error;
    int result;
  } cases[] = {
      {"SetupDiGetClassDevsExA", 0, port::ERROR_NOT_ENOUGH_MEMORY, 2},
      {"SetupDiGetDeviceInfoListDetailA", 0, port::ERROR_NOT_ENOUGH_MEMORY, 2},
      {"SetupDiEnumDeviceInfo", 2, port::ERROR_ACCESS_DENIED, 2},
      {"SetupDiGetDeviceRegistryPropertyA", 3, port::ERROR_ACCESS_DENIED, 2},
      {"SetupDiGetDeviceRegistryPropertyA", 1, port::ERROR_INVALID_DATA, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.occurrence));
    sim::clear_faults();
    sim::add_fault(c.call, "", c.occurrence, c.error);
    Visits visits;
    port::SetLastError(0);
    EXPECT_EQ(enumerate_matching_devices(port::DIGCF_PRESENT, row(1), record_visit, &visits), c.result);
    if (c.result == 2) {
      EXPECT_EQ(port::GetLastError(), c.error);
    }
  }
  sim::clear_faults();
  sim::add_fault("SetupDiGetClassDevsExA", "", 0, port::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(count_matching_devices(row(1)), 0);
}

TEST_F(DeviceWalk, AnInstancePatternAsksForTheNamedDevice) {
  sim::Board b = board(1, 1);
  sim::add_board(b);
  sim::remove_board(b.instance_id);
  sim::clear_trace();
  std::string pattern = "@" + b.instance_id;
  EXPECT_EQ(count_matching_devices(pattern.c_str()), 0);
  bool opened = false;
  for (const std::string& line : sim::trace()) {
    if (line.find("SetupDiOpenDeviceInfoA") != std::string::npos) opened = true;
  }
  EXPECT_TRUE(opened);
}

}  // namespace
