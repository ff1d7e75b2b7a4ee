// SetupAPI, the configuration manager and newdev on the simulated machine: what the installer
// calls, answered as Windows answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

using namespace port;

constexpr char kInf[] = "C:\\Tessaridge\\pnp\\morvellan.inf";
constexpr char kClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}";
constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kService[] = "SYSTEM\\CurrentControlSet\\Services\\halvik";
constexpr char kRow0[] = "PCI\\VEN_1E5C&DEV_F000&SUBSYS_00001E5C";
constexpr char kRow1[] = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C";
constexpr char kRow2[] = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C";
constexpr char kBoard1[] = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0008";
constexpr char kBoard2[] = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C&REV_01\\4&1F2E3D&0&0010";
constexpr GUID kTessaridgeGuid = {
    0x3D7A91C2, 0x5B04, 0x4E6F, {0xA8, 0xD3, 0x71, 0xC2, 0xE9, 0xB0, 0xF4, 0x15}};

std::string reg_string(const std::string& key, const std::string& name) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!sim::reg_get(key, name, &type, &data)) return "<absent>";
  std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
}

bool contains(const std::vector<std::string>& list, const std::string& wanted) {
  return std::find(list.begin(), list.end(), wanted) != list.end();
}

class SetupApiTest : public MachineTest {
 protected:
  BOOL update(const char* hardware_id, BOOL* reboot, DWORD flags = 0) {
    return UpdateDriverForPlugAndPlayDevicesA(nullptr, hardware_id, kInf, flags, reboot);
  }

  // Creates and registers a root-enumerated node for the class, as the installer does.
  std::string register_root_node(const char* hardware_id) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kTessaridgeGuid, nullptr);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiCreateDeviceInfoA(set, "TessaridgeHardware", &kTessaridgeGuid, nullptr, nullptr,
                                         DICD_GENERATE_ID, &data));
    char ids[260] = {};
    std::strcpy(ids, hardware_id);
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, reinterpret_cast<BYTE*>(ids),
                                                  static_cast<DWORD>(std::strlen(hardware_id) + 2)));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    char id[MAX_DEVICE_ID_LEN] = {};
    EXPECT_EQ(CM_Get_Device_ID_ExA(data.DevInst, id, sizeof id, 0, nullptr), CR_SUCCESS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return id;
  }

  // Removes a node through its device information element, as the removal does.
  BOOL remove_node(const std::string& instance_id) {
    HDEVINFO set =
        SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, instance_id.c_str(), nullptr, 0, &data));
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    EXPECT_TRUE(SetupDiSetClassInstallParamsA(set, &data, &params.ClassInstallHeader, sizeof params));
    BOOL removed = SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(error);
    return removed;
  }

  CONFIGRET reenumerate() {
    DEVINST root = 0;
    CONFIGRET located = CM_Locate_DevNode_ExA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL, nullptr);
    if (located != CR_SUCCESS) return located;
    return CM_Reenumerate_DevNode_Ex(root, CM_REENUMERATE_SYNCHRONOUS, nullptr);
  }
};

TEST_F(SetupApiTest, XpHasTwoPresentBoardsWithoutDriverAndThePackage) {
  std::vector<std::string> nodes = sim::device_nodes();
  for (const char* board : {kBoard1, kBoard2}) {
    EXPECT_TRUE(contains(nodes, board)) << board;
    EXPECT_TRUE(sim::device_present(board));
    EXPECT_EQ(sim::device_driver(board), "");
  }
  EXPECT_TRUE(sim::file_exists(kInf));
  EXPECT_TRUE(sim::file_exists("C:\\Tessaridge\\pnp\\halvik_x86.sys"));
  EXPECT_TRUE(sim::file_exists("C:\\Tessaridge\\pnp\\tsrgBdevco_amd64.dll"));
  EXPECT_FALSE(sim::reg_key_exists(kClassKey));
}

