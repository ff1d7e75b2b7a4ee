// The service manager: stopping, deleting, vanishing, and the awkward services that don't.
#include <gtest/gtest.h>

#include <string>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

constexpr port::DWORD kAllRights = port::DELETE | port::SERVICE_STOP | port::SERVICE_QUERY_STATUS;

class ServicesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::add_service("halvik", 1, port::SERVICE_RUNNING);
    sim::reg_set_dword("SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters", "PHYBUFSIZE", 1);
    manager_ = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    port::CloseServiceHandle(manager_);
    MachineTest::TearDown();
  }

  port::SC_HANDLE open(port::DWORD access = kAllRights) {
    return port::OpenServiceA(manager_, "halvik", access);
  }

  port::DWORD query(port::SC_HANDLE service) {
    port::SERVICE_STATUS status{};
    EXPECT_TRUE(port::QueryServiceStatus(service, &status));
    return status.dwCurrentState;
  }

  port::SC_HANDLE manager_ = nullptr;
};

TEST_F(ServicesTest, StopTakesARunningServiceThroughStopPendingToStopped) {
  port::SC_HANDLE service = open();
  port::SERVICE_STATUS status{};
  ASSERT_TRUE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, port::SERVICE_STOP_PENDING);
  EXPECT_EQ(status.dwServiceType, 1u);
  EXPECT_EQ(query(service), port::SERVICE_STOPPED);
  EXPECT_FALSE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_NOT_ACTIVE);
  port::CloseServiceHandle(service);
  EXPECT_EQ(sim::service_state("halvik"), port::SERVICE_STOPPED);
}

TEST_F(ServicesTest, AStuckServiceStaysStopPending) {
  sim::set_service_stop_stuck("halvik", true);
  port::SC_HANDLE service = open();
  port::SERVICE_STATUS status{};
  ASSERT_TRUE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(query(service), port::SERVICE_STOP_PENDING);
  EXPECT_FALSE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  port::CloseServiceHandle(service);
}

TEST_F(ServicesTest, DeletedServiceVanishesWithItsKeyWhenTheLastHandleCloses) {
  sim::set_service_state("halvik", port::SERVICE_STOPPED);
  port::SC_HANDLE first = open();
  port::SC_HANDLE second = open(port::SERVICE_QUERY_STATUS);
  ASSERT_TRUE(port::DeleteService(first));
  EXPECT_FALSE(port::DeleteService(first));
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_MARKED_FOR_DELETE);
  port::CloseServiceHandle(first);
  EXPECT_TRUE(sim::service_exists("halvik"));  // still held by the second handle
  port::DWORD flag = 0;
  EXPECT_TRUE(sim::reg_get_dword("SYSTEM\\CurrentControlSet\\Services\\halvik", "DeleteFlag", &flag));
  EXPECT_EQ(flag, 1u);
  port::CloseServiceHandle(second);
  EXPECT_FALSE(sim::service_exists("halvik"));
  EXPECT_FALSE(sim::reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\halvik"));
  EXPECT_EQ(port::OpenServiceA(manager_, "halvik", kAllRights), nullptr);
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServicesTest, ALingeringServiceStaysMarkedForGood) {
  sim::set_service_state("halvik", port::SERVICE_STOPPED);
  sim::set_service_delete_linger("halvik", true);
  port::SC_HANDLE service = open();
  ASSERT_TRUE(port::DeleteService(service));
  port::CloseServiceHandle(service);
  service = open();
  ASSERT_NE(service, nullptr);
  EXPECT_FALSE(port::DeleteService(service));
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_MARKED_FOR_DELETE);
  port::CloseServiceHandle(service);
  EXPECT_TRUE(sim::reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters"));
}

TEST_F(ServicesTest, AServiceStillRunningDoesNotVanish) {
  port::SC_HANDLE service = open();
  ASSERT_TRUE(port::DeleteService(service));
  port::CloseServiceHandle(service);
  EXPECT_TRUE(sim::service_exists("halvik"));
  service = open();
  port::SERVICE_STATUS status{};
  ASSERT_TRUE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(query(service), port::SERVICE_STOPPED);
  port::CloseServiceHandle(service);
  EXPECT_FALSE(sim::service_exists("halvik"));
}

