// Files, directories, searches and links on the simulated drives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

class FilesTest : public MachineTest {};

// A directory search and the links it meets, as Windows documents them: C:\Dir holds files, a
// folder, a link to the folder C:\Outside and a link to a file in it.
class FindTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    sim::write_file("C:\\Dir\\b.txt", "b");
    sim::write_file("C:\\Dir\\A.sys", "a");
    sim::write_file("C:\\Dir\\sub\\deep.txt", "d");
    sim::write_file("C:\\Outside\\o.txt", "o");
    ASSERT_TRUE(port::SetFileAttributesA("C:\\Dir\\A.sys", port::FILE_ATTRIBUTE_READONLY));
    std::filesystem::create_directory_symlink(sim::host_path("C:\\Outside"), sim::host_path("C:\\Dir\\link"));
    std::filesystem::create_symlink(sim::host_path("C:\\Outside\\o.txt"), sim::host_path("C:\\Dir\\flink"));
  }
  // The names a search lists, or its error as "error N".
  static std::vector<std::string> search(const char* pattern) {
    port::WIN32_FIND_DATAA entry{};
    port::HANDLE find = port::FindFirstFileA(pattern, &entry);
    if (find == port::INVALID_HANDLE_VALUE) return {"error " + std::to_string(port::GetLastError())};
    std::vector<std::string> names;
    do names.push_back(entry.cFileName);
    while (port::FindNextFileA(find, &entry));
    names.push_back("end " + std::to_string(port::GetLastError()));
    EXPECT_TRUE(port::FindClose(find));
    return names;
  }
};

TEST_F(FindTest, SearchesListWhatMatchesOrFailAsWindowsDoes) {
  const std::vector<std::string> all = {".", "..", "A.sys", "b.txt", "flink", "link", "sub", "end 18"};
  const struct {
    const char* pattern;
    std::vector<std::string> listed;
  } cases[] = {
      {"C:\\Dir\\*", all},
      {"c:/dir/*.*", all},
      {"C:\\DIR\\*.SYS", {"A.sys", "end 18"}},
      {"C:\\Dir\\?.txt", {"b.txt", "end 18"}},
      {"C:\\Dir\\sub", {"sub", "end 18"}},
      {"C:\\Dir\\link\\*", {".", "..", "o.txt", "end 18"}},  // a path goes through a link
      {"C:\\Dir\\*.none", {"error 2"}},
      {"C:\\Dir\\", {"error 2"}},  // a trailing backslash names nothing
      {"C:\\Nowhere\\*", {"error 3"}},
      {"C:\\Nowhere\\deeper\\*", {"error 3"}},
      {"C:\\Dir\\b.txt\\*", {"error 267"}},
      {"", {"error 3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(search(c.pattern), c.listed);
  }
  // A drive's root has neither "." nor "..".
  std::vector<std::string> root = search("C:\\*");
  EXPECT_EQ(std::count(root.begin(), root.end(), "."), 0);
  EXPECT_NE(std::find(root.begin(), root.end(), "Dir"), root.end());
}

TEST_F(FindTest, LinksAreListedAsThemselvesAndRemovedWithoutTheirTargets) {
  const port::DWORD reparse = port::FILE_ATTRIBUTE_REPARSE_POINT;
  const struct {
    const char* name;
    port::DWORD attributes;
  } entries[] = {
      {"link", reparse | port::FILE_ATTRIBUTE_DIRECTORY},
      {"flink", reparse},
      {"sub", port::FILE_ATTRIBUTE_DIRECTORY},
      {"A.sys", port::FILE_ATTRIBUTE_READONLY},
      {"b.txt", port::FILE_ATTRIBUTE_NORMAL},
  };
  for (const auto& e : entries) {
    SCOPED_TRACE(e.name);
    std::string path = std::string("C:\\Dir\\") + e.name;
    port::WIN32_FIND_DATAA entry{};
    port::HANDLE find = port::FindFirstFileA(path.c_str(), &entry);
    ASSERT_NE(find, port::INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::open_handle_count(), 1u);
    EXPECT_EQ(entry.dwFileAttributes, e.attributes);
    EXPECT_EQ(entry.dwReserved0, (e.attributes & reparse) != 0 ? 0xA000000Cu : 0u);  // IO_REPARSE_TAG_SYMLINK
    EXPECT_TRUE(port::FindClose(find));
    EXPECT_EQ(port::GetFileAttributesA(path.c_str()), e.attributes);
  }
  // Each link goes by its own call, as itself; the other call refuses it.
  const struct {
    port::BOOL (*remove)(const char*);
    const char* path;
    port::DWORD error;  // 0: removed
  } removals[] = {
      {port::RemoveDirectoryA, "C:\\Dir\\flink", 267},
      {port::DeleteFileA, "C:\\Dir\\link", port::ERROR_ACCESS_DENIED},
      {port::RemoveDirectoryA, "C:\\Dir\\link", 0},
      {port::DeleteFileA, "C:\\Dir\\flink", 0},
  };
  for (const auto& r : removals) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(r.remove(r.path) != port::FALSE, r.error == 0);
    if (r.error != 0) {
      EXPECT_EQ(port::GetLastError(), r.error);
    }
    EXPECT_EQ(sim::file_exists(r.path), r.error != 0);
  }
  EXPECT_EQ(sim::read_file("C:\\Outside\\o.txt"), "o");
}

// A search is no kernel handle: FindClose ends it, once.
TEST_F(FindTest, OnlyFindCloseEndsASearch) {
  port::WIN32_FIND_DATAA entry{};
  port::HANDLE find = port::FindFirstFileA("C:\\Dir\\b.txt", &entry);
  ASSERT_NE(find, port::INVALID_HANDLE_VALUE);
  EXPECT_FALSE(port::CloseHandle(find));
  EXPECT_TRUE(port::FindClose(find));
  for (port::BOOL ok : {port::FindClose(find), port::FindNextFileA(find, &entry)}) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(port::GetLastError(), port::ERROR_INVALID_HANDLE);
  }
}