TEST_F(SetupApiTest, CopyOemInfNamesTheFirstFreeNumberAndReusesAnIdenticalInf) {
  char name[MAX_PATH] = {};
  DWORD required = 0;
  ASSERT_TRUE(SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, name, sizeof name, &required, nullptr));
  EXPECT_STREQ(name, "C:\\WINDOWS\\inf\\oem0.inf");
  EXPECT_EQ(required, std::strlen(name) + 1);
  EXPECT_EQ(sim::read_file("C:\\WINDOWS\\inf\\oem0.inf"), sim::read_file(kInf));
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\inf\\oem0.pnf"));

  ASSERT_TRUE(SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
  EXPECT_STREQ(name, "C:\\WINDOWS\\inf\\oem0.inf");

  sim::write_file("C:\\Tessaridge\\other.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n");
  sim::write_file("C:\\WINDOWS\\inf\\oem1.pnf", "orphaned");  // a number whose PNF is left is not free
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\Tessaridge\\other.inf", nullptr, SPOST_PATH, 0, name, sizeof name,
                               nullptr, nullptr));
  EXPECT_STREQ(name, "C:\\WINDOWS\\inf\\oem2.inf");

  char small[8];
  EXPECT_FALSE(SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, small, sizeof small, &required, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, std::strlen("C:\\WINDOWS\\inf\\oem0.inf") + 1);

  EXPECT_FALSE(SetupCopyOEMInfA("C:\\nowhere.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SetupApiTest, InfFileListAnswersItsSizeAsWindowsDoes) {
  DWORD required = 0;
  ASSERT_TRUE(SetupGetInfFileListA(nullptr, INF_STYLE_WIN4, nullptr, 0, &required));
  std::string expected("machine.inf\0usb.inf\0\0", 21);
  EXPECT_EQ(required, expected.size());

  std::vector<char> small(required - 1);
  EXPECT_FALSE(SetupGetInfFileListA(nullptr, INF_STYLE_WIN4, small.data(), required - 1, &required));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  std::vector<char> list(required);
  ASSERT_TRUE(SetupGetInfFileListA(nullptr, INF_STYLE_WIN4, list.data(), required, nullptr));
  EXPECT_EQ(std::string(list.data(), list.size()), expected);
}

TEST_F(SetupApiTest, InfClassComesFromTheVersionSection) {
  GUID guid{};
  char name[MAX_CLASS_NAME_LEN] = {};
  DWORD required = 0;
  ASSERT_TRUE(SetupDiGetINFClassA(kInf, &guid, name, sizeof name, &required));
  EXPECT_EQ(std::memcmp(&guid, &kTessaridgeGuid, sizeof guid), 0);
  EXPECT_STREQ(name, "TessaridgeHardware");
  EXPECT_EQ(required, sizeof "TessaridgeHardware");
  EXPECT_FALSE(SetupDiGetINFClassA("C:\\none.inf", &guid, name, sizeof name, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SetupApiTest, UpdateDriverInstallsOnTheMatchingPresentBoard) {
  sim::reg_create_key(std::string(kService) + "\\Parameters");
  sim::reg_set_dword(std::string(kService) + "\\Parameters", "PHYBUFSIZE", 4096);
  BOOL reboot = TRUE;
  ASSERT_TRUE(update(kRow1, &reboot)) << GetLastError();
  EXPECT_FALSE(reboot);

  EXPECT_EQ(reg_string(kClassKey, ""), "Tessaridge Hardware");
  EXPECT_EQ(reg_string(kClassKey, "Class"), "TessaridgeHardware");
  EXPECT_EQ(sim::device_driver(kBoard1), "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}\\0000");
  EXPECT_EQ(sim::device_driver(kBoard2), "");  // row 2 is another board
  std::string driver_key = std::string(kClassKey) + "\\0000";
  EXPECT_EQ(reg_string(driver_key, "DriverDesc"), "Quillant(R) Tessaridge(R) Morvellan PCI module");
  EXPECT_EQ(reg_string(driver_key, "InfPath"), "oem0.inf");
  EXPECT_EQ(reg_string(driver_key, "InfSection"), "Morvellan_Device");
  EXPECT_EQ(reg_string(driver_key, "MatchingDeviceId"), "pci\\ven_1e5c&dev_0410&subsys_00011e5c");
  EXPECT_EQ(reg_string(driver_key, "ProviderName"), "Quillant");
  std::string node = std::string(kEnum) + kBoard1;
  EXPECT_EQ(reg_string(node, "Service"), "halvik");
  EXPECT_EQ(reg_string(node, "ClassGUID"), "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}");

  // Each file is installed under its plain name from the x86 source beside the INF.
  for (const char* installed : {"drivers\\halvik.sys", "tsrgBdevco.dll", "tsrgBdevpp.dll"}) {
    std::string plain = std::string(installed).substr(std::string(installed).rfind('\\') + 1);
    std::string source = plain.substr(0, plain.find('.')) + "_x86" + plain.substr(plain.find('.'));
    EXPECT_EQ(sim::read_file(std::string("C:\\WINDOWS\\system32\\") + installed),
              sim::read_file("C:\\Tessaridge\\pnp\\" + source))
        << installed;
  }
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\inf\\oem0.inf"));

  DWORD value = 0;
  ASSERT_TRUE(sim::reg_get_dword(kService, "Type", &value));
  EXPECT_EQ(value, 1u);
  ASSERT_TRUE(sim::reg_get_dword(kService, "Start", &value));
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(reg_string(kService, "ImagePath"), "system32\\drivers\\halvik.sys");
  EXPECT_EQ(sim::service_state("halvik"), SERVICE_RUNNING);
  ASSERT_TRUE(sim::reg_get_dword(std::string(kService) + "\\Parameters", "PHYBUFSIZE", &value));
  EXPECT_EQ(value, 4096u);
}

TEST_F(SetupApiTest, UpdateDriverAnswersRestartRequiredWhenTheMachineSaysSo) {
  sim::set_update_restart_required(true);
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow2, &reboot));
  EXPECT_TRUE(reboot);
  EXPECT_NE(sim::device_driver(kBoard2), "");
}

struct UpdateFailure {
  const char* name;
  const char* hardware_id;
  void (*prepare)();
  DWORD flags;
  DWORD error;
};

void remove_driver_file() {
  std::remove(sim::host_path("C:\\Tessaridge\\pnp\\halvik_x86.sys").c_str());
}

// A file missing from the package: Windows asks for the disk, and on this machine no one
// answers (cancelled); told not to ask, it fails with the missing file.  Windows 2000 knows no
// such flag.
const UpdateFailure kUpdateFailures[] = {
    {"no_present_device", kRow0, [] {}, 0, ERROR_NO_SUCH_DEVINST},
    {"board_taken_out", kRow1, [] { sim::remove_board(kBoard1); }, 0, ERROR_NO_SUCH_DEVINST},
    {"driver_file_missing", kRow1, remove_driver_file, 0, 1223},  // ERROR_CANCELLED
    {"driver_file_missing_noninteractive", kRow1, remove_driver_file, INSTALLFLAG_NONINTERACTIVE,
     ERROR_FILE_NOT_FOUND},
    {"noninteractive_on_windows_2000", kRow1, [] { sim::set_version(VER_PLATFORM_WIN32_NT, 5, 0, 4); },
     INSTALLFLAG_NONINTERACTIVE, 1004},  // ERROR_INVALID_FLAGS
    {"injected_fault", kRow1, [] { sim::add_fault("UpdateDriverForPlugAndPlayDevicesA", kRow1, 0, 5); }, 0,
     ERROR_ACCESS_DENIED},
};

class UpdateFailureTest : public SetupApiTest, public ::testing::WithParamInterface<UpdateFailure> {};

TEST_P(UpdateFailureTest, ChangesNothing) {
  const UpdateFailure& c = GetParam();
  c.prepare();
  BOOL reboot = FALSE;
  EXPECT_FALSE(update(c.hardware_id, &reboot, c.flags));
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_EQ(sim::device_driver(kBoard1), "");
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\system32\\drivers\\halvik.sys"));
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\inf\\oem0.inf"));
  EXPECT_FALSE(sim::service_exists("halvik"));
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFailureTest, ::testing::ValuesIn(kUpdateFailures),
                         [](const ::testing::TestParamInfo<UpdateFailure>& param) {
                           return param.param.name;
                         });

TEST_F(SetupApiTest, RegisterDeviceGeneratesRootInstanceIds) {
  std::string first = register_root_node(kRow0);
  std::string second = register_root_node(kRow0);
  EXPECT_EQ(first, "ROOT\\TESSARIDGEHARDWARE\\0000");
  EXPECT_EQ(second, "ROOT\\TESSARIDGEHARDWARE\\0001");
  EXPECT_TRUE(sim::device_present(first));
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim::reg_get(std::string(kEnum) + first, "HardwareID", &type, &data));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string(kRow0) + std::string(2, '\0'));

  // The installer's next step: the driver goes onto the new node.
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow0, &reboot));
  EXPECT_NE(sim::device_driver(first), "");
  EXPECT_NE(sim::device_driver(second), "");
}