// A process's handles close when it ends, as Windows closes them: a service the program marked
// for deletion and stopped goes then, though the program never closed its handle.
TEST_F(ServicesTest, TheEndOfTheProcessClosesItsHandles) {
  const struct {
    const char* label;
    port::DWORD state;
    bool mark;
    bool linger;
    bool known_after;
  } cases[] = {
      {"marked and stopped: goes", port::SERVICE_STOPPED, true, false, false},
      {"marked, still running: stays marked", port::SERVICE_RUNNING, true, false, true},
      {"marked, held by another program: stays", port::SERVICE_STOPPED, true, true, true},
      {"not marked: stays", port::SERVICE_STOPPED, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::add_service("halvik", 1, c.state);
    sim::set_service_delete_linger("halvik", c.linger);
    manager_ = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
    port::SC_HANDLE service = open();
    if (c.mark) {
      ASSERT_TRUE(port::DeleteService(service));
    }
    port::HKEY key = nullptr;
    ASSERT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, "SYSTEM", 0, port::KEY_READ, &key), 0);
    ASSERT_NE(port::CreateFileA("C:\\Tessaridge\\pnp\\morvellan.inf", port::GENERIC_READ, 0, nullptr,
                                port::OPEN_EXISTING, 0, nullptr),
              port::INVALID_HANDLE_VALUE);
    port::shutdown();
    EXPECT_EQ(sim::open_handle_count(), 0u);
    EXPECT_EQ(sim::service_exists("halvik"), c.known_after);
    EXPECT_EQ(sim::reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\halvik"), c.known_after);
    sim::set_service_delete_linger("halvik", false);
    sim::restart_machine();
  }
  manager_ = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
}

TEST_F(ServicesTest, RightsOfTheHandleCount) {
  port::SC_HANDLE service = open(port::SERVICE_STOP | port::SERVICE_QUERY_STATUS);
  EXPECT_FALSE(port::DeleteService(service));
  EXPECT_EQ(port::GetLastError(), port::ERROR_ACCESS_DENIED);
  port::CloseServiceHandle(service);
  service = open(port::SERVICE_QUERY_STATUS);
  port::SERVICE_STATUS status{};
  EXPECT_FALSE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(port::GetLastError(), port::ERROR_ACCESS_DENIED);
  port::CloseServiceHandle(service);
  service = open(port::DELETE);
  EXPECT_FALSE(port::QueryServiceStatus(service, &status));
  EXPECT_EQ(port::GetLastError(), port::ERROR_ACCESS_DENIED);
  port::CloseServiceHandle(service);
}

TEST_F(ServicesTest, AKeyWithoutTypeIsNoService) {
  sim::reg_create_key("SYSTEM\\CurrentControlSet\\Services\\NotAService");
  EXPECT_EQ(port::OpenServiceA(manager_, "NotAService", kAllRights), nullptr);
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(sim::service_state("NotAService"), 0u);
  // A key given a Type is a service the manager reads at the next boot, not before.
  sim::reg_set_dword("SYSTEM\\CurrentControlSet\\Services\\Plain", "Type", 1);
  EXPECT_EQ(sim::service_state("plain"), 0u);
  sim::restart_machine();
  EXPECT_EQ(sim::service_state("plain"), port::SERVICE_STOPPED);
}