TEST_F(FilesTest, TextModeWritesAndReadsCrLf) {
  std::FILE* file = port::fopen("C:\\WINDOWS\\Temp\\instlib.tmp", "w");
  ASSERT_NE(file, nullptr);
  std::fputs("0\nI\n..\\pnp\\morvellan.inf\n", file);
  std::fclose(file);
  EXPECT_EQ(sim::read_file("C:\\WINDOWS\\Temp\\instlib.tmp"), "0\r\nI\r\n..\\pnp\\morvellan.inf\r\n");

  sim::write_file("C:\\WINDOWS\\Temp\\answer.tmp", "1\r\nI\r\nbare\nend\r\x1Ahidden");
  file = port::fopen("c:\\windows\\temp\\ANSWER.TMP", "r");
  ASSERT_NE(file, nullptr);
  char text[64] = {};
  std::size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  // CR LF becomes "\n", a bare LF stays, a CR before Ctrl-Z stays, Ctrl-Z ends the file.
  EXPECT_EQ(std::string(text, length), "1\nI\nbare\nend\r");

  file = port::fopen("C:\\WINDOWS\\Temp\\answer.tmp", "rb");
  ASSERT_NE(file, nullptr);
  length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  EXPECT_EQ(length, std::strlen("1\r\nI\r\nbare\nend\r\x1Ahidden"));
}