TEST_F(SetupApiTest, RemovedBoardNodeComesBackOnReenumeration) {
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow1, &reboot));
  ASSERT_TRUE(remove_node(kBoard1)) << GetLastError();
  EXPECT_FALSE(contains(sim::device_nodes(), kBoard1));
  EXPECT_FALSE(sim::reg_key_exists(std::string(kClassKey) + "\\0000"));  // its driver key went with it
  EXPECT_TRUE(contains(sim::device_nodes(), kBoard2));

  // The INF registered by the update stays in the store: re-enumeration installs from it.
  ASSERT_EQ(reenumerate(), CR_SUCCESS);
  EXPECT_TRUE(sim::device_present(kBoard1));
  EXPECT_EQ(sim::device_driver(kBoard1), "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}\\0000");
  EXPECT_EQ(sim::device_driver(kBoard2), "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}\\0001");
}

TEST_F(SetupApiTest, ReenumerationWithoutAMatchingInfLeavesTheNodeWithoutDriver) {
  ASSERT_TRUE(remove_node(kBoard2));
  ASSERT_EQ(reenumerate(), CR_SUCCESS);
  EXPECT_TRUE(sim::device_present(kBoard2));
  EXPECT_EQ(sim::device_driver(kBoard2), "");
}

// A root node registered whose driver never came (the installation ended before its update) is
// a present device with a problem, as on Windows: listed, named by its instance ID, without a
// service, and removed by a DIF_REMOVE request that carries no parameters (the whole system).
TEST_F(SetupApiTest, ARootNodeWithoutADriverIsListedNamedAndRemovable) {
  std::string id = register_root_node(kRow0);
  HDEVINFO set = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr,
                                        nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  char name[MAX_DEVICE_ID_LEN + 1] = {};
  DWORD required = 0;
  for (DWORD index = 0; id != name && SetupDiEnumDeviceInfo(set, index, &data); ++index) {
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &data, name, 4, &required));  // no room for any ID
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &data, name, required, nullptr));
  }
  ASSERT_EQ(id, name);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_SERVICE, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
  EXPECT_FALSE(sim::reg_key_exists(std::string(kEnum).append(id)));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, RemoveErrorMakesTheRemovalFailAndKeepsTheNode) {
  sim::Board board{"PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0020",
                   {"PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C"},
                   {},
                   ERROR_ACCESS_DENIED};
  sim::add_board(board);
  EXPECT_TRUE(sim::device_present(board.instance_id));
  EXPECT_FALSE(remove_node(board.instance_id));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::device_present(board.instance_id));
}

