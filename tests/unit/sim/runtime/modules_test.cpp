// The system's directories and loading DLLs on the simulated machine: where the Windows
// directory comes from, the buffer rules of both directory calls, and which file a load takes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kSystemSetupapi[] = "C:\\WINDOWS\\system32\\setupapi.dll";

class Modules : public MachineTest {
 public:
  // The folder of the running program, as GetModuleFileNameA names it.
  std::string program_folder() {
    char image[port::MAX_PATH];
    port::DWORD length = port::GetModuleFileNameA(nullptr, image, port::MAX_PATH);
    std::string path(image, length);
    return path.substr(0, path.find_last_of('\\'));
  }
  // Adds a line to machine.ini's [system] section and loads the machine again.
  void set_system_entry(const std::string& line) {
    std::string error;
    ASSERT_TRUE(sim::save_machine(&error)) << error;
    std::ifstream in(dir() + "/machine.ini");
    std::stringstream text;
    text << in.rdbuf();
    std::string ini = text.str();
    std::size_t section = ini.find("[system]");
    ASSERT_NE(section, std::string::npos);
    ini.insert(ini.find('\n', section) + 1, line + "\n");
    std::ofstream(dir() + "/machine.ini") << ini;
    ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  }
};

// The Windows directory is the system's own record of it, whatever the process's SystemRoot.
TEST_F(Modules, TheDirectoriesComeFromTheSystemAndFollowTheBufferRules) {
  const struct {
    const char* name;
    std::function<void(Modules*)> setup;
    const char* windows;
  } cases[] = {
      {"the registry's SystemRoot",
       [](Modules*) { sim::reg_set_string(kCurrentVersion, "SystemRoot", "D:\\WINNT"); }, "D:\\WINNT"},
      {"a drive's root", [](Modules*) { sim::reg_set_string(kCurrentVersion, "SystemRoot", "E:\\"); }, "E:"},
      {"neither", [](Modules*) { sim::reg_delete_key(kCurrentVersion); }, "C:\\WINDOWS"},
      {"machine.ini without the registry value",
       [](Modules* test) {
         sim::reg_delete_key(kCurrentVersion);
         test->set_system_entry("windows_directory = F:\\Win");
       },
       "F:\\Win"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.setup(this);
    sim::set_env("SystemRoot", "C:\\Users\\Public\\Windows");
    const std::string windows = c.windows;
    const struct {
      port::DWORD (*call)(char*, port::DWORD);
      std::string answer;
    } calls[] = {{port::GetSystemWindowsDirectoryA, windows},
                 {port::GetSystemDirectoryA, windows + "\\system32"}};
    for (const auto& call : calls) {
      port::DWORD length = static_cast<port::DWORD>(call.answer.size());
      EXPECT_EQ(call.call(nullptr, 0), length + 1);
      char buffer[port::MAX_PATH];
      std::memset(buffer, 'x', sizeof buffer);
      EXPECT_EQ(call.call(buffer, length), length + 1);  // one short: the size needed, nothing copied
      EXPECT_EQ(buffer[0], 'x');
      EXPECT_EQ(call.call(buffer, length + 1), length);
      EXPECT_EQ(std::string(buffer), call.answer);
    }
  }
}

// A full path loads that file only; a bare name is looked for beside the program first, which
// is why the programs never load a DLL by its bare name.
TEST_F(Modules, ALoadTakesTheFileWindowsWouldTake) {
  const std::string beside = program_folder() + "\\setupapi.dll";
  const struct {
    const char* name;
    bool planted;  // a setupapi.dll beside the program
    const char* file;
    port::DWORD flags;
    std::string loaded;  // "" when the load fails
    port::DWORD error;
  } cases[] = {
      {"the system's DLL by its full path", false, kSystemSetupapi, port::LOAD_WITH_ALTERED_SEARCH_PATH,
       kSystemSetupapi, 0},
      {"a full path passes over a DLL beside the program", true, kSystemSetupapi,
       port::LOAD_WITH_ALTERED_SEARCH_PATH, kSystemSetupapi, 0},
      {"a bare name takes the one beside the program", true, "setupapi", 0, beside, 0},
      {"a bare name without one takes the system's", false, "SETUPAPI.DLL", 0, kSystemSetupapi, 0},
      {"a missing file", false, "C:\\WINDOWS\\system32\\nosuch.dll", port::LOAD_WITH_ALTERED_SEARCH_PATH, "",
       port::ERROR_MOD_NOT_FOUND},
      {"a system DLL's name elsewhere", false, "C:\\Tessaridge\\setupapi.dll", 0, "",
       port::ERROR_MOD_NOT_FOUND},
      {"a relative path with a folder", false, "lib\\setupapi.dll", port::LOAD_WITH_ALTERED_SEARCH_PATH, "",
       port::ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.planted) {
      sim::write_file(beside, "MZ");
    } else if (sim::file_exists(beside)) {
      std::filesystem::remove(sim::host_path(beside));
    }
    port::HMODULE module = port::LoadLibraryExA(c.file, nullptr, c.flags);
    if (c.loaded.empty()) {
      EXPECT_EQ(module, nullptr);
      EXPECT_EQ(port::GetLastError(), c.error);
      continue;
    }
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(sim::trace().back(), "LoadLibraryExA \"" + std::string(c.file) + "\" 0x" +
                                       (c.flags != 0 ? "8" : "0") + " -> " + c.loaded);
    // A second load counts on the same module, which stays until its last load is freed.
    EXPECT_EQ(port::LoadLibraryExA(c.loaded.c_str(), nullptr, 0), module);
    EXPECT_TRUE(port::FreeLibrary(module));
    EXPECT_EQ(port::GetModuleHandleA(c.loaded.c_str()), module);
    EXPECT_TRUE(port::FreeLibrary(module));
    EXPECT_EQ(port::GetModuleHandleA("setupapi.dll"), nullptr);
    EXPECT_FALSE(port::FreeLibrary(module));
    EXPECT_EQ(port::GetLastError(), port::ERROR_MOD_NOT_FOUND);
  }
  // Only the system's setupapi.dll exports what the program looks up.
  sim::write_file(beside, "MZ");
  port::HMODULE planted = port::LoadLibraryExA("setupapi.dll", nullptr, 0);
  EXPECT_EQ(port::GetProcAddress(planted, "CMP_WaitNoPendingInstallEvents"), nullptr);
  EXPECT_EQ(port::GetLastError(), port::ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(port::FreeLibrary(planted));
  EXPECT_EQ(port::LoadLibraryExA(kSystemSetupapi, reinterpret_cast<port::HANDLE>(1), 0), nullptr);
  EXPECT_EQ(port::GetLastError(), port::ERROR_INVALID_PARAMETER);
}

}  // namespace
