// WOW64 on the simulated machine: what a 32-bit process sees of the registry and the files of
// 64-bit Windows, and the device installation it is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

class Wow64 : public MachineTest {
 protected:
  std::string template_name() const override { return "amd64"; }
  void TearDown() override {
    sim::set_process_bits(0);
    MachineTest::TearDown();
  }
};

// Creates path (relative to HKLM, or to HKLM\SOFTWARE opened first) in the process's view.
void create_in_view(const std::string& path, port::REGSAM view, bool via_software) {
  port::HKEY base = port::HKEY_LOCAL_MACHINE;
  if (via_software) {
    ASSERT_EQ(
        port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, "SOFTWARE", 0, port::KEY_ALL_ACCESS | view, &base), 0);
  }
  port::HKEY key = nullptr;
  port::DWORD disposition = 0;
  char no_class[] = "";
  ASSERT_EQ(port::RegCreateKeyExA(base, path.c_str(), 0, no_class, 0, port::KEY_ALL_ACCESS | view, nullptr,
                                  &key, &disposition),
            0);
  port::RegCloseKey(key);
  if (via_software) port::RegCloseKey(base);
}

TEST_F(Wow64, TheRegistryViewOfA32BitProcessHasASoftwareKeyOfItsOwn) {
  const struct {
    int bits;
    port::REGSAM view;
    const char* path;
    bool via_software;
    const char* stored;  // where the key is, below HKLM
  } cases[] = {
      {32, 0, "SOFTWARE\\Tessaridge Technology\\A", false, "SOFTWARE\\Wow6432Node\\Tessaridge Technology\\A"},
      {32, 0, "Tessaridge Technology\\B", true, "SOFTWARE\\Wow6432Node\\Tessaridge Technology\\B"},
      {32, port::KEY_WOW64_64KEY, "SOFTWARE\\Tessaridge Technology\\C", false,
       "SOFTWARE\\Tessaridge Technology\\C"},
      {32, 0, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\D", false,
       "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\D"},  // shared by both views
      {32, 0, "SYSTEM\\CurrentControlSet\\Services\\E", false, "SYSTEM\\CurrentControlSet\\Services\\E"},
      {64, 0, "SOFTWARE\\Tessaridge Technology\\F", false, "SOFTWARE\\Tessaridge Technology\\F"},
      {64, port::KEY_WOW64_32KEY, "SOFTWARE\\Tessaridge Technology\\G", false,
       "SOFTWARE\\Wow6432Node\\Tessaridge Technology\\G"},
      // Windows 7 shares SOFTWARE\Classes, but for its COM registrations and media types.
      {32, 0, "SOFTWARE\\Classes\\.hvk", false, "SOFTWARE\\Classes\\.hvk"},
      {32, 0, "SOFTWARE\\Classes\\CLSID\\{H}", false, "SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{H}"},
      {32, 0, "SOFTWARE\\Classes\\Media Type\\I", false, "SOFTWARE\\Classes\\Wow6432Node\\Media Type\\I"},
      {64, port::KEY_WOW64_32KEY, "SOFTWARE\\Classes\\Interface\\J", false,
       "SOFTWARE\\Classes\\Wow6432Node\\Interface\\J"},
      {64, 0, "SOFTWARE\\Classes\\CLSID\\{K}", false, "SOFTWARE\\Classes\\CLSID\\{K}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    sim::set_process_bits(c.bits);
    create_in_view(c.path, c.view, c.via_software);
    EXPECT_TRUE(sim::reg_key_exists(c.stored));
  }
  // What the 32-bit view wrote, the 64-bit view does not see, and the other way round.
  sim::set_process_bits(64);
  port::HKEY key = nullptr;
  EXPECT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaridge Technology\\A", 0,
                                port::KEY_READ, &key),
            static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND));
  sim::set_process_bits(32);
  EXPECT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaridge Technology\\F", 0,
                                port::KEY_READ, &key),
            static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND));
}

TEST_F(Wow64, System32IsSysWow64ForA32BitProcess) {
  sim::make_directory("C:\\Windows\\System32\\drivers\\etc");
  const struct {
    int bits;
    const char* path;
    const char* stored;  // as the 64-bit view names it
  } cases[] = {
      {32, "C:\\Windows\\System32\\a.dll", "C:\\Windows\\SysWOW64\\a.dll"},
      {32, "C:\\Windows\\system32\\drivers\\b.sys", "C:\\Windows\\SysWOW64\\drivers\\b.sys"},
      {32, "C:\\Windows\\System32\\drivers\\etc\\c", "C:\\Windows\\System32\\drivers\\etc\\c"},
      {32, "C:\\Windows\\Sysnative\\d.dll", "C:\\Windows\\System32\\d.dll"},
      {32, "C:\\Windows\\Temp\\e.tmp", "C:\\Windows\\Temp\\e.tmp"},
      {64, "C:\\Windows\\System32\\f.dll", "C:\\Windows\\System32\\f.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    sim::set_process_bits(c.bits);
    std::FILE* file = port::fopen(c.path, "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    sim::set_process_bits(64);
    EXPECT_TRUE(sim::file_exists(c.stored));
  }
}

TEST_F(Wow64, DeviceInstallationIsRefusedToA32BitProcess) {
  for (int bits : {32, 64}) {
    SCOPED_TRACE(bits);
    sim::set_process_bits(bits);
    port::SetLastError(0);
    port::BOOL restart = port::FALSE;
    EXPECT_FALSE(port::UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_0000&DEV_0000",
                                                          "C:\\Tessaridge\\pnp\\morvellan.inf", 0, &restart));
    EXPECT_EQ(port::GetLastError() == port::ERROR_IN_WOW64, bits == 32);
    port::SetLastError(0);
    EXPECT_EQ(port::SetupCopyOEMInfA("C:\\Tessaridge\\pnp\\morvellan.inf", nullptr, port::SPOST_PATH, 0,
                                     nullptr, 0, nullptr, nullptr) == port::FALSE,
              bits == 32);
    EXPECT_EQ(port::GetLastError() == port::ERROR_IN_WOW64, bits == 32);
  }
}

}  // namespace
