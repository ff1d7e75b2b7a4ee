// The walk over present devices and the counting built on it.
#include "pnp/device_walk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pnp/hardware_ids.h"
#include "pnp/pnp_steps.h"
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

class DeviceWalkTest : public PnpMachine {
 protected:
  void SetUp() override {
    PnpMachine::SetUp();
    // A fresh machine of our own boards only, so counts don't depend on the template's.
    for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  }
  const char* row(std::uint32_t r) { return supported_hardware_ids[r]; }
};

TEST_F(DeviceWalkTest, NothingMatchingGivesFiveAndNoVisit) {
  Visits visits;
  EXPECT_EQ(enumerate_matching_devices(port::DIGCF_PRESENT, row(5), record_visit, &visits), 5);
  EXPECT_TRUE(visits.indexes.empty());
  EXPECT_EQ(count_matching_devices(row(5)), 0);
}

TEST_F(DeviceWalkTest, EveryMatchingDeviceIsVisitedInListOrder) {
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

TEST_F(DeviceWalkTest, AVisitorThatStopsEndsTheWalkWithItsResult) {
  sim::add_board(board(1, 1));
  sim::add_board(board(1, 2));
  Visits visits;
  visits.answer = 2;
  EXPECT_EQ(enumerate_matching_devices(port::DIGCF_PRESENT, row(1), record_visit, &visits), 2);
  EXPECT_EQ(visits.indexes.size(), 1u);
}

TEST_F(DeviceWalkTest, IdsMatchRegardlessOfCaseAndThroughCompatibleIds) {
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

TEST_F(DeviceWalkTest, DevicesWithoutSomeIdPropertiesAreComparedOnWhatTheyHave) {
  sim::Board no_compatible = board(6, 1);
  no_compatible.compatible_ids.clear();
  sim::add_board(no_compatible);
  sim::Board no_ids = board(6, 2);
  no_ids.hardware_ids.clear();
  no_ids.compatible_ids.clear();
  sim::add_board(no_ids);
  EXPECT_EQ(count_matching_devices(row(6)), 1);
}

TEST_F(DeviceWalkTest, WildcardPatterns) {
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
TEST_F(DeviceWalkTest, LongPropertyIsReadWithASecondCall) {
  sim::Board big = board(9, 1);
  big.hardware_ids.clear();
  for (int i = 0; i < 400; ++i) big.hardware_ids.push_back("PCI\\VEN_8086&DEV_" + std::to_string(1000 + i));
  big.hardware_ids.push_back(row(9));
  sim::add_board(big);
  EXPECT_EQ(count_matching_devices(row(9)), 1);
}

// A walk that could not look at every device can't claim that none of ours is left: it fails
// with the error of the step that failed.  A device without an ID property is simply no match.
TEST_F(DeviceWalkTest, AWalkThatCantReadEveryDeviceFails) {
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

TEST_F(DeviceWalkTest, AnInstancePatternAsksForTheNamedDevice) {
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

namespace {

// The removal's device step over every row: a list made afresh for each row, as the walk of
// one pattern makes it, or one list serving all rows.  Its standard output and the removals
// made, in order, and the number of ID reads.
struct RowsRun {
  std::string output;
  std::vector<std::string> removals;
  int id_reads = 0;
  int devices = 0;
};

RowsRun remove_every_row(bool list_per_row) {
  sim::clear_trace();
  ::testing::internal::CaptureStdout();
  DeviceWalk walk;
  if (!list_per_row) open_device_walk(0, supported_hardware_ids, supported_hardware_id_count, &walk);
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row) {
    RemovalWalk removal{0};
    int result = list_per_row ? enumerate_matching_devices(0, supported_hardware_ids[row],
                                                           remove_device_visitor, &removal)
                              : remove_devices_of_row(&walk, row);
    if (result != 4 && result != 5) std::printf("row %u: %d\n", row, result);
  }
  close_device_walk(&walk);
  RowsRun run;
  run.output = ::testing::internal::GetCapturedStdout();
  for (const std::string& line : sim::trace()) {
    if (line.starts_with("SetupDiCallClassInstaller DIF_REMOVE")) run.removals.push_back(line);
    if (line.starts_with("SetupDiGetDeviceRegistryPropertyA")) ++run.id_reads;
    if (line.starts_with("SetupDiEnumDeviceInfo") && line.find("-> TRUE") != std::string::npos) ++run.devices;
  }
  return run;
}

// One list serves all twelve rows: each node's IDs are read once, and the same nodes are
// removed in the same order with the same lines as with a list per row, across nodes that
// match two rows, a removal that fails and ends its row's walk, and nodes whose board is out.
TEST_F(DeviceWalkTest, OneListServesEveryRowAsAListPerRowDid) {
  sim::Board twice = board(2, 1);
  twice.compatible_ids.push_back(row(5));
  sim::Board stuck = board(3, 2);
  stuck.remove_error = port::ERROR_ACCESS_DENIED;
  sim::Board after_stuck = board(3, 5);
  after_stuck.compatible_ids.push_back(row(7));
  sim::Board other = board(8, 9);
  other.hardware_ids = {"PCI\\VEN_8086&DEV_1234"};
  const sim::Board present[] = {twice, stuck, after_stuck, other, board(0, 3), board(11, 4)};
  const sim::Board out[] = {board(4, 6), board(9, 7), board(9, 8)};
  auto populate = [&] {
    for (const sim::Board& b : present) sim::add_board(b);
    for (const sim::Board& b : out) {
      sim::add_board(b);
      sim::remove_board(b.instance_id);
    }
  };
  remove_every_row(false);  // the template's nodes, whose boards the fixture took out
  populate();
  RowsRun per_row = remove_every_row(true);
  populate();
  RowsRun one_list = remove_every_row(false);

  EXPECT_EQ(one_list.output, per_row.output);
  EXPECT_EQ(one_list.removals, per_row.removals);
  EXPECT_NE(one_list.output.find("removal failure"), std::string::npos);
  // The node after the stuck one in row 3 goes with row 7, through its compatible ID.
  EXPECT_EQ(one_list.removals.size(), 8u);
  EXPECT_GT(one_list.devices, 9);
  EXPECT_EQ(one_list.id_reads, 2 * one_list.devices);
  EXPECT_GT(per_row.id_reads, 4 * one_list.id_reads);
}

}  // namespace