TEST_F(SetupApiTest, NodeOfABoardTakenOutIsNotPresent) {
  sim::remove_board(kBoard1);
  EXPECT_FALSE(sim::device_present(kBoard1));
  EXPECT_TRUE(contains(sim::device_nodes(), kBoard1));
  HDEVINFO set = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr,
                                        nullptr, nullptr);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  std::vector<std::string> listed;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  DWORD index = 0;
  for (; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
    char id[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_ID_ExA(data.DevInst, id, sizeof id, 0, nullptr), CR_SUCCESS);
    listed.push_back(id);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(index, listed.size());
  EXPECT_FALSE(contains(listed, kBoard1));
  EXPECT_TRUE(contains(listed, kBoard2));

  // Opening it by its instance ID still works, as for any phantom node.
  EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, kBoard1, nullptr, 0, &data));
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(set, "PCI\\VEN_0000&DEV_0000\\0", nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, RegistryPropertyBuffers) {
  HDEVINFO set =
      SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, kBoard1, nullptr, 0, &data));
  std::string ids = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01";
  ids += '\0';
  ids += std::string(kRow1) + '\0' + "PCI\\VEN_1E5C&DEV_0410&CC_118000" + '\0' +
         "PCI\\VEN_1E5C&DEV_0410&CC_1180" + '\0' + '\0';
  const DWORD full = static_cast<DWORD>(ids.size());

  struct Case {
    DWORD property;
    DWORD size;
    BOOL ok;
    DWORD error;
    DWORD required;
  };
  const Case cases[] = {
      {SPDRP_HARDWAREID, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, full},
      {SPDRP_HARDWAREID, full - 1, FALSE, ERROR_INSUFFICIENT_BUFFER, full},
      {SPDRP_HARDWAREID, full, TRUE, 0, full},
      {SPDRP_HARDWAREID, 8192, TRUE, 0, full},
      {0x09 /* SPDRP_DRIVER */, 8192, FALSE, ERROR_INVALID_DATA, 0},  // no driver yet
  };
  for (const Case& c : cases) {
    std::vector<BYTE> buffer(8192, 0xCC);
    DWORD type = 0;
    DWORD required = 0;
    BOOL ok = SetupDiGetDeviceRegistryPropertyA(set, &data, c.property, &type,
                                                c.size == 0 ? nullptr : buffer.data(), c.size, &required);
    EXPECT_EQ(ok, c.ok) << c.property << " " << c.size;
    if (!ok) {
      EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    EXPECT_EQ(required, c.required) << c.size;
    if (c.required != 0) {
      EXPECT_EQ(type, REG_MULTI_SZ);
    }
    if (ok) {
      EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + full), ids);
    }
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  // A root node made by the installer has hardware IDs but no compatible IDs.
  std::string root = register_root_node(kRow0);
  set = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, root.c_str(), nullptr, 0, &data));
  BYTE buffer[64];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_COMPATIBLEIDS, nullptr, buffer,
                                                 sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, DeviceListsAreCountedAsHandles) {
  std::size_t before = sim::open_handle_count();
  HDEVINFO all = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr,
                                        nullptr, nullptr);
  HDEVINFO empty = SetupDiCreateDeviceInfoList(&kTessaridgeGuid, nullptr);
  EXPECT_EQ(sim::open_handle_count(), before + 2);
  SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
  detail.cbSize = sizeof detail;
  EXPECT_TRUE(SetupDiGetDeviceInfoListDetailA(all, &detail));
  EXPECT_EQ(detail.RemoteMachineHandle, nullptr);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(empty));
  EXPECT_EQ(sim::open_handle_count(), before);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(all));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetupDiGetDeviceInfoListDetailA(all, &detail));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SetupApiTest, ClassListGrowsToTheReportedCount) {
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow1, &reboot));  // installs the Tessaridge Hardware class
  DWORD required = 0;
  GUID one[1];
  EXPECT_FALSE(SetupDiBuildClassInfoListExA(0, one, 1, &required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(required, 3u);  // System, LegacyDriver and Tessaridge Hardware
  std::vector<GUID> guids(required);
  ASSERT_TRUE(SetupDiBuildClassInfoListExA(0, guids.data(), required, &required, nullptr, nullptr));
  bool found = false;
  for (const GUID& guid : guids) {
    char name[MAX_CLASS_NAME_LEN];
    char description[LINE_LEN];
    ASSERT_TRUE(SetupDiClassNameFromGuidExA(&guid, name, sizeof name, nullptr, nullptr, nullptr));
    ASSERT_TRUE(
        SetupDiGetClassDescriptionExA(&guid, description, sizeof description, nullptr, nullptr, nullptr));
    if (std::strcmp(description, "Tessaridge Hardware") == 0)
      found = std::strcmp(name, "TessaridgeHardware") == 0;
  }
  EXPECT_TRUE(found);
  char tiny[4];
  EXPECT_FALSE(SetupDiClassNameFromGuidExA(&kTessaridgeGuid, tiny, sizeof tiny, &required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, sizeof "TessaridgeHardware");
}

TEST_F(SetupApiTest, ReenumerationAndTheWaitFollowTheMachine) {
  EXPECT_EQ(reenumerate(), CR_SUCCESS);
  sim::set_reenumerate_error(CR_FAILURE);
  EXPECT_EQ(reenumerate(), CR_FAILURE);
  sim::set_reenumerate_error(0);
  EXPECT_EQ(reenumerate(), CR_SUCCESS);

  HMODULE setupapi =
      LoadLibraryExA("C:\\WINDOWS\\system32\\setupapi.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(setupapi, nullptr);
  auto wait = reinterpret_cast<WaitNoPendingInstallEventsProc>(
      GetProcAddress(setupapi, "CMP_WaitNoPendingInstallEvents"));
  ASSERT_NE(wait, nullptr);
  EXPECT_EQ(wait(300000), 0u);
  sim::set_wait_no_pending_times_out(true);
  EXPECT_EQ(wait(300000), 258u);  // WAIT_TIMEOUT
  sim::set_wait_no_pending_available(false);
  EXPECT_EQ(GetProcAddress(setupapi, "CMP_WaitNoPendingInstallEvents"), nullptr);
  EXPECT_EQ(GetLastError(), 127u);  // ERROR_PROC_NOT_FOUND
  EXPECT_EQ(GetModuleHandleA("newdev.dll"), nullptr);
  EXPECT_TRUE(FreeLibrary(setupapi));
}

TEST_F(SetupApiTest, SettingsLiveInMachineIniAndSurviveAReload) {
  sim::set_update_restart_required(true);
  sim::set_wait_no_pending_available(false);
  sim::add_board({"PCI\\VEN_10B5&DEV_9656&SUBSYS_04501E5C&REV_0A\\4&1F2E3D&0&0028",
                  {"PCI\\VEN_10B5&DEV_9656&SUBSYS_04501E5C"},
                  {"PCI\\VEN_10B5&DEV_9656", "PCI\\CC_068000"},
                  5});
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  std::vector<sim::Board> boards = sim::boards();
  auto found = std::find_if(boards.begin(), boards.end(), [](const sim::Board& b) {
    return b.instance_id.find("DEV_9656") != std::string::npos;
  });
  ASSERT_NE(found, boards.end());
  EXPECT_EQ(found->compatible_ids, (std::vector<std::string>{"PCI\\VEN_10B5&DEV_9656", "PCI\\CC_068000"}));
  EXPECT_EQ(found->remove_error, 5u);
  HMODULE setupapi =
      LoadLibraryExA("C:\\WINDOWS\\system32\\setupapi.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  EXPECT_EQ(GetProcAddress(setupapi, "CMP_WaitNoPendingInstallEvents"), nullptr);
  FreeLibrary(setupapi);
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow1, &reboot));
  EXPECT_TRUE(reboot);
}

TEST_F(SetupApiTest, CallsAreTracedAndFaultsInjectable) {
  sim::add_fault("SetupDiGetClassDevsExA", "", 0, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  sim::add_fault("CM_Reenumerate_DevNode_Ex", "", 0, CR_FAILURE);
  EXPECT_EQ(reenumerate(), CR_FAILURE);
  BOOL reboot = FALSE;
  sim::add_fault("UpdateDriverForPlugAndPlayDevicesA", kRow2, 2,
                 ERROR_ACCESS_DENIED);  // the second such call
  EXPECT_TRUE(update(kRow2, &reboot));
  EXPECT_FALSE(update(kRow2, &reboot));
  EXPECT_EQ(sim::trace(), (std::vector<std::string>{
                              "SetupDiGetClassDevsExA (null) (null) 0x4 (null) -> FALSE 8",
                              "CM_Locate_DevNode_ExA (null) 0x0 -> 0",
                              "CM_Reenumerate_DevNode_Ex 1 0x1 -> 19",
                              "UpdateDriverForPlugAndPlayDevicesA \"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C\" "
                              "\"C:\\Tessaridge\\pnp\\morvellan.inf\" 0x0 -> TRUE",
                              "UpdateDriverForPlugAndPlayDevicesA \"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C\" "
                              "\"C:\\Tessaridge\\pnp\\morvellan.inf\" 0x0 -> FALSE 5",
                          }));
}

class Amd64Test : public SetupApiTest {
 protected:
  std::string template_name() const override { return "amd64"; }
};

TEST_F(Amd64Test, InstallsTheAmd64BinariesIntoCWindows) {
  EXPECT_TRUE(sim::file_exists("C:\\Tessaridge\\install\\installx64.exe"));
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow1, &reboot)) << GetLastError();
  EXPECT_EQ(sim::read_file("C:\\Windows\\system32\\drivers\\halvik.sys"),
            sim::read_file("C:\\Tessaridge\\pnp\\halvik_amd64.sys"));
  char name[MAX_PATH];
  ASSERT_TRUE(SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
  EXPECT_STREQ(name, "C:\\Windows\\inf\\oem0.inf");
}

class LeftoversTest : public SetupApiTest {
 protected:
  std::string template_name() const override { return "leftovers"; }
};

TEST_F(LeftoversTest, HoldsTheOlderInstallation) {
  EXPECT_EQ(reg_string(std::string(kClassKey) + "\\0000", "InfPath"), "oem3.inf");
  EXPECT_EQ(
      reg_string("SYSTEM\\CurrentControlSet\\Control\\Class\\{9E21C4B7-0A3D-4F88-B61E-D4075A2C93E8}\\0000",
                 "InfPath"),
      "oem4.inf");
  for (const char* file :
       {"inf\\oem3.inf", "inf\\oem3.PNF", "inf\\oem4.inf", "inf\\oem6.inf", "inf\\oem7.inf",
        "system32\\tsrgBdevco.dll", "system32\\drivers\\halvik.sys", "halvik\\halvik.log"}) {
    EXPECT_TRUE(sim::file_exists(std::string("C:\\WINDOWS\\") + file)) << file;
  }
  EXPECT_NE(sim::read_file("C:\\WINDOWS\\inf\\oem6.inf").find("PCI\\VEN_10B5&DEV_9656&SUBSYS_04601E5C"),
            std::string::npos);
  EXPECT_EQ(sim::read_file("C:\\WINDOWS\\inf\\oem7.inf").find("PCI\\VEN_"),
            std::string::npos);  // UTF-16 only
  EXPECT_TRUE(sim::reg_key_exists(std::string(kService) + "\\Parameters"));
  EXPECT_EQ(sim::service_state("halvik"), SERVICE_RUNNING);
  EXPECT_NE(sim::device_driver(kBoard1), "");
}

}  // namespace

namespace {

// A package of another vendor: decorated install section, compatible-ID match, typed AddReg
// values, no class installer section.
constexpr char kOtherInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=OtherClass\r\n"
    "ClassGuid={11111111-2222-3333-4444-555555555555}\r\nProvider=%Vendor%\r\n\r\n"
    "[Manufacturer]\r\n%Vendor%=Models,NTx86\r\n\r\n"
    "[Models.NTx86]\r\n%Desc%=Inst,PCI\\VEN_1111&DEV_2222\r\n\r\n"
    "[Inst]\r\nCopyFiles=@wrong.sys\r\n\r\n"
    "[Inst.NT]\r\nCopyFiles=@other.sys\r\nAddReg=Inst.Reg\r\n\r\n"
    "[Inst.Reg]\r\nHKR,,Number,0x00010001,7\r\nHKR,,List,0x00010000,a,b\r\n"
    "HKR,,Path,0x00020000,%10%\\other\r\nHKR,Sub,Text,,\"x, y\"\r\n"
    "HKLM,SOFTWARE\\Other,Flag,0x00010001,1\r\n\r\n"
    "[Inst.NT.Services]\r\nAddService=other,0x00000002,Other.Service\r\n\r\n"
    "[Other.Service]\r\nServiceType=1\r\nStartType=2\r\nErrorControl=0\r\nServiceBinary=%12%\\other."
    "sys\r\n\r\n"
    "[DestinationDirs]\r\nDefaultDestDir=12\r\n\r\n"
    "[Strings]\r\nVendor=\"Other Vendor\"\r\nDesc=\"Other device\"\r\n";

TEST_F(SetupApiTest, InstallsAnyPackageAsItsInfSays) {
  sim::write_file("C:\\drivers\\other.inf", kOtherInf);
  sim::write_file("C:\\drivers\\other.sys", "MZ other");
  const char* instance = "PCI\\VEN_1111&DEV_2222&SUBSYS_00000000&REV_00\\3&11583659&0&40";
  sim::add_board(
      {instance, {"PCI\\VEN_1111&DEV_2222&SUBSYS_00000000&REV_00"}, {"PCI\\VEN_1111&DEV_2222"}, 0});
  BOOL reboot = FALSE;
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_1111&DEV_2222", "C:\\drivers\\other.inf",
                                                 0, &reboot))
      << GetLastError();

  std::string class_key = "SYSTEM\\CurrentControlSet\\Control\\Class\\{11111111-2222-3333-4444-555555555555}";
  EXPECT_EQ(reg_string(class_key, "Class"), "OtherClass");
  EXPECT_EQ(reg_string(class_key, ""), "<absent>");
  const GUID other = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  char description[LINE_LEN];
  ASSERT_TRUE(
      SetupDiGetClassDescriptionExA(&other, description, sizeof description, nullptr, nullptr, nullptr));
  EXPECT_STREQ(description, "OtherClass");  // a class without a description goes by its name

  std::string driver = class_key + "\\0000";
  EXPECT_EQ(sim::device_driver(instance), "{11111111-2222-3333-4444-555555555555}\\0000");
  EXPECT_EQ(reg_string(driver, "InfSection"), "Inst");
  EXPECT_EQ(reg_string(driver, "InfSectionExt"), ".NT");
  EXPECT_EQ(reg_string(driver, "MatchingDeviceId"), "pci\\ven_1111&dev_2222");
  EXPECT_EQ(reg_string(driver, "DriverDesc"), "Other device");
  EXPECT_EQ(reg_string(driver, "ProviderName"), "Other Vendor");
  DWORD number = 0;
  EXPECT_TRUE(sim::reg_get_dword(driver, "Number", &number));
  EXPECT_EQ(number, 7u);
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim::reg_get(driver, "List", &type, &data));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("a\0b\0\0", 5));
  ASSERT_TRUE(sim::reg_get(driver, "Path", &type, &data));
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(reg_string(driver, "Path"), "C:\\WINDOWS\\other");
  EXPECT_EQ(reg_string(driver + "\\Sub", "Text"), "x, y");
  EXPECT_TRUE(sim::reg_get_dword("SOFTWARE\\Other", "Flag", &number));

  EXPECT_EQ(sim::read_file("C:\\WINDOWS\\system32\\drivers\\other.sys"), "MZ other");
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\system32\\drivers\\wrong.sys"));
  std::string service = "SYSTEM\\CurrentControlSet\\Services\\other";
  EXPECT_TRUE(sim::reg_get_dword(service, "Start", &number));
  EXPECT_EQ(number, 2u);
  EXPECT_TRUE(sim::reg_get_dword(service, "ErrorControl", &number));
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(sim::service_state("other"), SERVICE_RUNNING);
  EXPECT_EQ(reg_string(std::string(kEnum) + instance, "Service"), "other");
}

