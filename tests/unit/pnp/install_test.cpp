// The Plug and Play installation on an x86 machine, and its hand-over on AMD64.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "config/driver_config.h"
#include "pnp/device_walk.h"
#include "pnp/pnp.h"
#include "pnp/pnp_steps.h"
#include "pnp_fixture.h"

namespace {

class PnpInstall : public PnpMachine {
 protected:
  int install(int auto_start = 0, const DriverConfig* cfg = nullptr, int do_adj = 0) {
    DriverConfig c = config();
    return install_pnp_driver(cfg != nullptr ? cfg : &c, do_adj, 1, 512, &memory_outcome, kInfPath,
                              auto_start, &reboot_needed, &failure);
  }
  bool coinstaller_switch_written() {
    port::DWORD value = 1;
    return sim::reg_get_dword(kCoInstallerKey, "displayCoinstallerPage", &value) && value == 0;
  }
  // The node the installation creates under the root enumerator, named after its class.
  std::string root_node() {
    for (const std::string& id : sim::device_nodes()) {
      std::string upper = id;
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (upper.rfind("ROOT\\TESSARIDGEHARDWARE\\", 0) == 0) return id;
    }
    return "";
  }
  // Installs once so that the Tessaridge Hardware class exists, then clears the service key
  // as a removal would.
  void install_class_first() {
    ASSERT_EQ(install(), 0) << (failure.context ? failure.context : "")
                            << (failure.message ? failure.message : "");
    sim::reg_delete_key(kServiceKeyPath);
    sim::reg_delete_key(kCoInstallerKey);
  }

