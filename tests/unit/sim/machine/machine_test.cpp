// The machine directory as a whole: atomic saves, templates, and halvik-sim diff.
#include "platform/sim/machine/machine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

class MachineDirTest : public MachineTest {};

TEST_F(MachineDirTest, SaveReplacesTheFileWhole) {
  std::string reg = dir() + "/registry.reg";
  std::string before = slurp(reg);
  sim::reg_set_dword("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management", "SystemPages",
                     0x28000);
  // Something in the way of the temporary file: the save fails and the old file stays whole.
  std::filesystem::create_directory(reg + ".tmp");
  std::string error;
  EXPECT_FALSE(sim::save_machine(&error));
  EXPECT_NE(error.find("registry.reg.tmp"), std::string::npos);
  EXPECT_EQ(slurp(reg), before);
  std::filesystem::remove(reg + ".tmp");

  ASSERT_TRUE(sim::save_machine(&error)) << error;
  EXPECT_NE(slurp(reg).find("\"SystemPages\"=dword:00028000"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(dir()))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(MachineDirTest, ChangesSurviveSaveAndLoad) {
  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE,
                                  "SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters", 0, nullptr, 0,
                                  port::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  port::DWORD value = 0xFFFFFFFF;
  ASSERT_EQ(port::RegSetValueExA(key, "MILL_ISA_HW_INT", 0, port::REG_DWORD,
                                 reinterpret_cast<port::BYTE*>(&value), 4),
            0);
  port::RegCloseKey(key);
  sim::add_service("halvservice", 0x10, port::SERVICE_PAUSED);
  sim::set_service_stop_stuck("halvservice", true);
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  port::DWORD read = 0;
  EXPECT_TRUE(sim::reg_get_dword("SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters", "MILL_ISA_HW_INT",
                                 &read));
  EXPECT_EQ(read, 0xFFFFFFFFu);
  EXPECT_EQ(sim::service_state("HALVSERVICE"), port::SERVICE_PAUSED);
  std::string ini = slurp(dir() + "/machine.ini");
  EXPECT_NE(ini.find("halvservice.stop = stuck"), std::string::npos);
}

TEST_F(MachineDirTest, UnknownMachineIniSectionsRoundTrip) {
  {
    std::ofstream ini(dir() + "/machine.ini", std::ios::app);
    ini << "\n[future]\nsetting = value ; with a comment\n";
  }
  std::string error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  sim::set_env("EXTRA", "1");
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  EXPECT_NE(slurp(dir() + "/machine.ini").find("[future]\nsetting = value ; with a comment\n"),
            std::string::npos);
}

TEST_F(MachineDirTest, AMisspelledServiceStateIsRefused) {
  {
    std::ofstream ini(dir() + "/machine.ini", std::ios::app);
    ini << "\n[services]\nhalvik = runing\n";
  }
  std::string error;
  EXPECT_FALSE(sim::use_machine(dir(), &error));
  EXPECT_NE(error.find("[services] halvik = runing: not a service state"), std::string::npos) << error;
}

TEST_F(MachineDirTest, TemplatesDifferInVersionAndWindowsDirectory) {
  std::string other = dir() + "-w2k";
  std::string error;
  ASSERT_TRUE(sim::create_machine(other, "w2k", &error)) << error;
  EXPECT_FALSE(sim::create_machine(other, "w2k", &error));  // not over an existing machine
  EXPECT_FALSE(sim::create_machine(dir() + "-none", "nt4", &error));
  ASSERT_TRUE(sim::use_machine(other, &error)) << error;
  EXPECT_STREQ(port::getenv("SystemRoot"), "C:\\WINNT");
  EXPECT_TRUE(sim::file_exists("C:\\WINNT\\system32\\drivers"));
  port::OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(port::GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion * 100 + info.dwMinorVersion, 500u);
  EXPECT_EQ(info.dwBuildNumber, 2195u);
  EXPECT_EQ(info.wServicePackMajor, 4);
  std::filesystem::remove_all(other);
}

TEST_F(MachineDirTest, AStartedProgramSeesTheMachineAndItsChangesComeBack) {
  // A stand-in native program beside this test program, started through its .exe on the drive.
  std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  std::string native = self + "/simchild" + std::to_string(::getpid());
  {
    std::ofstream script(native);
    script << "#!/bin/sh\n"
              "grep -q '\"Before\"=dword:00000001' \"$HALVIK_MACHINE/registry.reg\" || exit 9\n"
              "[ \"$HALVIK_CURRENT_DIRECTORY\" = 'C:\\WINDOWS' ] || exit 8\n"
              "printf '[HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Child]\\n\"arg\"=\"%s\"\\n' \"$2\" >> "
              "\"$HALVIK_MACHINE/registry.reg\"\n"
              "exit 7\n";
  }
  std::filesystem::permissions(native, std::filesystem::perms::owner_all);
  std::string name = "simchild" + std::to_string(::getpid()) + ".exe";
  sim::write_file("C:\\WINDOWS\\system32\\" + name, "MZ");
  sim::reg_set_dword("SOFTWARE\\Parent", "Before", 1);  // not saved yet
  ASSERT_TRUE(port::SetCurrentDirectoryA("C:\\WINDOWS"));
  std::string path = "C:\\WINDOWS\\system32\\" + name;
  EXPECT_EQ(port::spawnl_wait(path.c_str(), name.c_str(), "-6", "hello"), 7);
  std::filesystem::remove(native);
  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim::reg_get("SOFTWARE\\Child", "arg", &type, &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("hello\0", 6));
  EXPECT_TRUE(sim::reg_key_exists("SOFTWARE\\Parent"));
  // The process's own state survives the reload.
  char current[64];
  port::GetCurrentDirectoryA(sizeof current, current);
  EXPECT_STREQ(current, "C:\\WINDOWS");
}

TEST_F(MachineDirTest, AKeyOpenAcrossAReloadStillReachesItsKey) {
  const char* beep = "SYSTEM\\CurrentControlSet\\Services\\Beep";
  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, beep, 0, port::KEY_ALL_ACCESS, &key), 0);
  std::string error;
  ASSERT_TRUE(sim::internal::reload(&error)) << error;
  port::DWORD value = 1;
  EXPECT_EQ(
      port::RegSetValueExA(key, "AfterReload", 0, port::REG_DWORD, reinterpret_cast<port::BYTE*>(&value), 4),
      0);
  port::RegCloseKey(key);
  EXPECT_TRUE(sim::reg_get_dword(beep, "AfterReload", &value));
}

