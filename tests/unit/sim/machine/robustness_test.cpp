// The simulated machine takes whatever its files hold without crashing: a tree of any depth
// is walked without recursion, numbers beyond their range are refused, and broken files are
// refused with their name and line.
#include <gtest/gtest.h>
#include <pthread.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/sim_files_check.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

using namespace sim::internal;

// Runs `work` on a thread with a small stack, where recursion as deep as the tree would overflow.
void on_small_stack(const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

std::string chain(std::size_t depth) {
  std::string path;
  for (std::size_t i = 0; i < depth; ++i) path += i == 0 ? "a" : "\\a";
  return path;
}

TEST(DeepKeyTreeTest, IsBuiltWalkedDeletedAndDestroyedWithoutRecursion) {
  constexpr std::size_t kDepth = 200000;
  std::size_t deepest_path = 0;
  bool held_deleted = false;
  bool held_outlives_root = false;
  std::string written;
  on_small_stack([&] {
    KeyPtr root = new_tree();
    std::string path = chain(kDepth);
    create_key(root.get(), path);
    Key* deepest = find_key(root.get(), path);
    deepest_path = deepest == nullptr ? 0 : deepest->path().size();
    // A key still open half-way down outlives the deletion of the tree above it.
    Key* middle = find_key(root.get(), chain(kDepth / 2));
    KeyPtr held = key_ptr(middle->parent->find_subkey("A"));
    root->delete_subkey("a");
    held_deleted = held->deleted && deepest->deleted;
    // The tree's last owner but the handle goes: the handle's key and the keys above it stay.
    root.reset();
    held_outlives_root = held->parent != nullptr && held->parent->deleted && held->path().size() > 0;
    held.reset();
    // Written out at a depth the writer would have recursed through.
    KeyPtr small = new_tree();
    create_key(small.get(), chain(2000))->set_value("v", port::REG_DWORD, {1, 0, 0, 0});
    written = write_reg_text(*small);
  });
  EXPECT_EQ(deepest_path, 2 * kDepth - 1);
  EXPECT_TRUE(held_deleted);
  EXPECT_TRUE(held_outlives_root);
  EXPECT_NE(written.find("[HKEY_LOCAL_MACHINE\\" + chain(2000) + "]\n\"v\"=dword:00000001\n"),
            std::string::npos);
}

TEST(DeepKeyTreeTest, RegistryFileGoesAsDeepAsWindowsAndNoDeeper) {
  for (std::size_t depth : {512u, 513u, 200000u}) {
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\" + chain(depth) + "]\n";
    KeyPtr root;
    std::string error;
    bool taken = parse_reg_file(text, "registry.reg", &root, &error);
    EXPECT_EQ(taken, depth <= 512) << depth;
    if (!taken) {
      EXPECT_EQ(error, "registry.reg:3: key nested deeper than 512 levels");
    }
  }
}

struct FaultLine {
  const char* key;
  const char* value;
  const char* why;  // nullptr: taken
};

class FaultLineTest : public MachineTest, public ::testing::WithParamInterface<FaultLine> {};

TEST_P(FaultLineTest, IsRefusedWithItsLineAndWhy) {
  std::string ini_path = dir() + "/machine.ini";
  std::stringstream before;
  before << std::ifstream(ini_path).rdbuf();
  std::size_t line = 3;  // after the file's last line, a blank one and the section's
  for (char c : before.str()) line += c == '\n' ? 1 : 0;
  std::string entry = std::string(GetParam().key) + " = " + GetParam().value;
  std::ofstream(ini_path, std::ios::app) << "\n[faults.other]\n" << entry << "\n";
  std::string error;
  bool taken = sim::use_machine(dir(), &error);
  EXPECT_EQ(taken, GetParam().why == nullptr) << error;
  if (GetParam().why != nullptr) {
    EXPECT_EQ(error,
              ini_path + ":" + std::to_string(line) + ": bad fault \"" + entry + "\": " + GetParam().why);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultLineTest,
    ::testing::Values(
        FaultLine{"RegOpenKeyExA #2147483647", "0xFFFFFFFF", nullptr},
        FaultLine{"RegOpenKeyExA SYSTEM\\a#b #12", "010", nullptr},
        FaultLine{"RegOpenKeyExA #2147483648", "5",
                  "#2147483648 is beyond the largest occurrence, #2147483647"},
        FaultLine{"RegOpenKeyExA #4294967301", "5",
                  "#4294967301 is beyond the largest occurrence, #2147483647"},
        FaultLine{"RegOpenKeyExA #0", "5", "#0 is no call: they count from #1"},
        FaultLine{"RegOpenKeyExA #1x", "5", "#1x is not an occurrence number"},
        FaultLine{"RegOpenKeyExA", "4294967301", "4294967301 is beyond 32 bits, as no Windows error is"},
        FaultLine{"RegOpenKeyExA", "0x100000005", "0x100000005 is beyond 32 bits, as no Windows error is"},
        FaultLine{"RegOpenKeyExA", "99999999999999999999999",
                  "99999999999999999999999 is beyond 32 bits, as no Windows error is"},
        FaultLine{"RegOpenKeyExA", "0", "error 0 is success, not a failure"},
        FaultLine{"RegOpenKeyExA", "-5", "\"-5\" is not an error number"},
        FaultLine{"", "5", "no call named"}));

// Every truncation and many single-byte corruptions of a file holding every kind of line.
void sweep_corruptions(const std::string& sample,
                       const std::function<std::string(const std::string&)>& problem) {
  const std::string replacements("\0\"\\[]=#;@-,:\n\r\xff", 15);
  std::size_t failures = 0;
  for (std::size_t at = 0; at <= sample.size() && failures < 5; ++at) {
    std::vector<std::string> inputs{sample.substr(0, at)};
    for (char c : replacements) {
      if (at < sample.size()) inputs.push_back(sample.substr(0, at) + c + sample.substr(at + 1));
    }
    for (const std::string& input : inputs) {
      std::string found = problem(input);
      if (!found.empty()) {
        ADD_FAILURE() << found << "\ninput:\n" << input;
        ++failures;
      }
    }
  }
}

TEST(BrokenFilesTest, RegistryFileIsTakenWholeOrRefusedWithItsLine) {
  sweep_corruptions(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\n@=\"d\"\n\"s\"=\"x \\\"q\\\" \\\\\"\n\"d\"=dword:0000abcd\n"
      "\"b\"=hex:01,\\\n  02\n\"m\"=hex(7):41,00,00,00,00,00\n\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
      "[-HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"s\"=-\n; a comment\n",
      sim_files_check::registry_problem);
}

TEST(BrokenFilesTest, MachineIniIsTakenWholeOrRefusedWithItsLine) {
  sweep_corruptions(
      "; machine\n[system]\nplatform = 2 ; NT\n[faults]\nRegOpenKeyExA SYSTEM\\X #2 = 0x5\n"
      "[faults.installx64]\nCreateFileA = 32\n",
      sim_files_check::ini_problem);
}

}  // namespace