  int memory_outcome = 9;
  int reboot_needed = 9;
  FailureInfo failure{"stale", 77, "stale"};
};

TEST_F(PnpInstall, RefusesOverAnExistingServiceKeyAndWritesNothing) {
  sim::reg_create_key(kServiceKeyPath);
  EXPECT_EQ(install(), 1);
  EXPECT_STREQ(failure.message, "Driver is already installed");
  EXPECT_EQ(failure.context, nullptr);
  EXPECT_EQ(failure.code, 0u);
  EXPECT_EQ(memory_outcome, 0);
  EXPECT_EQ(reboot_needed, 0);
  EXPECT_FALSE(sim::reg_key_exists(kParametersKeyPath));
}

TEST_F(PnpInstall, AFailedParameterWriteLeavesNoServiceKey) {
  sim::add_fault("RegSetValueExA", "PHYBUFSIZE", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(install(), 1);
  EXPECT_STREQ(failure.context, "Failed to write the driver parameters");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(sim::reg_key_exists(kServiceKeyPath));
  EXPECT_FALSE(coinstaller_switch_written());
}

TEST_F(PnpInstall, NoMemoryAdjustmentWithoutModulesOrConfig) {
  DriverConfig none = config(0);
  EXPECT_EQ(install(0, &none, 1), 0);
  EXPECT_EQ(memory_outcome, 0);
  EXPECT_EQ(reboot_needed, 0);
  sim::reg_delete_key(kServiceKeyPath);
  EXPECT_EQ(install_pnp_driver(nullptr, 1, 1, 512, &memory_outcome, kInfPath, 0, &reboot_needed, &failure),
            0);
  EXPECT_EQ(memory_outcome, 0);
}

TEST_F(PnpInstall, AFailedMemoryAdjustmentEndsTheInstallationWithItsReport) {
  DriverConfig c = config(4);
  sim::add_fault("RegSetValueExA", "SystemPages", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(install(0, &c, 1), 1);
  EXPECT_NE(failure.context, nullptr);
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::reg_key_exists(kParametersKeyPath));
  EXPECT_FALSE(coinstaller_switch_written());
}

TEST_F(PnpInstall, WithoutTheClassTheInfIsRegistered) {
  EXPECT_EQ(install(), 0) << (failure.context ? failure.context : "");
  EXPECT_EQ(failure.context, nullptr);
  EXPECT_EQ(failure.message, nullptr);
  EXPECT_EQ(reboot_needed, 0);
  EXPECT_TRUE(coinstaller_switch_written());
  EXPECT_EQ(hardware_class_installed(), 1);
  EXPECT_TRUE(sim::reg_key_exists(kParametersKeyPath));
}

TEST_F(PnpInstall, RegistrationFailures) {
  sim::add_fault("SetupCopyOEMInfA", "", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(install(), 1);
  EXPECT_STREQ(failure.context, "Failed to install/register the INF file");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(coinstaller_switch_written());

  sim::clear_faults();
  sim::reg_delete_key(kServiceKeyPath);
  std::string deep = "C:\\" + std::string(250, 'd') + "\\install";
  sim::make_directory(deep);
  sim::set_current_directory(deep);
  EXPECT_EQ(install(), 1);
  EXPECT_STREQ(failure.context, "Failed to locate the INF");
  EXPECT_EQ(failure.code, port::ERROR_FILENAME_EXCED_RANGE);
}

// The class outlives a removal, which takes the boards' nodes: the package is registered again
// either way, or the boards found again would have nothing to install from.
TEST_F(PnpInstall, WithTheClassPresentThePackageIsStillRegistered) {
  install_class_first();
  sim::add_fault("SetupCopyOEMInfA", "", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(install(), 1);
  EXPECT_STREQ(failure.context, "Failed to install/register the INF file");
  EXPECT_FALSE(coinstaller_switch_written());
}

TEST_F(PnpInstall, WithTheClassPresentButNoBoardEveryIdIsPassedOver) {
  install_class_first();
  for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  sim::clear_trace();
  EXPECT_EQ(install(), 0);
  for (const std::string& line : sim::trace()) {
    EXPECT_EQ(line.find("UpdateDriverForPlugAndPlayDevicesA"), std::string::npos) << line;
  }
  EXPECT_TRUE(coinstaller_switch_written());
}

TEST_F(PnpInstall, AnUpdateThatNeedsARestartEndsTheInstallation) {
  install_class_first();
  sim::add_board(board(2, 7));
  sim::set_update_restart_required(true);
  EXPECT_EQ(install(1), 1);
  ASSERT_NE(failure.context, nullptr);
  EXPECT_EQ(std::strncmp(failure.context, "An error occurred while updating the driver for device: \n", 57),
            0);
  EXPECT_EQ(std::strncmp(failure.context + 57, "PCI\\VEN_", 8), 0);
  EXPECT_EQ(reboot_needed, 1);
  EXPECT_FALSE(coinstaller_switch_written());
  EXPECT_EQ(root_node(), "");
}

TEST_F(PnpInstall, AutoStartCreatesARootEnumeratedNodeWithRowZero) {
  EXPECT_EQ(install(1), 0) << (failure.context ? failure.context : "");
  std::string node = root_node();
  ASSERT_NE(node, "");
  EXPECT_TRUE(sim::device_present(node));
  EXPECT_EQ(count_matching_devices(supported_hardware_ids[0]), 1);
}

TEST_F(PnpInstall, ARootNodeWhoseUpdateNeedsARestartIsAFailureWithoutReboot) {
  sim::set_update_restart_required(true);
  EXPECT_EQ(install(1), 1);
  EXPECT_STREQ(failure.context, "Failed to install the device node");
  EXPECT_EQ(reboot_needed, 0);
}

struct NodeFailureCase {
  const char* name;
  port::DWORD platform, major, minor, service_pack;
  bool hotfix_key;
  bool hotfix_text;
};

void PrintTo(const NodeFailureCase& c, std::ostream* os) {
  *os << c.name;
}

class PnpInstallNodeFailure : public PnpInstall, public ::testing::WithParamInterface<NodeFailureCase> {};

TEST_P(PnpInstallNodeFailure, ContextNamesTheHotfixOnlyWhereItIsMissing) {
  const NodeFailureCase& c = GetParam();
  sim::set_version(c.platform, c.major, c.minor, c.service_pack);
  if (c.hotfix_key) sim::reg_create_key("SOFTWARE\\Microsoft\\Updates\\Windows 2000\\SP5\\KB822831");
  sim::add_fault("SetupDiCallClassInstaller", "", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(install(1), 1);
  ASSERT_NE(failure.context, nullptr);
  if (c.hotfix_text) {
    EXPECT_EQ(
        std::strncmp(failure.context,
                     "Failed to install the device node. You have to install Windows 2000 Hotfix - KB822831."
                     " Refer to <",
                     97),
        0)
        << failure.context;
    EXPECT_EQ(failure.context[std::strlen(failure.context) - 1], '>');
  } else {
    EXPECT_STREQ(failure.context, "Failed to install the device node");
  }
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
}

INSTANTIATE_TEST_SUITE_P(Cases, PnpInstallNodeFailure,
                         ::testing::Values(NodeFailureCase{"W2kSp3", 2, 5, 0, 3, false, true},
                                           NodeFailureCase{"W2kSp4", 2, 5, 0, 4, false, true},
                                           NodeFailureCase{"W2kSp4WithHotfix", 2, 5, 0, 4, true, false},
                                           NodeFailureCase{"W2kSp2", 2, 5, 0, 2, false, false},
                                           NodeFailureCase{"XpSp2", 2, 5, 1, 2, false, false}),
                         [](const ::testing::TestParamInfo<NodeFailureCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// A failed re-enumeration is reported with the Win32 error its result stands for, whatever
// last error an earlier call left.
TEST_F(PnpInstall, AFailedReEnumerationReportsItsOwnResult) {
  const struct {
    const char* call;  // the configuration manager call that fails
    port::CONFIGRET result;
    port::DWORD error;
  } cases[] = {
      {"CM_Reenumerate_DevNode_Ex", port::CR_FAILURE, 31},  // no mapping: ERROR_GEN_FAILURE
      {"CM_Reenumerate_DevNode_Ex", port::CR_CALL_NOT_IMPLEMENTED, 120},
      {"CM_Reenumerate_DevNode_Ex", 0x33, port::ERROR_ACCESS_DENIED},  // CR_ACCESS_DENIED
      {"CM_Locate_DevNode_ExA", 0x0D, 1168},                           // CR_NO_SUCH_DEVNODE: ERROR_NOT_FOUND
      {"CM_Locate_DevNode_ExA", 0x03, 1784},  // CR_INVALID_POINTER: ERROR_INVALID_USER_BUFFER
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.result));
    sim::reg_delete_key(kServiceKeyPath);
    sim::clear_faults();
    sim::add_fault(c.call, "", 0, c.result);
    EXPECT_EQ(install(), 1);
    EXPECT_STREQ(failure.context, "Failed to scan the device node");
    EXPECT_EQ(failure.code, c.error);
  }
}

// A deletion the removal pass scheduled for a file of ours is taken back once the installation
// has put the file in place; other programs' operations stay.  A co-installer switch that can't
// be written is reported and the installation still succeeds.
TEST_F(PnpInstall, TheInstallationKeepsItsFilesAtTheRestartAndReportsAFailedSwitch) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  std::string list = std::string("\\??\\C:\\WINDOWS\\system32\\TSRGBDEVPP.DLL") + '\0' + '\0' +
                     "\\??\\C:\\other.tmp" + '\0' + '\0' + "\\??\\C:\\a.txt" + '\0' + "\\??\\C:\\b.txt" +
                     '\0' + '\0';
  sim::reg_set(key, "PendingFileRenameOperations", port::REG_MULTI_SZ,
               std::vector<std::uint8_t>(list.begin(), list.end()));
  sim::add_fault("RegSetValueExA", "displayCoinstallerPage", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(install(), 0);
  EXPECT_STREQ(failure.context, "SetValue");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  port::DWORD type = 0;
  std::vector<std::uint8_t> kept;
  ASSERT_TRUE(sim::reg_get(key, "PendingFileRenameOperations", &type, &kept));
  std::string expected = std::string("\\??\\C:\\other.tmp") + '\0' + '\0' + "\\??\\C:\\a.txt" + '\0' +
                         "\\??\\C:\\b.txt" + '\0' + '\0';
  EXPECT_EQ(std::string(kept.begin(), kept.end()), expected);
}

TEST_F(PnpInstall, WithoutTheWaitFunctionTheInstallationStillSucceeds) {
  sim::set_wait_no_pending_available(false);
  EXPECT_EQ(install(), 0);
  EXPECT_EQ(wait_for_pending_installs(), 2);
}

// The wait for background installs loads the system's setupapi.dll, never one beside the program.
TEST_F(PnpInstall, ASetupapiBesideTheProgramIsNeverLoaded) {
  char image[port::MAX_PATH];
  std::string path(image, port::GetModuleFileNameA(nullptr, image, port::MAX_PATH));
  std::string planted = path.substr(0, path.find_last_of('\\')) + "\\setupapi.dll";
  sim::write_file(planted, "MZ");
  sim::clear_trace();
  EXPECT_EQ(install(), 0);
  bool loaded_system = false;
  for (const std::string& line : sim::trace()) {
    EXPECT_EQ(line.find(planted), std::string::npos) << line;
    loaded_system |=
        line.starts_with("LoadLibraryExA") && line.ends_with("-> C:\\WINDOWS\\system32\\setupapi.dll");
  }
  EXPECT_TRUE(loaded_system);
}

TEST_F(PnpInstall, OnAmd64OnlyParametersAndMemoryAreDoneHere) {
  sim::reg_set_string(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", "AMD64");
  sim::set_env("PATH", "C:\\WINDOWS\\system32");
  sim::clear_trace();
  EXPECT_EQ(install(1), 1);
  EXPECT_STREQ(failure.message, "Error 2 spawning 64-bit program.");
  EXPECT_TRUE(sim::reg_key_exists(kParametersKeyPath));
  EXPECT_FALSE(coinstaller_switch_written());
  EXPECT_EQ(root_node(), "");
  for (const std::string& line : sim::trace()) {
    EXPECT_EQ(line.find("SetupDiBuildClassInfoListExA"), std::string::npos) << line;
  }
}

struct VersionCase {
  port::DWORD platform, major, minor, service_pack;
  int code;
};

TEST_F(PnpInstall, WindowsVersionCodes) {
  const VersionCase cases[] = {{1, 4, 0, 0, 1},  {1, 4, 10, 0, 2}, {1, 4, 90, 0, 3}, {2, 4, 0, 6, 4},
                               {2, 3, 51, 0, 4}, {2, 5, 0, 4, 5},  {2, 5, 1, 2, 6},  {2, 5, 2, 1, 7},
                               {2, 6, 0, 0, 8},  {1, 5, 0, 0, 8}};
  for (const VersionCase& c : cases) {
    sim::set_version(c.platform, c.major, c.minor, c.service_pack);
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
    EXPECT_TRUE(windows_version_is(c.code, static_cast<int>(c.service_pack)));
    EXPECT_FALSE(windows_version_is(c.code, static_cast<int>(c.service_pack) + 1));
  }
  sim::add_fault("GetVersionExA", "", 0, port::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(windows_version_is(8, 0));
}

TEST_F(PnpInstall, SupportingOperationsWithoutAHardwareId) {
  port::DWORD code = 55;
  EXPECT_EQ(update_driver_for_hardware_id(nullptr, kInfPath), 3);
  EXPECT_EQ(create_root_device_node(nullptr, kInfPath, &code), 2);
  EXPECT_EQ(code, 55u);
}

}  // namespace

namespace {

// The calls of the device work that could ask something, with what they were told, from the
// trace: the driver updates' flags and the install parameters set before a class installer call.
std::vector<std::string> prompt_guards() {
  std::vector<std::string> lines;
  for (const std::string& line : sim::trace()) {
    if (line.starts_with("UpdateDriverForPlugAndPlayDevicesA \"") ||
        line.starts_with("SetupDiSetDeviceInstallParamsA"))
      lines.push_back(line.substr(0, line.find(" -> ")));
  }
  return lines;
}

// A batch run asks nothing of the system's device installation: the driver update is told so
// from Windows XP on (Windows 2000 would refuse the flag) and the class installer calls run
// quiet.  An interactive run keeps the prompts.
TEST_F(PnpInstall, ABatchRunTellsEveryCallThatMightAskNotTo) {
  const std::string node = "\"ROOT\\TESSARIDGEHARDWARE\\0000\"";
  const std::string update = "UpdateDriverForPlugAndPlayDevicesA \"" +
                             std::string(supported_hardware_ids[0]) +
                             "\" \"C:\\Tessaridge\\pnp\\morvellan.inf\" ";
  const struct {
    int interactive;
    port::DWORD minor_version;
    std::vector<std::string> guards;
  } cases[] = {
      {1, 1, {update + "0x0"}},
      {0, 1, {"SetupDiSetDeviceInstallParamsA " + node + " 0x800000", update + "0x4"}},
      {0, 0, {"SetupDiSetDeviceInstallParamsA " + node + " 0x800000", update + "0x0"}},
  };
  for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.interactive) + " 5." + std::to_string(c.minor_version));
    sim::reg_delete_key(kServiceKeyPath);
    sim::reg_delete_key("SYSTEM\\CurrentControlSet\\Enum\\ROOT\\TESSARIDGEHARDWARE");
    sim::set_version(port::VER_PLATFORM_WIN32_NT, 5, c.minor_version, 4);
    interactive = c.interactive;
    sim::clear_trace();
    clear_failure(&failure);
    EXPECT_EQ(install(1), 0) << (failure.context ? failure.context : "");
    interactive = 1;
    EXPECT_EQ(prompt_guards(), c.guards);
  }
}

}  // namespace