TEST_F(MachineDirTest, TraceLogIsWrittenOnlyWhenEnabled) {
  port::Sleep(5);
  EXPECT_FALSE(std::filesystem::exists(dir() + "/trace.log"));
  {
    std::ofstream ini(dir() + "/machine.ini", std::ios::app);
    ini << "\n[trace]\nenabled = 1\n";
  }
  std::string error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  port::Sleep(5);
  EXPECT_EQ(port::getenv("NOT_SET"), nullptr);
  EXPECT_EQ(slurp(dir() + "/trace.log"), "Sleep 5\ngetenv \"NOT_SET\" -> NULL\n");
}

// Runs halvik-sim and returns its exit code, its standard output in *out.
int halvik_sim(const std::string& args, std::string* out) {
  std::string command = std::string(HALVIK_BIN_DIR) + "/halvik-sim " + args;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  out->clear();
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out->append(buffer, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MachineDirTest, HalvikSimDiffIsQuietForEqualMachinesAndListsChanges) {
  if (!std::filesystem::exists(std::string(HALVIK_BIN_DIR) + "/halvik-sim"))
    GTEST_SKIP() << "halvik-sim not built";
  std::string other = dir() + "-copy";
  std::filesystem::copy(dir(), other, std::filesystem::copy_options::recursive);
  std::string out;
  EXPECT_EQ(halvik_sim(dir() + " " + other, &out), 2);  // no command: usage
  EXPECT_EQ(halvik_sim("diff " + dir() + " " + other, &out), 0);
  EXPECT_EQ(out, "");

  sim::reg_set_dword("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management", "SystemPages",
                     0x28000);
  sim::reg_delete_key("SYSTEM\\CurrentControlSet\\Services\\Beep");
  sim::set_service_state("Tcpip", port::SERVICE_STOPPED);
  sim::write_file("C:\\WINDOWS\\halvik\\halvik.sys", "driver");
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  EXPECT_EQ(halvik_sim("diff " + other + " " + dir(), &out), 1);
  EXPECT_NE(
      out.find(
          " [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management]\n"
          "-\"SystemPages\"=dword:00000000\n+\"SystemPages\"=dword:00028000\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("-[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Beep]\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("-Tcpip = running\n+Tcpip = stopped\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+C:\\WINDOWS\\halvik\\halvik.sys\n"), std::string::npos) << out;

  EXPECT_EQ(
      halvik_sim("show " + dir() + " HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\CurrentControlSet\\\\Services\\\\Tcpip",
                 &out),
      0);
  EXPECT_EQ(out.rfind("Windows Registry Editor Version "
                      "5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip]\n",
                      0),
            0u)
      << out;
  std::filesystem::remove_all(other);
}

// `halvik-sim service` adds a service the machine lacks (a state in machine.ini alone names
// nothing the service manager knows) and changes the state of one it has.
TEST_F(MachineDirTest, HalvikSimServiceAddsOrChangesAService) {
  if (!std::filesystem::exists(std::string(HALVIK_BIN_DIR) + "/halvik-sim"))
    GTEST_SKIP() << "halvik-sim not built";
  std::string out;
  EXPECT_EQ(halvik_sim("service " + dir() + " halvservice running", &out), 0);
  EXPECT_EQ(halvik_sim("service " + dir() + " Tcpip paused", &out), 0);
  EXPECT_EQ(halvik_sim("service " + dir() + " halvservice runing", &out), 2);
  EXPECT_EQ(halvik_sim("service " + dir() + " halvservice", &out), 2);

  std::string error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  EXPECT_EQ(sim::service_state("halvservice"), port::SERVICE_RUNNING);
  EXPECT_EQ(sim::service_state("Tcpip"), port::SERVICE_PAUSED);
  port::DWORD type = 0;
  EXPECT_TRUE(sim::reg_get_dword("SYSTEM\\CurrentControlSet\\Services\\halvservice", "Type", &type));
  EXPECT_EQ(type, 0x10u);
}

}  // namespace

// Sections are found by name in any case through an index that follows the sections as they
// are added, repeated in the file, or changed directly.
TEST(IniSections, AreFoundByNameInAnyCaseThroughTheIndex) {
  sim::internal::Ini ini;
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += "[Section" + std::to_string(i) + "]\nkey = " + std::to_string(i) + "\n";
  text += "[SECTION7]\nkey = again\nother = 1\n";
  std::string error;
  ASSERT_TRUE(sim::internal::parse_ini(text, "machine.ini", &ini, &error)) << error;
  EXPECT_EQ(ini.sections.size(), 300u);  // a repeated section joins the first
  const struct {
    const char* section;
    const char* key;
    const char* value;  // nullptr: none
  } lookups[] = {{"section0", "key", "0"},   {"SECTION299", "KEY", "299"},   {"Section7", "key", "again"},
                 {"section7", "other", "1"}, {"section300", "key", nullptr}, {"Section", "key", nullptr}};
  auto check = [&ini, &lookups] {
    for (const auto& l : lookups) {
      SCOPED_TRACE(std::string(l.section) + "/" + l.key);
      const std::string* found = ini.get(l.section, l.key);
      if (l.value == nullptr) {
        EXPECT_EQ(found, nullptr);
      } else {
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, l.value);
      }
    }
  };
  check();
  // Changed behind the index's back: a section removed, so that the others move.
  ini.sections.erase(ini.sections.begin() + 100);
  EXPECT_EQ(ini.section("section100"), nullptr);
  check();
  ini.set("section100", "key", "new");
  EXPECT_EQ(ini.get_or("SECTION100", "key", ""), "new");
  EXPECT_EQ(&ini.sections.back(), ini.section("Section100"));
}

