// registry.reg read line after line: a key or value named again (in any spelling, after a
// removal, deep or shallow) is the one the tree holds then, and the file is written back from
// that tree.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/sim/machine/machine.h"

namespace {

using namespace sim::internal;

struct Reread {
  const char* name;
  std::string body;      // after the header line
  std::string expected;  // the written form after the header and the root
};

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kRootLine = "[HKEY_LOCAL_MACHINE]\n\n";

class RegRereadTest : public ::testing::TestWithParam<Reread> {};

TEST_P(RegRereadTest, WritesTheTreeTheLinesLeave) {
  for (const char* line_end : {"\n", "\r\n"}) {
    std::string text = kHeader;
    for (char c : GetParam().body) {
      if (c == '\n')
        text += line_end;
      else
        text += c;
    }
    KeyPtr root;
    std::string error;
    ASSERT_TRUE(parse_reg_file(text, "registry.reg", &root, &error)) << error;
    EXPECT_EQ(write_reg_text(*root), kHeader + kRootLine + GetParam().expected) << line_end;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RegRereadTest,
    ::testing::Values(
        Reread{"OtherSpellingIsTheSameKey",
               "[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=dword:00000001\n[hkey_local_machine\\a\\b]\n\"y\"=dword:"
               "00000002\n",
               "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=dword:00000001\n"
               "\"y\"=dword:00000002\n\n"},
        Reread{"RemovedKeyNamedAgainStartsEmpty",
               "[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=dword:00000001\n[-HKEY_LOCAL_MACHINE\\A]\n"
               "[HKEY_LOCAL_MACHINE\\A\\B]\n\"y\"=dword:00000002\n",
               "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"y\"=dword:00000002\n\n"},
        Reread{"BackToAShallowerKey",
               "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n[HKEY_LOCAL_MACHINE\\A]\n@=\"a\"\n[HKEY_LOCAL_"
               "MACHINE\\\\A\\\\B\\\\]\n"
               "\"b\"=hex:01,\\\n  02\n",
               "[HKEY_LOCAL_MACHINE\\A]\n@=\"a\"\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"b\"=hex:01,02\n\n"
               "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\n"},
        Reread{
            "SiblingsAndValueOrder",
            "[HKEY_LOCAL_MACHINE\\A\\b]\n\"_z\"=\"1\"\n\"Z\"=\"2\"\n\"z\"=\"3\"\n[HKEY_LOCAL_MACHINE\\A\\_c]"
            "\n"
            "[HKEY_LOCAL_MACHINE\\A\\B]\n\"a\"=\"4\"\n",
            "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\b]\n\"a\"=\"4\"\n\"Z\"=\"3\"\n"
            "\"_z\"=\"1\"\n\n[HKEY_LOCAL_MACHINE\\A\\_c]\n\n"}),
    [](const ::testing::TestParamInfo<Reread>& param_info) { return std::string(param_info.param.name); });

// What a text reads as, whole and in two parts side by side: the written tree, or the refusal.
std::string read_as(const std::string& text, std::uint64_t parts_from) {
  KeyPtr root;
  std::string error;
  return parse_reg_file(text, "registry.reg", &root, &error, std::size_t{1} << 20, parts_from)
             ? write_reg_text(*root)
             : "refused: " + error;
}

// Random key lines (names that begin alike, in any spelling, with doubled and trailing
// separators) each with a value (names with quotes and backslashes across the eight-byte steps,
// binary data of every length around the line width): the tree read is the tree the lines
// spell, and the file written from it reads back as the same file.  Every text, and the same
// with removals of keys and values or with a faulty line anywhere, reads the same in two parts
// as whole, in UTF-8 and in UTF-16.
TEST(RegRereadSweep, RandomLinesReadAsTheTreeTheySpell) {
  std::mt19937 random(2026);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const char* const names[] = {"A", "a", "AB", "Ab", "ABC", "B", "Group1", "group10", "Key100"};
  const char name_chars[] = {'x', 'Y', '"', '\\', ' ', '7'};
  for (int round = 0; round < 60; ++round) {
    std::string text = kHeader;
    std::string changed = kHeader;  // the same with removals or a faulty line among the lines
    KeyPtr expected = new_tree();
    for (int line = 0; line < 30; ++line) {
      std::string path;
      std::string spelled = pick(4) == 0 ? "hkey_local_machine" : "HKEY_LOCAL_MACHINE";
      for (std::size_t depth = 1 + pick(4); depth > 0; --depth) {
        std::string part = names[pick(std::size(names))];
        path += (path.empty() ? "" : "\\") + part;
        spelled += (pick(6) == 0 ? "\\\\" : "\\") + part;
      }
      if (pick(6) == 0) spelled += "\\";
      std::string name(pick(20), ' ');
      for (char& c : name) c = name_chars[pick(std::size(name_chars))];
      std::string quoted;
      for (char c : name) quoted += (c == '"' || c == '\\' ? "\\" : "") + std::string(1, c);
      std::vector<std::uint8_t> data(pick(80));
      std::string hex;
      for (std::uint8_t& byte : data) {
        byte = static_cast<std::uint8_t>(random());
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += (hex.empty() ? "" : ",") + std::string(digits);
      }
      if (round % 4 == 3 && pick(30) == 0) changed += "\"cut\"=hex:01,\\\n";  // taking the key line after it
      std::string lines = "[" + spelled + "]\n\"" + quoted + "\"=hex:" + hex + "\n";
      text += lines;
      changed += lines;
      if (pick(8) == 0) changed += "[-" + spelled + "]\n";
      if (pick(8) == 0) changed += "[" + spelled + "]\n\"" + quoted + "\"=-\n";
      if (round % 4 == 3 && pick(30) == 0) changed += "\"faulty\"=hex:0g\n";
      create_key(expected.get(), path)->set_value(name, port::REG_BINARY, data);
    }
    std::string saved = read_as(text, UINT64_MAX);
    ASSERT_EQ(saved, write_reg_text(*expected)) << text;
    EXPECT_EQ(read_as(saved, UINT64_MAX), saved);
    for (const std::string& each : {text, saved, changed}) {
      EXPECT_EQ(read_as(each, 0), read_as(each, UINT64_MAX)) << each;
      std::string utf16 = "\xFF\xFE";  // as reg export writes it
      for (char c : each) utf16 += {c, '\0'};
      EXPECT_EQ(read_as(utf16, 0), read_as(each, UINT64_MAX)) << each;
    }
  }
}

}  // namespace
