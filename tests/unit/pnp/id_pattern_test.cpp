// Hardware ID patterns and ID lists: pure functions, no machine needed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>

#include "pnp/device_walk.h"
#include "pnp/hardware_ids.h"

namespace {

struct MatchCase {
  const char* pattern;
  const char* id;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << c.pattern << " ~ " << c.id;
}

class IdPatternMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(IdPatternMatch, ComparesLikeTheSystem) {
  const MatchCase& c = GetParam();
  IdPattern pattern = parse_id_pattern(c.pattern);
  EXPECT_EQ(id_matches_pattern(c.id, pattern), c.matches) << "pattern " << c.pattern << " id " << c.id;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdPatternMatch,
    ::testing::Values(
        // Plain patterns: equal apart from the case of A to Z.
        MatchCase{"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C", "pci\\ven_1e5c&dev_0410&subsys_00011e5c", true},
        MatchCase{"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01",
                  false},
        MatchCase{"PCI\\VEN_1E5C", "PCI\\VEN_1E5", false},
        MatchCase{"\xC9", "\xE9", false},  // only A to Z fold
        // Prefix and wildcard.
        MatchCase{"PCI\\VEN_*", "PCI\\VEN_8086&DEV_1234", true},
        MatchCase{"PCI\\VEN_*", "ACPI\\PNP0A03", false}, MatchCase{"PCI\\VEN_*", "PCI\\VEN", false},
        MatchCase{"*", "ANYTHING", true}, MatchCase{"*", "", true},
        // A middle or final segment.
        MatchCase{"A*B", "AB", true}, MatchCase{"A*B", "AxxB", true}, MatchCase{"A*B", "A", false},
        MatchCase{"A*B", "ABx", false}, MatchCase{"A*", "A", true}, MatchCase{"a*b", "AXB", true},
        MatchCase{"A**B", "AB", true},
        // Leftmost occurrence, resuming one character later after a partial hit.
        MatchCase{"*AB*", "AAB", true}, MatchCase{"*AB*", "ABAB", true}, MatchCase{"*AB*", "AXB", false},
        MatchCase{"*&DEV_0410*", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C", true},
        MatchCase{"*&*", "PCI\\VEN_1E5C", false},
        // A middle segment and the final one never share characters.
        MatchCase{"*AB*ABC", "ABABC", true}, MatchCase{"X*AB*ABC", "XABC", false},
        // Literal patterns.
        MatchCase{"'A*B", "A*B", true}, MatchCase{"'A*B", "a*b", true}, MatchCase{"'A*B", "AxB", false},
        MatchCase{"A'", "A'", true}, MatchCase{"@'A*B", "A*B", true},
        // An instance pattern still compares its text with the IDs.
        MatchCase{"@PCI\\VEN_1E5C*", "PCI\\VEN_1E5C&DEV_0410", true}));

TEST(IdPatternParse, SetsTheMarks) {
  const char* literal = "@'A*B";
  IdPattern p = parse_id_pattern(literal);
  EXPECT_TRUE(p.by_instance);
  EXPECT_EQ(p.text, literal + 2);
  EXPECT_EQ(p.first_wildcard, nullptr);

  const char* wild = "AB*C*";
  IdPattern q = parse_id_pattern(wild);
  EXPECT_FALSE(q.by_instance);
  EXPECT_EQ(q.text, wild);
  EXPECT_EQ(q.first_wildcard, wild + 2);
}

// A malloc'ed multi-string buffer, as the property reader hands over.
char* multi_string(const char* bytes, std::size_t length) {
  auto* buffer = static_cast<char*>(std::malloc(length));
  std::memcpy(buffer, bytes, length);
  return buffer;
}

TEST(IdList, IndexesEveryStringInOrderAndCarriesItsBuffer) {
  char* buffer = multi_string("ONE\0TWO\0THREE\0\0", 16);
  IdList list = index_multi_string(buffer);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list[0], "ONE");
  EXPECT_STREQ(list[1], "TWO");
  EXPECT_STREQ(list[2], "THREE");
  EXPECT_EQ(list[3], nullptr);
  EXPECT_EQ(list[-1], buffer);
  EXPECT_EQ(list[0], buffer);
  release_id_list(list);
}

TEST(IdList, EmptyValueGivesAListWithNoEntries) {
  IdList list = index_multi_string(multi_string("\0\0", 2));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], nullptr);
  EXPECT_FALSE(any_id_matches(list, parse_id_pattern("*")));
  release_id_list(list);
}

TEST(IdList, AnyEntryMatchesAndMissingListMatchesNothing) {
  IdList list = index_multi_string(multi_string("PCI\\VEN_10B5&DEV_9656\0PCI\\VEN_10B5\0\0", 37));
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(any_id_matches(list, parse_id_pattern("pci\\ven_10b5")));
  EXPECT_FALSE(any_id_matches(list, parse_id_pattern("PCI\\VEN_1E5C*")));
  EXPECT_FALSE(any_id_matches(nullptr, parse_id_pattern("*")));
  release_id_list(list);
  release_id_list(nullptr);
}

TEST(HardwareIdTable, TwelvePlainUpperCaseRowsOfOneForm) {
  ASSERT_EQ(supported_hardware_id_count, 12u);
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row) {
    const char* id = supported_hardware_ids[row];
    SCOPED_TRACE(id);
    ASSERT_EQ(std::strlen(id), 37u);
    EXPECT_EQ(std::strncmp(id, "PCI\\VEN_", 8), 0);
    EXPECT_EQ(std::strncmp(id + 12, "&DEV_", 5), 0);
    EXPECT_EQ(std::strncmp(id + 21, "&SUBSYS_", 8), 0);
    for (int i : {8, 9, 10, 11, 17, 18, 19, 20, 29, 30, 31, 32, 33, 34, 35, 36}) {
      EXPECT_TRUE((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'F')) << i;
    }
    for (std::uint32_t other = 0; other < row; ++other) EXPECT_STRNE(id, supported_hardware_ids[other]);
  }
}

}  // namespace

// The removal's INF scan decides at each hit with one look in the sorted IDs, which holds only
// while no ID begins with another.
TEST(SupportedIds, NoneBeginsWithAnother) {
  for (std::uint32_t a = 0; a < supported_hardware_id_count; ++a) {
    for (std::uint32_t b = 0; b < supported_hardware_id_count; ++b) {
      if (a == b) continue;
      EXPECT_NE(std::strncmp(supported_hardware_ids[a], supported_hardware_ids[b],
                             std::strlen(supported_hardware_ids[b])),
                0)
          << supported_hardware_ids[a] << " begins with " << supported_hardware_ids[b];
    }
  }
}