// Keys are found the same way within a section, whether erased, set again, or changed directly.
TEST(IniSections, KeysAreFoundByNameInAnyCaseThroughTheIndex) {
  sim::internal::Ini ini;
  for (int i = 0; i < 300; ++i) ini.set("big", "Key" + std::to_string(i), std::to_string(i));
  sim::internal::IniSection* big = ini.section("BIG");
  ASSERT_NE(big, nullptr);
  std::uint64_t generation = big->generation;
  ini.erase("big", "KEY100");
  EXPECT_NE(big->generation, generation);
  ini.set("Big", "key299", "changed");
  big->entries.erase(big->entries.begin());  // Key0, directly
  big->entries[0].key = "Renamed";           // Key1, directly
  big->touch();
  const struct {
    const char* key;
    const char* value;  // nullptr: none
  } lookups[] = {{"key0", nullptr},   {"key1", nullptr}, {"RENAMED", "1"},     {"key99", "99"},
                 {"key100", nullptr}, {"KEY101", "101"}, {"key299", "changed"}};
  for (const auto& l : lookups) {
    SCOPED_TRACE(l.key);
    const std::string* found = ini.get("big", l.key);
    if (l.value == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, l.value);
    }
  }
  EXPECT_EQ(big->entries.size(), 298u);
}
