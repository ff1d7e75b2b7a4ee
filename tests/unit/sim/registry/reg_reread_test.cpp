// registry.reg read line after line: a key or value named again (in any spelling, after a
// removal, deep or shallow) is the one the tree holds then, and the file is written back from
// that tree.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
