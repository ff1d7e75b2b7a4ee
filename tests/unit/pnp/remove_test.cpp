// The Plug and Play removal: devices, service, files and keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "config/driver_config.h"
#include "pnp/pnp.h"
#include "pnp/pnp_steps.h"
#include "pnp_fixture.h"
#include "service/service_control.h"

namespace {

const char* const kInf = "C:\\WINDOWS\\inf\\";

class PnpRemove : public PnpMachine {
 protected:
  int remove() {
    ::testing::internal::CaptureStdout();
    int result = remove_pnp_driver(&memory_outcome, &reboot_needed, &failure);
    output = ::testing::internal::GetCapturedStdout();
    return result;
  }
  // A package instance of the first device class, as the system registers it.
  void class_instance(const std::string& subkey, const std::string& description,
                      const std::string& inf_path) {
    std::string key = std::string(kFirstClassKey) + "\\" + subkey;
    sim::reg_create_key(key);
    sim::reg_set_string(key, "DriverDesc", description);
    if (!inf_path.empty()) sim::reg_set_string(key, "InfPath", inf_path);
  }
  void inf_file(const std::string& name, const std::string& content = "[Version]\r\n") {
    sim::write_file(kInf + name, content);
  }
  bool inf_exists(const std::string& name) { return sim::file_exists(kInf + name); }
  void installed_files() {
    sim::write_file("C:\\WINDOWS\\system32\\tsrgBdevpp.dll", "MZ");
    sim::write_file("C:\\WINDOWS\\system32\\tsrgBdevco.dll", "MZ");
    sim::write_file("C:\\WINDOWS\\system32\\drivers\\halvik.sys", "MZ");
    sim::add_service("halvik", 1, port::SERVICE_STOPPED);
  }
  bool package_files_gone() {
    return !sim::file_exists("C:\\WINDOWS\\system32\\tsrgBdevpp.dll") &&
           !sim::file_exists("C:\\WINDOWS\\system32\\tsrgBdevco.dll") &&
           !sim::file_exists("C:\\WINDOWS\\system32\\drivers\\halvik.sys");
  }
  bool has_line(const std::string& line) { return output.find(line) != std::string::npos; }