// A CopyFiles line "installed,source" installs the source file under the installed name; the
// source is looked up by its own name in [SourceDisksFiles] (here one in a subfolder).
constexpr char kRenamingInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=OtherClass\r\n"
    "ClassGuid={11111111-2222-3333-4444-555555555555}\r\nProvider=Vendor\r\n\r\n"
    "[Manufacturer]\r\nVendor=Models,NTx86\r\n\r\n"
    "[Models.NTx86]\r\nDevice=Inst,PCI\\VEN_1111&DEV_2222\r\n\r\n"
    "[Inst.NTx86]\r\nCopyFiles=Inst.Files\r\n\r\n"
    "[Inst.Files]\r\nrenamed.sys,renamed_x86.sys\r\nhelper.dll,helper_x86.dll\r\n\r\n"
    "[Inst.NTx86.Services]\r\nAddService=other,0x00000002,Other.Service\r\n\r\n"
    "[Other.Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
    "ServiceBinary=%12%\\renamed.sys\r\n\r\n"
    "[SourceDisksNames]\r\n1=Disk,,,\r\n\r\n"
    "[SourceDisksFiles]\r\nrenamed_x86.sys=1\r\nhelper_x86.dll=1,sub\r\n\r\n"
    "[DestinationDirs]\r\nInst.Files=12\r\n";