// The manager keeps its own database: what happens to the Services keys between restarts
// changes nothing it knows, and a service marked for deletion blocks its name until it goes.
TEST_F(ServicesTest, TheDatabaseOutlivesTheKeysUntilTheRestart) {
  const struct {
    const char* label;
    bool stuck;        // the driver won't stop: it stays marked until the restart
    bool delete_key;   // someone deletes the Services key afterwards
    bool known_after;  // still known once the handles are closed
  } cases[] = {
      {"stopped, key kept", false, false, false},
      {"stuck, key kept", true, false, true},
      {"stuck, key deleted", true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::add_service("halvik", 1, port::SERVICE_RUNNING);
    sim::set_service_stop_stuck("halvik", c.stuck);
    port::SC_HANDLE service = open();
    port::SERVICE_STATUS status{};
    ASSERT_TRUE(port::ControlService(service, port::SERVICE_CONTROL_STOP, &status));
    query(service);
    ASSERT_TRUE(port::DeleteService(service));
    port::CloseServiceHandle(service);
    if (c.delete_key) sim::reg_delete_key("SYSTEM\\CurrentControlSet\\Services\\halvik");
    std::string error;
    ASSERT_TRUE(sim::save_machine(&error)) << error;
    ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;  // the database is kept in machine.ini
    manager_ = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(sim::service_exists("halvik"), c.known_after);
    if (c.known_after) {
      service = open();
      ASSERT_NE(service, nullptr);
      EXPECT_FALSE(port::DeleteService(service));
      EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_MARKED_FOR_DELETE);
      port::CloseServiceHandle(service);
    }
    sim::restart_machine();
    EXPECT_FALSE(sim::service_exists("halvik"));
    EXPECT_FALSE(sim::reg_key_exists("SYSTEM\\CurrentControlSet\\Services\\halvik"));
  }
}

TEST_F(ServicesTest, AServiceWhoseKeyIsDeletedIsStillKnownUntilTheRestart) {
  sim::reg_delete_key("SYSTEM\\CurrentControlSet\\Services\\halvik");
  port::SC_HANDLE service = open();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(query(service), port::SERVICE_RUNNING);
  port::CloseServiceHandle(service);
  sim::restart_machine();
  EXPECT_EQ(open(), nullptr);
  EXPECT_EQ(port::GetLastError(), port::ERROR_SERVICE_DOES_NOT_EXIST);
}

// At the restart boot, system and automatic services start, unless their image is missing;
// demand-start and disabled ones stay stopped.
TEST_F(ServicesTest, TheRestartStartsWhatStartsWithTheSystem) {
  const struct {
    port::DWORD start;
    const char* image;  // "" none
    port::DWORD state;
  } cases[] = {
      {0, "system32\\drivers\\boot.sys", port::SERVICE_RUNNING},
      {1, "\\SystemRoot\\system32\\drivers\\boot.sys", port::SERVICE_RUNNING},
      {2, "", port::SERVICE_RUNNING},  // a driver without ImagePath: System32\drivers\halvik.sys
      {2, "%SystemRoot%\\system32\\svc.exe -k group", port::SERVICE_RUNNING},  // arguments don't count
      {2, "\"C:\\WINDOWS\\system32\\svc.exe\" -k", port::SERVICE_RUNNING},
      {2, "\"%ProgramFiles%\\Vendor\\svc.exe\"", port::SERVICE_RUNNING},  // the system's variables expanded
      {2, "system32\\drivers\\missing.sys", port::SERVICE_STOPPED},
      {3, "system32\\drivers\\boot.sys", port::SERVICE_STOPPED},
      {4, "", port::SERVICE_STOPPED},
  };
  sim::set_env("ProgramFiles", "C:\\Program Files");
  sim::write_file("C:\\Program Files\\Vendor\\svc.exe", "MZ");
  for (const char* image : {"drivers\\boot.sys", "drivers\\halvik.sys", "svc.exe"})
    sim::write_file(std::string("C:\\WINDOWS\\system32\\") + image, "MZ");
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\halvik";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + " " + c.image);
    sim::add_service("halvik", 1, port::SERVICE_PAUSED);
    sim::reg_set_dword(key, "Start", c.start);
    if (*c.image != '\0') sim::reg_set_string(key, "ImagePath", c.image);
    sim::restart_machine();
    EXPECT_EQ(sim::service_state("halvik"), c.state);
    sim::reg_delete_key(key);
  }
}

}  // namespace
