// The simulated C runtime and last error: a started program's command line, the caller's
// streams, and what calls leave in the last error.
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

// A stand-in native program beside this test program, found through its .exe on the drive.  It
// writes each argument it got on a line of args.txt in the machine's directory and appends
// "child" to the host file named by HALVIK_TEST_LOG.
class Runtime : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    name_ = "argchild" + std::to_string(::getpid());
    native_ = self + "/" + name_;
    std::ofstream(native_)
        << "#!/bin/sh\n"
           "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$HALVIK_MACHINE/args.txt\"\n"
           "[ -n \"$HALVIK_TEST_LOG\" ] && printf child >> \"$HALVIK_TEST_LOG\"\n"
           "exit 0\n";
    std::filesystem::permissions(native_, std::filesystem::perms::owner_all);
    sim::write_file("C:\\WINDOWS\\system32\\" + name_ + ".exe", "MZ");
  }
  void TearDown() override {
    std::filesystem::remove(native_);
    MachineTest::TearDown();
  }
  std::intptr_t start(const char* arg0, const char* arg1, const char* arg2 = nullptr) {
    std::string file = "C:\\WINDOWS\\system32\\" + name_ + ".exe";
    return port::spawnl_wait(file.c_str(), arg0, arg1, arg2);
  }
  std::vector<std::string> arguments_received() {
    std::ifstream in(dir() + "/args.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string name_;
  std::string native_;
};

TEST_F(Runtime, TheChildSplitsTheJoinedCommandLineAsTheMicrosoftRuntimeDoes) {
  const struct {
    const char* arg0;
    const char* arg1;
    const char* arg2;
    std::vector<std::string> received;  // the child's arguments after its name
  } cases[] = {
      {"x.exe", "-6", "C:\\My  Temp\\instlib.tmp", {"-6", "C:\\My", "Temp\\instlib.tmp"}},
      {"x.exe", "-6", "\"C:\\My  Temp\\instlib.tmp\"", {"-6", "C:\\My  Temp\\instlib.tmp"}},
      {"x.exe", "", "b", {"b"}},  // an empty argument vanishes
      {"x.exe", "a\tb", nullptr, {"a", "b"}},
      {"my prog.exe", "a", nullptr, {"prog.exe", "a"}},  // an unquoted name with a blank is two
      {"\"my prog.exe\"", "a", nullptr, {"a"}},
      {"x.exe", "\"a b c\" d e", nullptr, {"a b c", "d", "e"}},
      {"x.exe", "\"ab\\\"c\" \"\\\\\" d", nullptr, {"ab\"c", "\\", "d"}},
      {"x.exe", "a\\\\\\b d\"e f\"g h", nullptr, {"a\\\\\\b", "de fg", "h"}},
      {"x.exe", "a\\\\\\\"b c d", nullptr, {"a\\\"b", "c", "d"}},
      {"x.exe", "a\\\\\\\\\"b c\" d e", nullptr, {"a\\\\b c", "d", "e"}},
      {"x.exe", "a\"b\"\" c d", nullptr, {"ab\"", "c", "d"}},
      {"x.exe", "\"\"", "\"a b", {"", "a b"}},  // quoted empty stays; an open quote runs to the end
      {"x.exe", "C:\\Temp\\", "\"C:\\a b\\\\\"", {"C:\\Temp\\", "C:\\a b\\"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.arg0) + " " + c.arg1 + " " + (c.arg2 != nullptr ? c.arg2 : ""));
    EXPECT_EQ(start(c.arg0, c.arg1, c.arg2), 0);
    EXPECT_EQ(arguments_received(), c.received);
  }
}

TEST_F(Runtime, ACommandLineOverTheRuntimesLimitStartsNothing) {
  std::string at_limit(1024 - name_.size() - 1, 'a');
  std::string over_limit = at_limit + "a";
  std::string file = "C:\\WINDOWS\\system32\\" + name_ + ".exe";
  errno = 0;
  EXPECT_EQ(port::spawnl_wait(file.c_str(), name_.c_str(), over_limit.c_str(), nullptr), -1);
  EXPECT_EQ(errno, E2BIG);
  EXPECT_FALSE(std::filesystem::exists(dir() + "/args.txt"));
  EXPECT_EQ(port::spawnl_wait(file.c_str(), name_.c_str(), at_limit.c_str(), nullptr), 0);
}

// What the caller wrote and did not flush comes out after the child's output.
TEST_F(Runtime, TheCallersStreamsAreNotFlushed) {
  std::string log = dir() + "/order.log";
  ::setenv("HALVIK_TEST_LOG", log.c_str(), 1);
  std::FILE* parent = std::fopen(log.c_str(), "a");
  ASSERT_NE(parent, nullptr);
  std::fputs("parent ", parent);
  EXPECT_EQ(start(name_.c_str(), "x"), 0);
  std::fclose(parent);
  ::unsetenv("HALVIK_TEST_LOG");
  std::ifstream in(log);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "childparent ");
}