struct RenameCase {
  const char* name;
  std::vector<std::string> files;  // beside the INF, relative to C:\drivers
  BOOL installed;
  DWORD error;
};

const RenameCase kRenameCases[] = {
    {"from_the_source_names", {"renamed_x86.sys", "sub\\helper_x86.dll", "renamed.sys"}, TRUE, 0},
    {"source_missing_though_the_installed_name_lies_there",
     {"renamed.sys", "sub\\helper_x86.dll"},
     FALSE,
     ERROR_FILE_NOT_FOUND},
};

class RenameTest : public SetupApiTest, public ::testing::WithParamInterface<RenameCase> {};

TEST_P(RenameTest, CopyFilesInstallsTheSourceUnderTheInstalledName) {
  const RenameCase& c = GetParam();
  sim::write_file("C:\\drivers\\other.inf", kRenamingInf);
  for (const std::string& file : c.files) sim::write_file("C:\\drivers\\" + file, "MZ " + file);
  const char* instance = "PCI\\VEN_1111&DEV_2222&SUBSYS_00000000&REV_00\\3&11583659&0&40";
  sim::add_board({instance, {"PCI\\VEN_1111&DEV_2222"}, {}, 0});
  BOOL reboot = FALSE;
  EXPECT_EQ(UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_1111&DEV_2222", "C:\\drivers\\other.inf",
                                               INSTALLFLAG_NONINTERACTIVE, &reboot),
            c.installed);
  const std::string drivers = "C:\\WINDOWS\\system32\\drivers\\";
  if (!c.installed) {
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(sim::file_exists(drivers + "renamed.sys"));
    EXPECT_FALSE(sim::file_exists(drivers + "helper.dll"));
    return;
  }
  EXPECT_EQ(sim::read_file(drivers + "renamed.sys"), "MZ renamed_x86.sys");
  EXPECT_EQ(sim::read_file(drivers + "helper.dll"), "MZ sub\\helper_x86.dll");
  EXPECT_FALSE(sim::file_exists(drivers + "renamed_x86.sys"));
  EXPECT_EQ(sim::service_state("other"), SERVICE_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Cases, RenameTest, ::testing::ValuesIn(kRenameCases),
                         [](const ::testing::TestParamInfo<RenameCase>& param) { return param.param.name; });