  int memory_outcome = 9;
  int reboot_needed = 9;
  FailureInfo failure{"stale", 77, "stale"};
  std::string output;
};

struct HostServiceCase {
  const char* name;
  bool installed;
  port::DWORD state;
  bool refused;
};

void PrintTo(const HostServiceCase& c, std::ostream* os) {
  *os << c.name;
}

class PnpRemoveHostService : public PnpRemove, public ::testing::WithParamInterface<HostServiceCase> {};

TEST_P(PnpRemoveHostService, OnlyARunningHostServiceStopsTheRemoval) {
  const HostServiceCase& c = GetParam();
  if (c.installed) sim::add_service("halvservice", 0x10, c.state);
  installed_files();
  int result = remove();
  if (c.refused) {
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(failure.message, kHostServiceRefusal);
    EXPECT_TRUE(sim::reg_key_exists(kServiceKeyPath));
    EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\system32\\drivers\\halvik.sys"));
    EXPECT_EQ(output, "");
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(sim::reg_key_exists(kServiceKeyPath));
    EXPECT_TRUE(package_files_gone());
  }
  EXPECT_EQ(memory_outcome, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, PnpRemoveHostService,
                         ::testing::Values(HostServiceCase{"NotInstalled", false, 0, false},
                                           HostServiceCase{"Stopped", true, port::SERVICE_STOPPED, false},
                                           HostServiceCase{"Running", true, port::SERVICE_RUNNING, true},
                                           HostServiceCase{"Paused", true, port::SERVICE_PAUSED, true},
                                           HostServiceCase{"Starting", true, port::SERVICE_START_PENDING,
                                                           true}),
                         [](const ::testing::TestParamInfo<HostServiceCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(PnpRemove, EveryPresentBoardIsRemovedAndReported) {
  for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  sim::Board one = board(1, 1);
  sim::Board two = board(11, 2);
  sim::add_board(one);
  sim::add_board(two);
  EXPECT_EQ(remove(), 0);
  EXPECT_FALSE(sim::device_present(one.instance_id));
  EXPECT_FALSE(sim::device_present(two.instance_id));
  char line[300];
  std::snprintf(line, sizeof(line), "Removed Device: %-60s\n", one.instance_id.c_str());
  EXPECT_TRUE(has_line(line)) << output;
  EXPECT_TRUE(has_line("Removing the halvik service...\n"));
  EXPECT_TRUE(has_line("Removing the Quillant(R) Tessaridge(R) PnP components...\n"));
  EXPECT_TRUE(has_line("Removing registry entries...\n"));
}

// A board taken out keeps its device node, with its binding, until the removal takes that too:
// put back later, it would come up with the old driver.  After that nothing is left to name.
TEST_F(PnpRemove, BoardsTakenOutLoseTheirNodesThenNoDeviceLineAndNoError) {
  std::vector<std::string> nodes;
  for (const sim::Board& b : sim::boards()) {
    if (b.instance_id.starts_with("PCI\\VEN_1E5C")) nodes.push_back(b.instance_id);
    sim::remove_board(b.instance_id);
  }
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(remove(), 0);
  for (const std::string& node : nodes) {
    EXPECT_NE(output.find("Removed Device: " + node), std::string::npos) << output;
    EXPECT_FALSE(contains(sim::device_nodes(), node)) << node;
  }
  EXPECT_EQ(remove(), 0);
  EXPECT_EQ(output,
            "Removing the halvik service...\n"
            "Removing the Quillant(R) Tessaridge(R) PnP components...\n"
            "Removing registry entries...\n");
  EXPECT_EQ(failure.context, nullptr);
}

TEST_F(PnpRemove, ADeviceThatCannotBeRemovedFailsTheRemovalButNotTheRest) {
  for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  sim::Board stuck = board(2, 1);
  stuck.remove_error = port::ERROR_ACCESS_DENIED;
  sim::Board second = board(2, 2);
  sim::Board later = board(5, 3);
  sim::add_board(stuck);
  sim::add_board(second);
  sim::add_board(later);
  installed_files();
  EXPECT_EQ(remove(), 2);
  EXPECT_STREQ(failure.context, "An error occurred while uninstalling one of the devices");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  char line[300];
  std::snprintf(line, sizeof(line), "%-60s: %s\nAn error occurred while uninstalling device: %s\n",
                stuck.instance_id.c_str(), "removal failure", supported_hardware_ids[2]);
  EXPECT_TRUE(has_line(line)) << output;
  EXPECT_TRUE(sim::device_present(stuck.instance_id));
  EXPECT_TRUE(sim::device_present(second.instance_id));  // the walk for that ID stopped
  EXPECT_FALSE(sim::device_present(later.instance_id));
  EXPECT_FALSE(sim::reg_key_exists(kServiceKeyPath));
  EXPECT_TRUE(package_files_gone());
}

// An adjustment of ours that can't be undone stops the removal before anything is deleted, so
// that the bookkeeping in the service key is still there for the next removal.
TEST_F(PnpRemove, AnAdjustmentThatCantBeUndoneStopsTheRemovalBeforeAnythingGoes) {
  for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
  installed_files();
  sim::reg_create_key(kParametersKeyPath);
  sim::reg_set_dword(kParametersKeyPath, "OLD_SYSPAGES", 1000);
  sim::reg_set_dword(kParametersKeyPath, "NEW_SYSPAGES", 5096);
  sim::reg_set_dword(kParametersKeyPath, "SYSP_NUM_PCI", 4);
  sim::reg_set_dword("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management", "SystemPages",
                     5096);
  sim::add_fault("RegSetValueExA", "SystemPages", 0, port::ERROR_ACCESS_DENIED);
  sim::Board b = board(2, 1);
  sim::add_board(b);
  EXPECT_EQ(remove(), 1);
  EXPECT_STREQ(failure.context, "SetValue");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::reg_key_exists(kParametersKeyPath));
  EXPECT_TRUE(sim::device_present(b.instance_id));
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\system32\\drivers\\halvik.sys"));
  EXPECT_EQ(output, "");
}

// A device the walk could not name or look at is a device that stayed: the removal fails, as
// for a device whose removal failed, and goes on with the rest.
TEST_F(PnpRemove, ADeviceTheWalkCantExamineCountsAsOneThatStayed) {
  const struct {
    const char* call;
    port::DWORD error;
  } cases[] = {
      {"CM_Get_Device_ID_ExA", port::CR_FAILURE},
      {"SetupDiGetDeviceInfoListDetailA", port::ERROR_NOT_ENOUGH_MEMORY},
      {"SetupDiGetClassDevsExA", port::ERROR_NOT_ENOUGH_MEMORY},
      {"SetupDiGetDeviceRegistryPropertyA", port::ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    for (const sim::Board& b : sim::boards()) sim::remove_board(b.instance_id);
    sim::clear_faults();
    sim::Board b = board(3, 1);
    sim::add_board(b);
    sim::add_fault(c.call, "", 0, c.error);
    failure = FailureInfo{};
    EXPECT_EQ(remove(), 2);
    EXPECT_STREQ(failure.context, "An error occurred while uninstalling one of the devices");
    EXPECT_NE(failure.code, 0u);
    EXPECT_EQ(output.find("Removed Device"), std::string::npos);
    EXPECT_NE(output.find("An error occurred while uninstalling device: "), std::string::npos);
    EXPECT_TRUE(sim::device_present(b.instance_id));
  }
}

TEST_F(PnpRemove, RegisteredInfNamesAreDeletedWithTheirPnfAndTheClassKeys) {
  class_instance("0000", "Other device", "oem1.inf");
  class_instance("0001", "Quillant MORVELLAN PCI module", "");
  class_instance("0002", "Quillant Morvellan PCI module", "oem3.inf");
  class_instance("0003", "quillant morvellan bridge", "oem4.inf");
  sim::reg_create_key(std::string(kSecondClassKey) + "\\0000");
  sim::reg_set_string(std::string(kSecondClassKey) + "\\0000", "InfPath", "oem5.inf");
  for (const char* name : {"oem1.inf", "oem1.pnf", "oem3.pnf", "oem4.inf", "oem4.pnf", "oem5.pnf"})
    inf_file(name);
  // The named INFs are ours by their content; the PNF goes with them.
  for (const char* name : {"oem3.inf", "oem5.inf"}) inf_file(name, package_inf(supported_hardware_ids[1]));
  EXPECT_EQ(remove(), 0);
  EXPECT_TRUE(inf_exists("oem1.inf"));
  EXPECT_TRUE(inf_exists("oem1.pnf"));
  EXPECT_FALSE(inf_exists("oem3.inf"));
  EXPECT_FALSE(inf_exists("oem3.pnf"));
  EXPECT_TRUE(inf_exists("oem4.inf"));  // only the first package instance names the files
  EXPECT_FALSE(inf_exists("oem5.inf"));
  EXPECT_FALSE(inf_exists("oem5.pnf"));
  EXPECT_TRUE(sim::reg_key_exists(std::string(kFirstClassKey) + "\\0000"));
  EXPECT_FALSE(sim::reg_key_exists(std::string(kFirstClassKey) + "\\0001"));
  EXPECT_FALSE(sim::reg_key_exists(std::string(kFirstClassKey) + "\\0002"));
  EXPECT_FALSE(sim::reg_key_exists(std::string(kFirstClassKey) + "\\0003"));
  EXPECT_FALSE(sim::reg_key_exists(kSecondClassKey));
}

TEST_F(PnpRemove, InfNamesThatReachOutsideTheInfDirectoryAreNeverDeleted) {
  sim::write_file("C:\\boot.ini", "[boot loader]");
  sim::write_file("C:\\WINDOWS\\system.ini", "[drivers]");
  class_instance("0000", "Morvellan", "..\\system.ini");
  class_instance("0001", "Morvellan", "C:\\boot.ini");
  sim::reg_create_key(std::string(kSecondClassKey) + "\\0000");
  sim::reg_set_string(std::string(kSecondClassKey) + "\\0000", "InfPath", "../system.ini");
  EXPECT_EQ(remove(), 0);
  EXPECT_TRUE(sim::file_exists("C:\\boot.ini"));
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\system.ini"));
}

// The registry only points at an INF: one that doesn't name our boards is the system's, and
// stays with its PNF whatever the class keys say.
TEST_F(PnpRemove, ARegisteredInfThatDoesntNameOurBoardsIsKept) {
  class_instance("0000", "Morvellan", "machine.inf");
  sim::reg_create_key(std::string(kSecondClassKey) + "\\0000");
  sim::reg_set_string(std::string(kSecondClassKey) + "\\0000", "InfPath", "usb.inf");
  for (const char* name : {"machine.inf", "machine.PNF", "usb.inf", "usb.pnf"}) inf_file(name);
  EXPECT_EQ(remove(), 0);
  for (const char* name : {"machine.inf", "machine.PNF", "usb.inf", "usb.pnf"})
    EXPECT_TRUE(inf_exists(name)) << name;
}

TEST_F(PnpRemove, AnInstanceKeyThatCannotBeDeletedDoesNotStopTheScan) {
  class_instance("0000", "Morvellan A", "");
  class_instance("0001", "Morvellan B", "");
  sim::add_fault("SHDeleteKeyA", std::string(kFirstClassKey) + "\\0000", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(remove(), 0);
  EXPECT_TRUE(sim::reg_key_exists(std::string(kFirstClassKey) + "\\0000"));
  EXPECT_FALSE(sim::reg_key_exists(std::string(kFirstClassKey) + "\\0001"));
}

TEST_F(PnpRemove, TheInfDirectoryIsSearchedForExactHardwareIds) {
  std::string id = supported_hardware_ids[4];
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string utf16;
  for (char c : package_inf(id)) {
    utf16 += c;
    utf16 += '\0';
  }
  inf_file("oem10.inf", package_inf(id));
  inf_file("oem10.pnf", "PNF");
  inf_file("oem11.inf", package_inf(lower));
  inf_file("oem11.pnf", "PNF");
  inf_file("oem12.inf", utf16);
  inf_file("OEM13.INF", package_inf(id));
  inf_file("OEM13.pnf", "PNF");
  EXPECT_EQ(remove(), 0);
  EXPECT_FALSE(inf_exists("oem10.inf"));
  EXPECT_FALSE(inf_exists("oem10.pnf"));
  EXPECT_TRUE(inf_exists("oem11.inf"));
  EXPECT_TRUE(inf_exists("oem11.pnf"));
  EXPECT_TRUE(inf_exists("oem12.inf"));
  EXPECT_FALSE(inf_exists("OEM13.INF"));
  EXPECT_FALSE(inf_exists("OEM13.pnf"));  // the extension is found in any case
  EXPECT_TRUE(inf_exists("machine.inf"));
}

TEST_F(PnpRemove, AnInfThatCannotBeReadIsKept) {
  std::string id = supported_hardware_ids[4];
  inf_file("oem20.inf", package_inf(id));
  inf_file("oem21.inf", package_inf(id));
  sim::add_fault("CreateFileA", std::string(kInf) + "oem20.inf", 0, port::ERROR_SHARING_VIOLATION);
  sim::add_fault("ReadFile", "", 0, port::ERROR_INVALID_DATA);
  EXPECT_EQ(remove(), 0);
  EXPECT_TRUE(inf_exists("oem20.inf"));
  EXPECT_TRUE(inf_exists("oem21.inf"));
}

// The service stays registered when the service manager can't be asked: the removal says so
// and fails; the files go, and the service key stays for the removal that finishes the job.
TEST_F(PnpRemove, WithoutTheServiceManagerTheRemovalFailsAndKeepsTheServiceKey) {
  installed_files();
  sim::add_fault("OpenSCManagerA", "", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(remove(), 1);
  EXPECT_STREQ(failure.context, "OpenSCManager");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(package_files_gone());
  EXPECT_TRUE(sim::reg_key_exists(kServiceKeyPath));
}

// A file that is there but can't be deleted now is scheduled for deletion at the restart,
// which the removal then asks for; one that can't be scheduled either is named on stderr.
TEST_F(PnpRemove, AFileThatCantBeDeletedIsScheduledForTheRestartOrNamed) {
  const std::string driver = "C:\\WINDOWS\\system32\\drivers\\halvik.sys";
  const std::string pending_key = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  for (bool schedule_fails : {false, true}) {
    SCOPED_TRACE(schedule_fails ? "scheduling fails" : "scheduled");
    sim::clear_faults();
    installed_files();
    sim::reg_set(pending_key, "PendingFileRenameOperations", port::REG_MULTI_SZ, {0, 0});
    sim::add_fault("DeleteFileA", driver, 0, port::ERROR_SHARING_VIOLATION);
    if (schedule_fails) sim::add_fault("MoveFileExA", "", 0, port::ERROR_ACCESS_DENIED);
    reboot_needed = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(remove(), 0);
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(sim::file_exists(driver));
    port::DWORD type = 0;
    std::vector<std::uint8_t> pending;
    ASSERT_TRUE(sim::reg_get(pending_key, "PendingFileRenameOperations", &type, &pending));
    std::string text(pending.begin(), pending.end());
    EXPECT_EQ(text.find("halvik.sys") != std::string::npos, !schedule_fails) << text;
    EXPECT_EQ(reboot_needed, schedule_fails ? 0 : 1);
    EXPECT_EQ(errors, schedule_fails ? "Unable to delete C:\\WINDOWS\\System32\\drivers\\halvik.sys\n"
                                     : "C:\\WINDOWS\\System32\\drivers\\halvik.sys will be deleted when the "
                                       "system restarts.\n");
  }
}

TEST_F(PnpRemove, AFailedServiceDeletionIsReportedButDoesNotFail) {
  installed_files();
  sim::add_fault("DeleteService", "", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(remove(), 0);
  EXPECT_TRUE(failure.context != nullptr || failure.message != nullptr);
  EXPECT_TRUE(package_files_gone());
}

TEST_F(PnpRemove, OnAmd64TheWholeRemovalIsHandedOver) {
  sim::reg_set_string(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", "AMD64");
  sim::set_env("PATH", "C:\\WINDOWS\\system32");
  installed_files();
  EXPECT_EQ(remove(), 1);
  EXPECT_STREQ(failure.message, "Error 2 spawning 64-bit program.");
  EXPECT_EQ(memory_outcome, 0);
  EXPECT_TRUE(sim::reg_key_exists(kServiceKeyPath));
  EXPECT_EQ(output, "");
}

struct PnfCase {
  const char* inf;
  const char* pnf;  // "" none
};

TEST(PnfName, FromTheInfNameInAnyCase) {
  const PnfCase cases[] = {{"oem12.inf", "oem12.pnf"},
                           {"OEM12.INF", "OEM12.pnf"},
                           {"a.inf.inf", "a.pnf"},
                           {"morvellan", ""},
                           {".inf", ""},
                           {"x.Inf", "x.pnf"}};
  for (const PnfCase& c : cases) {
    char pnf[port::MAX_PATH];
    EXPECT_EQ(pnf_name_for(c.inf, pnf), c.pnf[0] != '\0') << c.inf;
    EXPECT_STREQ(pnf, c.pnf) << c.inf;
  }
}

TEST(PlainFileName, RejectsEveryWayOutOfTheDirectory) {
  for (const char* bad : {"", "..\\x.inf", "../x.inf", "a\\b.inf", "C:x.inf", "\\x.inf"}) {
    EXPECT_FALSE(is_plain_file_name(bad)) << bad;
  }
  EXPECT_TRUE(is_plain_file_name("oem12.inf"));
}

}  // namespace

namespace {

// Where Windows keeps a driver store the removal takes our INF out through SetupUninstallOEMInf,
// staged package and all; when that fails, the INF stays and is named once, so that the package
// can still be found by a later removal, and the step reports the failure.  A name that is no
// published package goes as files.  Before Vista the files are deleted as they are.
TEST_F(PnpRemove, AnInfOfOursGoesWithItsPackageWhereThereIsADriverStore) {
  const struct {
    const char* label;
    port::DWORD major;
    port::DWORD uninstall_error;  // fault on SetupUninstallOEMInfA, 0 none
    bool inf_stays;
    bool package_stays;
    const char* errors;
  } cases[] = {
      {"Windows 7", 6, 0, false, false, ""},
      {"Windows 7, uninstall refused", 6, port::ERROR_ACCESS_DENIED, true, true,
       "Unable to delete C:\\WINDOWS\\inf\\oem0.inf\n"},
      {"Windows 7, not an installed package", 6, port::ERROR_NOT_AN_INSTALLED_OEM_INF, true, true,
       "Unable to delete C:\\WINDOWS\\inf\\oem0.inf\n"},
      {"XP", 5, 0, false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::clear_faults();
    sim::set_version(port::VER_PLATFORM_WIN32_NT, c.major, 1, 1);
    char name[port::MAX_PATH];
    ASSERT_TRUE(port::SetupCopyOEMInfA("C:\\Tessaridge\\pnp\\morvellan.inf", nullptr, port::SPOST_PATH, 0,
                                       name, sizeof name, nullptr, nullptr));
    ASSERT_STREQ(name, "C:\\WINDOWS\\inf\\oem0.inf");
    if (c.uninstall_error != 0) sim::add_fault("SetupUninstallOEMInfA", "", 0, c.uninstall_error);
    ::testing::internal::CaptureStderr();
    int reboot = 0;
    EXPECT_EQ(delete_pnp_files("", "", "oem0.inf", "oem0.pnf", &reboot), c.uninstall_error);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.errors);
    EXPECT_EQ(inf_exists("oem0.inf"), c.inf_stays);
    EXPECT_EQ(inf_exists("oem0.pnf"), c.inf_stays);
    std::string store = sim::host_path("C:\\WINDOWS\\System32\\DriverStore\\FileRepository");
    std::error_code error;
    EXPECT_EQ(std::filesystem::is_directory(store, error) && !std::filesystem::is_empty(store, error),
              c.package_stays);
    sim::clear_faults();
    port::SetupUninstallOEMInfA("oem0.inf", port::SUOI_FORCEDELETE, nullptr);
  }
}

// Another vendor's package that mentions a board of ours in a comment is no package of ours:
// the removal takes ours out of the INF directory and the driver store, and leaves theirs, file
// and staged package, as it was.
TEST_F(PnpRemove, AnotherVendorsInfThatMentionsOurBoardsStays) {
  sim::set_version(port::VER_PLATFORM_WIN32_NT, 6, 1, 1);
  sim::write_file("C:\\Vendor\\tsrgmon.inf",
                  "; tsrgmon.inf: watches " + std::string(supported_hardware_ids[1]) +
                      "\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n"
                      "[Manufacturer]\r\n%Vendor% = Models, NTx86\r\n"
                      "[Models.NTx86]\r\n%Monitor% = Install, ROOT\\TSRGMON\r\n"
                      "[Strings]\r\nVendor = \"Vendor\"\r\nMonitor = \"Monitor\"\r\n");
  char ours[port::MAX_PATH];
  char theirs[port::MAX_PATH];
  ASSERT_TRUE(port::SetupCopyOEMInfA("C:\\Tessaridge\\pnp\\morvellan.inf", nullptr, port::SPOST_PATH, 0, ours,
                                     sizeof ours, nullptr, nullptr));
  ASSERT_TRUE(port::SetupCopyOEMInfA("C:\\Vendor\\tsrgmon.inf", nullptr, port::SPOST_PATH, 0, theirs,
                                     sizeof theirs, nullptr, nullptr));
  EXPECT_EQ(remove(), 0);
  EXPECT_FALSE(sim::file_exists(ours));
  EXPECT_TRUE(sim::file_exists(theirs)) << theirs;
  std::vector<std::string> staged;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(
           sim::host_path("C:\\WINDOWS\\System32\\DriverStore\\FileRepository"), error))
    staged.push_back(entry.path().filename().string().substr(0, entry.path().filename().string().find('_')));
  EXPECT_EQ(staged, std::vector<std::string>{"tsrgmon.inf"});
}

}  // namespace
