// The recorded list: the same settings always give the same text, whatever form the batch
// list gave them in, so that detection rules can compare it with the list they would install.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/command_line.h"
#include "frontend/settings.h"
#include "unit/machine_fixture.h"

namespace {

std::string recorded(const std::string& list) {
  reset_settings();
  std::vector<std::string> arguments{"install", "-c"};
  for (std::size_t at = 0; at < list.size();) {
    std::size_t end = list.find(' ', at);
    if (end == std::string::npos) end = list.size();
    if (end > at) arguments.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  EXPECT_GT(parse_command_line(static_cast<int>(arguments.size()), argv.data()), 0) << list;
  return installed_list_text();
}

using InstalledListTest = MachineTest;

TEST_F(InstalledListTest, BatchListsGiveTheirCanonicalForm) {
  std::string pairs32;
  std::string canonical32;
  for (int i = 1; i <= 32; ++i) {
    pairs32 += " 0x" + std::to_string(i * 10) + " 0F";
    canonical32 += " " + std::to_string(i * 10) + " f";
  }
  const struct {
    std::string list;
    std::string canonical;
  } cases[] = {
      // The README's worked example; the trailing reserved do_reboot are left out.
      {"0 0 0  16 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  1234 f0 0  y y 2  512 0 0",
       "0 0 0 16 32768 10240 0 1 1 0 1024000 0 0 1 16 250 152 128 0 0 0 0 1234 f0 0 y y 2 512"},
      // Reserved entries as 0, hex in lower case without 0x or leading zeros, -1 as its 32-bit
      // value, anything but a leading y as n, a restart asked for changing nothing.
      {"x r 9  -1 +32768 010240 r  0x00AB 1 0 1024000 0 0  1 16 250  152 128 r 0 0 0  0001234 F0 0  yes No "
       "-1  "
       "512 r 1",
       "0 0 0 4294967295 32768 10240 0 ab 1 0 1024000 0 0 1 16 250 152 128 0 0 0 0 1234 f0 0 y n 4294967295 "
       "512"},
      // A full table of 32 pairs needs no 0 to end it.
      {"0 0 0 1 2 3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0" + pairs32 + " n n 1 32 0 0",
       "0 0 0 1 2 3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0" + canonical32 + " n n 1 32"},
  };
  for (const auto& c : cases) EXPECT_EQ(recorded(c.list), c.canonical) << c.list;
}

}  // namespace