// A console gets every write at once; a file or pipe gets full buffers.
TEST(RuntimeStreams, StandardOutputIsFullyBufferedUnlessItIsACharacterDevice) {
  struct stat info {};
  ASSERT_EQ(::fstat(STDOUT_FILENO, &info), 0);
  std::fputs("", stdout);  // a stream gets its buffer when first used
  EXPECT_EQ(__flbf(stdout), 0);
  EXPECT_EQ(__fbufsize(stdout), S_ISCHR(info.st_mode) ? 1u : 4096u);
}

// Successful calls leave a stale last error as it was; the configuration manager's calls leave
// it when they fail too.
TEST_F(Runtime, TheLastErrorIsLeftAsItWas) {
  constexpr port::DWORD kStale = 0xDEAD;
  const struct {
    const char* name;
    std::function<bool()> call;  // true when the call gave the answer wanted
  } cases[] = {
      {"GetModuleHandleA and GetProcAddress",
       [] {
         port::HMODULE loaded = port::LoadLibraryExA("C:\\WINDOWS\\system32\\setupapi.dll", nullptr, 0);
         port::SetLastError(kStale);
         bool found = port::GetModuleHandleA("setupapi.dll") == loaded &&
                      port::GetProcAddress(loaded, "CMP_WaitNoPendingInstallEvents") != nullptr;
         return port::FreeLibrary(loaded) != 0 && found;
       }},
      {"LookupPrivilegeValueA",
       [] {
         port::LUID luid{};
         return port::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid) != 0 && luid.LowPart == 19;
       }},
      {"FormatMessageA",
       [] {
         char text[128];
         return port::FormatMessageA(port::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, text, sizeof text,
                                     nullptr) > 0;
       }},
      {"CM_Locate_DevNode_ExA",
       [] {
         port::DEVINST root = 0;
         return port::CM_Locate_DevNode_ExA(&root, nullptr, 0, nullptr) == port::CR_SUCCESS;
       }},
      {"CM_Locate_DevNode_ExA without a node",
       [] {
         port::DEVINST node = 0;
         return port::CM_Locate_DevNode_ExA(&node, "ROOT\\NOSUCH\\0000", 0, nullptr) == 0x0D;
       }},
      {"CM_Reenumerate_DevNode_Ex on no node",
       [] { return port::CM_Reenumerate_DevNode_Ex(0xFFFF, 0, nullptr) == 0x05; }},
      {"CM_Get_Device_ID_ExA without a buffer",
       [] {
         port::DEVINST root = 0;
         port::CM_Locate_DevNode_ExA(&root, nullptr, 0, nullptr);
         return port::CM_Get_Device_ID_ExA(root, nullptr, 0, 0, nullptr) == 0x03;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    port::SetLastError(kStale);
    EXPECT_TRUE(c.call());
    EXPECT_EQ(port::GetLastError(), kStale);
  }
}

}  // namespace