TEST_F(SetupApiTest, ABoardAddedLaterGetsItsDriverFromTheStoreOnReenumeration) {
  char name[MAX_PATH];
  ASSERT_TRUE(SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
  const char* instance = "PCI\\VEN_1E5C&DEV_0C20&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0030";
  sim::add_board({instance, {"PCI\\VEN_1E5C&DEV_0C20&SUBSYS_00011E5C"}, {}, 0});
  EXPECT_EQ(sim::device_driver(instance), "");
  ASSERT_EQ(reenumerate(), CR_SUCCESS);
  // Every present board without a driver gets one; the store's copy names where the package
  // came from, so the files are found there.
  for (const char* board : {kBoard1, kBoard2, instance}) {
    std::string driver = sim::device_driver(board);
    ASSERT_EQ(driver.rfind("{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}\\", 0), 0u) << board;
    EXPECT_EQ(reg_string("SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver, "InfPath"), "oem0.inf");
  }
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\system32\\drivers\\halvik.sys"));
  EXPECT_EQ(sim::service_state("halvik"), SERVICE_RUNNING);
}

}  // namespace

namespace {

// The packages staged in the driver store, as folder names.
std::vector<std::string> staged_packages() {
  std::vector<std::string> names;
  std::error_code error;
  std::string store = sim::host_path("C:\\Windows\\System32\\DriverStore\\FileRepository");
  for (const auto& entry : std::filesystem::directory_iterator(store, error))
    names.push_back(entry.path().filename().string());
  return names;
}

// From Vista on a driver package is staged in the driver store; the INF directory only shows
// it.  Deleting oemN.inf leaves the package, and the next enumeration installs from it again;
// SetupUninstallOEMInf takes it out.
TEST_F(Amd64Test, TheDriverStoreKeepsAPackageUntilItIsUninstalled) {
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow1, &reboot)) << GetLastError();
  std::vector<std::string> staged = staged_packages();
  ASSERT_EQ(staged.size(), 1u);
  EXPECT_EQ(staged[0].rfind("morvellan.inf_amd64_", 0), 0u) << staged[0];
  EXPECT_TRUE(sim::file_exists("C:\\Windows\\System32\\DriverStore\\FileRepository\\" + staged[0] +
                               "\\halvik_amd64.sys"));

  ASSERT_TRUE(remove_node(kBoard1));
  ASSERT_TRUE(DeleteFileA("C:\\Windows\\inf\\oem0.pnf"));
  ASSERT_TRUE(DeleteFileA("C:\\Windows\\inf\\oem0.inf"));
  ASSERT_EQ(reenumerate(), CR_SUCCESS);
  EXPECT_NE(sim::device_driver(kBoard1), "");
  EXPECT_TRUE(sim::file_exists("C:\\Windows\\inf\\oem0.inf"));  // published again from the store

  EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", 0, nullptr));
  EXPECT_EQ(GetLastError(), 0xE000023Du);  // ERROR_INF_IN_USE_BY_DEVICES
  sim::set_process_bits(32);               // the 32-bit installer may not touch the package
  EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", SUOI_FORCEDELETE, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_IN_WOW64);
  sim::set_process_bits(0);
  ASSERT_TRUE(SetupUninstallOEMInfA("oem0.inf", SUOI_FORCEDELETE, nullptr)) << GetLastError();
  EXPECT_EQ(staged_packages(), std::vector<std::string>{});
  EXPECT_FALSE(sim::file_exists("C:\\Windows\\inf\\oem0.inf"));
  EXPECT_FALSE(sim::file_exists("C:\\Windows\\inf\\oem0.pnf"));
  ASSERT_TRUE(remove_node(kBoard1));
  ASSERT_EQ(reenumerate(), CR_SUCCESS);
  EXPECT_EQ(sim::device_driver(kBoard1), "");
}

// A device installation that the service manager refuses (the service is marked for deletion)
// fails after the package was staged from Vista on, as Windows stages it first; before Vista
// nothing is copied.
void refuse_installation_of_a_marked_service() {
  sim::add_service("halvik", 1, SERVICE_RUNNING);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceA(manager, "halvik", DELETE);
  ASSERT_TRUE(DeleteService(service));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  BOOL reboot = FALSE;
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kRow1, kInf, 0, &reboot));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(sim::device_driver(kBoard1), "");
}

TEST_F(SetupApiTest, ARefusedInstallationBeforeVistaCopiesNothing) {
  refuse_installation_of_a_marked_service();
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\inf\\oem0.inf"));
}

TEST_F(Amd64Test, ARefusedInstallationLeavesThePackageStaged) {
  refuse_installation_of_a_marked_service();
  EXPECT_EQ(staged_packages().size(), 1u);
  EXPECT_TRUE(sim::file_exists("C:\\Windows\\inf\\oem0.inf"));
}