TEST_F(FilesTest, FopenErrorsAreWindowsErrors) {
  errno = 0;
  EXPECT_EQ(port::fopen("C:\\WINDOWS\\Temp\\missing.txt", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(port::fopen("C:\\No\\Such\\Dir\\file.txt", "w"), nullptr);
  EXPECT_EQ(port::GetLastError(), port::ERROR_PATH_NOT_FOUND);
  sim::write_file("C:\\ro.txt", "x");
  ASSERT_TRUE(port::SetFileAttributesA("C:\\ro.txt", port::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(port::fopen("C:\\ro.txt", "w"), nullptr);
  EXPECT_EQ(errno, EACCES);
}

TEST_F(FilesTest, ReadOnlyFilesResistDeletionUntilReset) {
  sim::write_file("C:\\WINDOWS\\inf\\oem3.inf", "[Version]\r\n");
  ASSERT_TRUE(port::SetFileAttributesA("C:\\WINDOWS\\inf\\oem3.inf",
                                       port::FILE_ATTRIBUTE_READONLY | port::FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(port::GetFileAttributesA("c:\\windows\\inf\\OEM3.INF"),
            port::FILE_ATTRIBUTE_READONLY | port::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(port::DeleteFileA("C:\\WINDOWS\\inf\\oem3.inf"));
  EXPECT_EQ(port::GetLastError(), port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(port::remove("C:\\WINDOWS\\inf\\oem3.inf"), -1);
  ASSERT_TRUE(port::SetFileAttributesA("C:\\WINDOWS\\inf\\oem3.inf", port::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(port::GetFileAttributesA("C:\\WINDOWS\\inf\\oem3.inf"), port::FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(port::DeleteFileA("C:\\WINDOWS\\inf\\oem3.inf"));
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\inf\\oem3.inf"));
}

// The image of a loaded driver is mapped: deleting it fails as Windows fails it
// (STATUS_CANNOT_DELETE, reported as access denied) until the driver has stopped; renaming it
// and scheduling its deletion for the restart still work.
TEST_F(FilesTest, TheImageOfALoadedDriverCanBeDeletedOnlyOnceItStopped) {
  constexpr char kImage[] = "C:\\WINDOWS\\System32\\drivers\\halvik.sys";
  const struct {
    port::DWORD state;
    const char* image_path;  // "" none: the driver's default, System32\drivers\halvik.sys
    port::DWORD error;       // 0: deleted
  } cases[] = {
      {port::SERVICE_RUNNING, "system32\\DRIVERS\\halvik.sys", port::ERROR_ACCESS_DENIED},
      {port::SERVICE_STOP_PENDING, "\\SystemRoot\\System32\\drivers\\halvik.sys", port::ERROR_ACCESS_DENIED},
      {port::SERVICE_RUNNING, "\\??\\C:\\WINDOWS\\system32\\drivers\\halvik.sys", port::ERROR_ACCESS_DENIED},
      {port::SERVICE_RUNNING, "", port::ERROR_ACCESS_DENIED},
      {port::SERVICE_RUNNING, "system32\\drivers\\other.sys", 0},
      {port::SERVICE_STOPPED, "system32\\drivers\\halvik.sys", 0},
  };
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\halvik";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image_path);
    sim::write_file(kImage, "MZ");
    sim::add_service("halvik", 1, c.state);
    if (*c.image_path != '\0') sim::reg_set_string(key, "ImagePath", c.image_path);
    port::SetLastError(0);
    EXPECT_EQ(port::DeleteFileA(kImage), c.error == 0 ? port::TRUE : port::FALSE);
    EXPECT_EQ(port::GetLastError(), c.error);
    sim::reg_delete_key(key);
    sim::restart_machine();
  }
  sim::write_file(kImage, "MZ");
  sim::add_service("halvik", 1, port::SERVICE_RUNNING);
  EXPECT_EQ(port::remove(kImage), -1);
  EXPECT_TRUE(port::MoveFileExA(kImage, nullptr, port::MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(port::MoveFileExA(kImage, "C:\\WINDOWS\\System32\\drivers\\halvik.old", 0));
}

// The running program's own file is mapped while it runs: it can't be deleted or replaced, in
// place or by a move, but NTFS lets it be renamed, and the protection goes with it; its old
// name is then free.  GetModuleFileNameA keeps the name it started as.
TEST_F(FilesTest, TheRunningImageCanBeRenamedButNotDeletedOrReplaced) {
  char buffer[port::MAX_PATH];
  const std::string image(buffer, port::GetModuleFileNameA(nullptr, buffer, sizeof buffer));
  const std::string renamed = image + ".old";
  const char* other = "C:\\other.exe";
  sim::write_file(image, "MZ running");
  sim::write_file(other, "MZ other");
  const struct {
    const char* what;
    bool done;
  } steps[] = {
      {"delete", false},         {"remove", false},        {"copy onto", false},   {"move onto", false},
      {"rename", true},          {"delete renamed", false}, {"copy onto", true},   {"delete", true},
      {"schedule renamed", true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const std::string what = step.what;
    port::SetLastError(0);
    bool done = what == "delete"             ? port::DeleteFileA(image.c_str()) != port::FALSE
                : what == "remove"           ? port::remove(image.c_str()) == 0
                : what == "copy onto"        ? port::CopyFileA(other, image.c_str(), port::FALSE) != port::FALSE
                : what == "move onto"        ? port::MoveFileExA(other, image.c_str(), port::MOVEFILE_REPLACE_EXISTING) != port::FALSE
                : what == "rename"           ? port::MoveFileExA(image.c_str(), renamed.c_str(), 0) != port::FALSE
                : what == "delete renamed"   ? port::DeleteFileA(renamed.c_str()) != port::FALSE
                                             : port::MoveFileExA(renamed.c_str(), nullptr,
                                                                 port::MOVEFILE_DELAY_UNTIL_REBOOT) != port::FALSE;
    EXPECT_EQ(done, step.done);
    EXPECT_EQ(port::GetLastError(), step.done ? port::GetLastError() : port::ERROR_ACCESS_DENIED);
  }
  EXPECT_TRUE(sim::file_exists(renamed));
  EXPECT_EQ(std::string(buffer, port::GetModuleFileNameA(nullptr, buffer, sizeof buffer)), image);
}

TEST_F(FilesTest, MissingFileAndMissingDirectoryDiffer) {
  EXPECT_EQ(port::GetFileAttributesA("C:\\WINDOWS\\nothing.dll"), port::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(port::GetLastError(), port::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(port::GetFileAttributesA("C:\\Nothing\\nothing.dll"), port::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(port::GetLastError(), port::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(port::DeleteFileA("C:\\WINDOWS\\nothing.dll"));
  EXPECT_EQ(port::GetLastError(), port::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(port::SetCurrentDirectoryA("C:\\Tessaridge\\missing"));
  EXPECT_EQ(port::GetLastError(), port::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(port::SetCurrentDirectoryA("C:\\Missing\\missing"));
  EXPECT_EQ(port::GetLastError(), port::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(port::GetFileAttributesA("C:\\WINDOWS"), port::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(port::GetFileAttributesA("Q:\\"), port::INVALID_FILE_ATTRIBUTES);  // no such drive
  EXPECT_EQ(port::GetLastError(), port::ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, RelativePathsFollowTheCurrentDirectory) {
  sim::write_file("C:\\Tessaridge\\pnp\\morvellan.inf", "[Version]\r\n");
  char buffer[port::MAX_PATH];
  char* file_part = nullptr;
  port::DWORD length = port::GetFullPathNameA("..\\pnp\\morvellan.inf", sizeof buffer, buffer, &file_part);
  EXPECT_STREQ(buffer, "C:\\Tessaridge\\pnp\\morvellan.inf");
  EXPECT_EQ(length, std::strlen(buffer));
  EXPECT_STREQ(file_part, "morvellan.inf");
  EXPECT_EQ(port::GetFullPathNameA("..\\pnp\\morvellan.inf", 10, buffer, nullptr), length + 1);
  EXPECT_NE(port::GetFileAttributesA("..\\PNP\\morvellan.inf"), port::INVALID_FILE_ATTRIBUTES);

  ASSERT_TRUE(port::SetCurrentDirectoryA("\\windows\\INF"));
  ASSERT_EQ(port::GetCurrentDirectoryA(sizeof buffer, buffer), std::strlen("C:\\windows\\INF"));
  EXPECT_STREQ(buffer, "C:\\windows\\INF");
  EXPECT_EQ(port::GetCurrentDirectoryA(3, buffer), std::strlen("C:\\windows\\INF") + 1);
  EXPECT_NE(port::GetFileAttributesA("machine.inf"), port::INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(port::GetFileAttributesA("/Windows/inf/USB.inf"), port::INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesTest, CreateFileReadsAndSharesAsAsked) {
  sim::write_file("C:\\WINDOWS\\inf\\oem4.inf", "abcdef");
  port::HANDLE file = port::CreateFileA("C:\\WINDOWS\\inf\\oem4.inf", port::GENERIC_READ, 0, nullptr,
                                        port::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, port::INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::open_handle_count(), 1u);
  EXPECT_EQ(port::GetFileSize(file, nullptr), 6u);
  char buffer[4];
  port::DWORD read = 0;
  ASSERT_TRUE(port::ReadFile(file, buffer, 4, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "abcd");
  ASSERT_TRUE(port::ReadFile(file, buffer, 4, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "ef");
  EXPECT_FALSE(port::DeleteFileA("C:\\WINDOWS\\inf\\oem4.inf"));
  EXPECT_EQ(port::GetLastError(), port::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(port::CreateFileA("C:\\WINDOWS\\inf\\oem4.inf", port::GENERIC_READ, port::FILE_SHARE_READ,
                              nullptr, port::OPEN_EXISTING, 0, nullptr),
            port::INVALID_HANDLE_VALUE);
  EXPECT_EQ(port::GetLastError(), port::ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(port::CloseHandle(file));
  EXPECT_FALSE(port::CloseHandle(file));
  EXPECT_EQ(port::GetLastError(), port::ERROR_INVALID_HANDLE);
  EXPECT_TRUE(port::DeleteFileA("C:\\WINDOWS\\inf\\oem4.inf"));
}

TEST_F(FilesTest, EnvironmentNamesIgnoreCase) {
  EXPECT_STREQ(port::getenv("SYSTEMROOT"), "C:\\WINDOWS");
  EXPECT_STREQ(port::getenv("temp"), "C:\\WINDOWS\\Temp");
  sim::unset_env("TEMP");
  EXPECT_EQ(port::getenv("TEMP"), nullptr);
  sim::set_env("Tmp", "D:\\tmp");
  EXPECT_STREQ(port::getenv("TMP"), "D:\\tmp");
}

TEST_F(FilesTest, SpawnOfAProgramNotOnTheDriveFailsWithEnoent) {
  errno = 0;
  EXPECT_EQ(port::spawnl_wait("installx64.exe", "installx64.exe", "-6", "C:\\WINDOWS\\Temp\\instlib.tmp"),
            -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---- MoveFileExA ---------------------------------------------------------------------------

const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kDriver[] = "C:\\WINDOWS\\system32\\drivers\\halvik.sys";
constexpr port::DWORD kUntouched = 0xDEAD;  // a last error no call sets

// The pending operations as text, '|' for every NUL.
std::string pending_operations() {
  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!sim::reg_get(kSessionManager, "PendingFileRenameOperations", &type, &data)) return "(none)";
  std::string text = type == port::REG_MULTI_SZ ? "" : "(not REG_MULTI_SZ) ";
  for (std::uint8_t c : data) text += c == 0 ? '|' : static_cast<char>(c);
  return text;
}

struct DelayedMoveCase {
  const char* name;
  const char* existing;
  const char* new_name;
  port::DWORD flags;  // besides MOVEFILE_DELAY_UNTIL_REBOOT
  const char* fault;  // argument of a MoveFileExA fault, nullptr for none
  port::DWORD error;  // 0: the call succeeds
  const char* added;  // what the list gains after the earlier operation
};

class DelayedMoveTest : public FilesTest, public ::testing::WithParamInterface<DelayedMoveCase> {};

// An earlier deletion is already pending; each call appends after it, or changes nothing.
TEST_P(DelayedMoveTest, AppendsToThePendingOperationsAndMovesNothingNow) {
  const DelayedMoveCase& c = GetParam();
  sim::write_file(kDriver, "driver");
  const std::string earlier = "\\??\\C:\\old.tmp|||";
  sim::reg_set(kSessionManager, "PendingFileRenameOperations", port::REG_MULTI_SZ,
               {'\\', '?', '?', '\\', 'C', ':', '\\', 'o', 'l', 'd', '.', 't', 'm', 'p', 0, 0, 0});
  if (c.fault != nullptr) sim::add_fault("MoveFileExA", c.fault, 0, c.error);
  port::SetLastError(kUntouched);
  EXPECT_EQ(port::MoveFileExA(c.existing, c.new_name, port::MOVEFILE_DELAY_UNTIL_REBOOT | c.flags) != 0,
            c.error == 0);
  EXPECT_EQ(port::GetLastError(), c.error == 0 ? kUntouched : c.error);
  EXPECT_EQ(pending_operations(), c.error == 0 ? earlier.substr(0, earlier.size() - 1) + c.added : earlier);
  EXPECT_EQ(sim::read_file(kDriver), "driver");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DelayedMoveTest,
    ::testing::Values(
        DelayedMoveCase{"Deletion", kDriver, nullptr, 0, nullptr, 0,
                        "\\??\\C:\\WINDOWS\\system32\\drivers\\halvik.sys|||"},
        DelayedMoveCase{"MissingFileIsScheduledAnyway", "C:\\Nowhere\\x.sys", nullptr, 0, nullptr, 0,
                        "\\??\\C:\\Nowhere\\x.sys|||"},
        DelayedMoveCase{"RelativeNameIsMadeFull", "..\\pnp\\x.inf", nullptr, 0, nullptr, 0,
                        "\\??\\C:\\Tessaridge\\pnp\\x.inf|||"},
        DelayedMoveCase{"Rename", kDriver, "C:\\b.sys", 0, nullptr, 0,
                        "\\??\\C:\\WINDOWS\\system32\\drivers\\halvik.sys|\\??\\C:\\b.sys||"},
        DelayedMoveCase{"RenameThatMayReplace", kDriver, "C:\\b.sys", port::MOVEFILE_REPLACE_EXISTING,
                        nullptr, 0, "\\??\\C:\\WINDOWS\\system32\\drivers\\halvik.sys|!\\??\\C:\\b.sys||"},
        DelayedMoveCase{"CopyAllowedIsRefused", kDriver, "C:\\b.sys", port::MOVEFILE_COPY_ALLOWED, nullptr,
                        port::ERROR_INVALID_PARAMETER, ""},
        DelayedMoveCase{"NetworkPathIsRefused", "\\\\server\\share\\x.sys", nullptr, 0, nullptr,
                        port::ERROR_INVALID_PARAMETER, ""},
        DelayedMoveCase{"EmptyNameIsNoPath", "", nullptr, 0, nullptr, port::ERROR_PATH_NOT_FOUND, ""},
        DelayedMoveCase{"FaultOnTheFile", kDriver, nullptr, 0, "c:\\windows\\system32\\DRIVERS\\halvik.sys",
                        port::ERROR_SHARING_VIOLATION, ""},
        DelayedMoveCase{"FaultOnTheKey", kDriver, nullptr, 0, kSessionManager, port::ERROR_ACCESS_DENIED,
                        ""}),
    [](const ::testing::TestParamInfo<DelayedMoveCase>& param_info) { return param_info.param.name; });

TEST_F(FilesTest, DelayedMoveCreatesTheKeyAndTheListSurvivesASave) {
  sim::reg_delete_key(kSessionManager);
  ASSERT_TRUE(port::MoveFileExA("C:\\a.tmp", nullptr, port::MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(port::MoveFileExA("C:\\b.tmp", "C:\\c.tmp", port::MOVEFILE_DELAY_UNTIL_REBOOT));
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  EXPECT_EQ(pending_operations(), "\\??\\C:\\a.tmp||\\??\\C:\\b.tmp|\\??\\C:\\c.tmp||");
}

// The restart carries the list out as MoveFileEx documents it: a directory is deleted only
// when empty, and a rename replaces an existing file only when asked to.
TEST_F(FilesTest, TheRestartCarriesOutThePendingOperationsAsDocumented) {
  sim::write_file("C:\\gone.tmp", "x");
  sim::write_file("C:\\full\\kept.txt", "x");
  sim::make_directory("C:\\empty");
  for (const char* name : {"C:\\from1.txt", "C:\\from2.txt", "C:\\to1.txt", "C:\\to2.txt"})
    sim::write_file(name, name);
  const unsigned flags = port::MOVEFILE_DELAY_UNTIL_REBOOT;
  for (const char* name : {"C:\\gone.tmp", "C:\\full", "C:\\empty"})
    ASSERT_TRUE(port::MoveFileExA(name, nullptr, flags));
  ASSERT_TRUE(port::MoveFileExA("C:\\from1.txt", "C:\\to1.txt", flags));
  ASSERT_TRUE(port::MoveFileExA("C:\\from2.txt", "C:\\to2.txt", flags | port::MOVEFILE_REPLACE_EXISTING));
  sim::restart_machine();
  const struct {
    const char* path;
    bool exists;
  } after[] = {{"C:\\gone.tmp", false},
               {"C:\\full\\kept.txt", true},
               {"C:\\empty", false},
               {"C:\\from1.txt", true},
               {"C:\\from2.txt", false}};
  for (const auto& c : after) EXPECT_EQ(sim::file_exists(c.path), c.exists) << c.path;
  EXPECT_EQ(sim::read_file("C:\\to1.txt"), "C:\\to1.txt");
  EXPECT_EQ(sim::read_file("C:\\to2.txt"), "C:\\from2.txt");
  EXPECT_EQ(pending_operations(), "(none)");
}

struct MoveCase {
  const char* name;
  const char* new_name;
  port::DWORD flags;
  port::DWORD error;  // 0: a.txt (content "a") is moved to new_name
};

class MoveTest : public FilesTest, public ::testing::WithParamInterface<MoveCase> {};

TEST_P(MoveTest, MovesNowOrFailsWithWindowsError) {
  const MoveCase& c = GetParam();
  sim::write_file("C:\\Tessaridge\\a.txt", "a");
  sim::write_file("C:\\Tessaridge\\b.txt", "b");
  port::SetLastError(kUntouched);
  EXPECT_EQ(port::MoveFileExA("C:\\Tessaridge\\a.txt", c.new_name, c.flags) != 0, c.error == 0);
  EXPECT_EQ(port::GetLastError(), c.error == 0 ? kUntouched : c.error);
  if (c.error == 0) {
    EXPECT_EQ(sim::read_file(c.new_name), "a");
    // A new spelling of the same name leaves the file where it is.
    bool same_name = std::strcmp(c.new_name, "C:\\Tessaridge\\A.TXT") == 0;
    EXPECT_EQ(sim::file_exists("C:\\Tessaridge\\a.txt"), same_name);
  } else {
    EXPECT_EQ(sim::read_file("C:\\Tessaridge\\a.txt"), "a");
  }
  EXPECT_EQ(pending_operations(), "(none)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveTest,
    ::testing::Values(MoveCase{"Rename", "C:\\Tessaridge\\c.txt", 0, 0},
                      MoveCase{"OtherFolder", "C:\\WINDOWS\\c.txt", 0, 0},
                      MoveCase{"NewSpellingOfItsName", "C:\\Tessaridge\\A.TXT", 0, 0},
                      MoveCase{"ExistingTargetStays", "C:\\Tessaridge\\b.txt", 0, port::ERROR_ALREADY_EXISTS},
                      MoveCase{"ExistingTargetReplaced", "C:\\Tessaridge\\b.txt",
                               port::MOVEFILE_REPLACE_EXISTING, 0},
                      MoveCase{"MissingTargetFolder", "C:\\Nowhere\\c.txt", 0, port::ERROR_PATH_NOT_FOUND},
                      MoveCase{"OtherDrive", "D:\\c.txt", 0, 17},  // ERROR_NOT_SAME_DEVICE
                      MoveCase{"DeletionOnlyAtRestart", nullptr, 0, port::ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<MoveCase>& param_info) { return param_info.param.name; });

}  // namespace

// Names are found case-insensitively through an index of each directory, which must follow
// changes made by anyone: in the same timestamp tick as the last lookup (the directory's time
// stays as it was) or long after it.
TEST_F(FilesTest, PathLookupFollowsEveryChangeToTheDirectory) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(sim::host_path("C:\\WINDOWS")) / "lookup";
  const struct {
    const char* remove;  // host names, changed behind the machine's back
    const char* create;
    const char* wanted;  // the Windows name asked for, in C:\WINDOWS\lookup
    const char* found;   // the host name it must resolve to
  } steps[] = {
      {"", "Alpha.inf", "ALPHA.INF", "Alpha.inf"}, {"Alpha.inf", "alpha.INF", "ALPHA.INF", "alpha.INF"},
      {"", "ALPHA.INF", "ALPHA.INF", "ALPHA.INF"}, {"ALPHA.INF", "", "Alpha.Inf", "alpha.INF"},
      {"alpha.INF", "", "alpha.inf", "alpha.inf"}, {"", "sub", "SUB\\x.inf", "sub/x.inf"},
  };
  for (bool same_tick : {true, false}) {
    SCOPED_TRACE(same_tick ? "same tick" : "long after");
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto& s : steps) {
      SCOPED_TRACE(s.wanted);
      fs::file_time_type before = fs::last_write_time(dir);
      if (*s.remove != '\0') fs::remove(dir / s.remove);
      if (*s.create != '\0') std::ofstream(dir / s.create) << "x";
      if (same_tick) fs::last_write_time(dir, before);
      EXPECT_EQ(sim::host_path(std::string("C:\\WINDOWS\\lookup\\") + s.wanted), (dir / s.found).string());
      if (!same_tick) fs::last_write_time(dir, fs::last_write_time(dir) - std::chrono::seconds(10));
    }
  }
}