TEST_F(SetupApiTest, UninstallOemInfFailsAsWindowsDoes) {
  char name[MAX_PATH];
  ASSERT_TRUE(SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
  sim::write_file("C:\\WINDOWS\\inf\\machine.inf", sim::read_file(kInf));  // one of the system's own
  sim::write_file("C:\\WINDOWS\\inf\\oemx.inf", sim::read_file(kInf));
  constexpr DWORD kNotAnInstalledOemInf = 0xE000023C;
  const struct {
    const char* label;
    const char* version;  // major minor
    const char* inf;
    DWORD error;  // 0: succeeds
  } cases[] = {
      {"not in the INF directory", "5.1", "oem7.inf", kNotAnInstalledOemInf},
      {"not named oemN.inf", "5.1", "machine.inf", kNotAnInstalledOemInf},
      {"oem without a number", "5.1", "oemx.inf", kNotAnInstalledOemInf},
      {"a path", "5.1", "..\\inf\\oem0.inf", ERROR_INVALID_PARAMETER},
      {"Windows 2000 has no such export", "5.0", "oem0.inf", ERROR_PROC_NOT_FOUND},
      {"XP: the INF and its PNF go, nothing staged", "5.1", "oem0.inf", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::set_version(VER_PLATFORM_WIN32_NT, 5, c.version[2] - '0', 3);
    BOOL ok = SetupUninstallOEMInfA(c.inf, 0, nullptr);
    EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE);
    if (c.error != 0) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\inf\\oem0.inf"));
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\inf\\oem0.pnf"));
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\inf\\machine.inf"));
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\System32\\DriverStore"));
}

// The restart enumerates the boards again: a driver installed while a restart was pending
// starts, a board whose node went comes back with the driver from the store; a disabled one
// doesn't start.
TEST_F(SetupApiTest, TheRestartEnumeratesTheBoardsAndStartsTheirDriver) {
  sim::set_update_restart_required(true);
  BOOL reboot = FALSE;
  ASSERT_TRUE(update(kRow1, &reboot));
  EXPECT_EQ(sim::service_state("halvik"), SERVICE_STOPPED);
  ASSERT_TRUE(remove_node(kBoard1));
  sim::restart_machine();
  for (const char* board : {kBoard1, kBoard2}) EXPECT_NE(sim::device_driver(board), "") << board;
  EXPECT_EQ(sim::service_state("halvik"), SERVICE_RUNNING);
  // A disabled driver starts for no device.
  sim::reg_set_dword(kService, "Start", 4);
  sim::restart_machine();
  EXPECT_EQ(sim::service_state("halvik"), SERVICE_STOPPED);
}

}  // namespace

namespace {

// Windows documents no reset of the last error for SetupAPI and newdev: a call that succeeds
// leaves whatever an earlier call set.
TEST_F(SetupApiTest, ASuccessfulCallLeavesTheLastErrorAsItWas) {
  constexpr DWORD kEarlier = 1234;
  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  char text[MAX_PATH] = {};
  DWORD size = 0;
  BOOL reboot = FALSE;
  GUID guid{};
  const struct {
    const char* call;
    std::function<BOOL()> run;
  } calls[] = {
      {"SetupDiGetClassDevsExA",
       [&] {
         set = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                      nullptr, nullptr);
         return set != INVALID_HANDLE_VALUE;
       }},
      {"SetupDiEnumDeviceInfo", [&] { return SetupDiEnumDeviceInfo(set, 0, &data); }},
      {"SetupDiGetDeviceRegistryPropertyA",
       [&] {
         return SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(text), sizeof text, &size);
       }},
      {"SetupDiDestroyDeviceInfoList", [&] { return SetupDiDestroyDeviceInfoList(set); }},
      {"SetupCopyOEMInfA",
       [&] { return SetupCopyOEMInfA(kInf, nullptr, SPOST_PATH, 0, text, sizeof text, nullptr, nullptr); }},
      {"SetupDiGetINFClassA", [&] { return SetupDiGetINFClassA(kInf, &guid, text, sizeof text, &size); }},
      {"SetupGetInfFileListA",
       [&] { return SetupGetInfFileListA(nullptr, INF_STYLE_WIN4, nullptr, 0, &size); }},
      {"UpdateDriverForPlugAndPlayDevicesA", [&] { return update(kRow1, &reboot); }},
      {"SetupUninstallOEMInfA", [&] { return SetupUninstallOEMInfA("oem0.inf", SUOI_FORCEDELETE, nullptr); }},
  };
  for (const auto& c : calls) {
    SetLastError(kEarlier);
    EXPECT_TRUE(c.run()) << c.call << " " << GetLastError();
    EXPECT_EQ(GetLastError(), kEarlier) << c.call;
  }
}

}  // namespace

namespace {

// Install parameters, of a list or of one of its elements: what is set is what is read back,
// each apart; a record of another size, a list or element that isn't one, is refused.
TEST_F(SetupApiTest, InstallParametersAreKeptPerListAndElement) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kTessaridgeGuid, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, "TessaridgeHardware", &kTessaridgeGuid, nullptr, nullptr,
                                       DICD_GENERATE_ID, &data));
  SP_DEVINSTALL_PARAMS_A params{};
  params.cbSize = sizeof params;
  params.Flags = DI_QUIETINSTALL;
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &data, &params));
  SP_DEVINSTALL_PARAMS_A read{};
  read.cbSize = sizeof read;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &read));
  EXPECT_EQ(read.Flags, DI_QUIETINSTALL);
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, nullptr, &read));
  EXPECT_EQ(read.Flags, 0u);

  SP_DEVINSTALL_PARAMS_A wrong_size = params;
  wrong_size.cbSize = sizeof wrong_size - 4;
  SP_DEVINFO_DATA stranger = data;
  stranger.Reserved ^= 0x5A5A;
  const struct {
    const char* label;
    HDEVINFO set;
    SP_DEVINFO_DATA* data;
    SP_DEVINSTALL_PARAMS_A* params;
    DWORD error;
  } refused[] = {
      {"record of another size", set, &data, &wrong_size, 1784},  // ERROR_INVALID_USER_BUFFER
      {"no record", set, &data, nullptr, ERROR_INVALID_PARAMETER},
      {"no list", INVALID_HANDLE_VALUE, nullptr, &params, ERROR_INVALID_HANDLE},
      {"element of no list", set, &stranger, &params, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(SetupDiSetDeviceInstallParamsA(c.set, c.data, c.params));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(c.set, c.data, c.params));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

}  // namespace
