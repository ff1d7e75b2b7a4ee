// Files, directories and the command interpreter on the simulated drives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

class FilesTest : public MachineTest {};

struct RmdirCase {
  const char* name;
  const char* command;
  std::vector<const char*> removed;
  std::vector<const char*> kept;
  bool succeeds;
};

class RmdirTest : public FilesTest, public ::testing::WithParamInterface<RmdirCase> {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    sim::write_file("C:\\My Dir\\halvik\\halvik.sys", "driver");
    sim::write_file("C:\\My\\inside.txt", "x");
    sim::write_file("C:\\Tessaridge\\install\\Dir\\halvik\\file.txt", "x");
    sim::write_file("C:\\WINDOWS\\halvik\\sub\\deep.txt", "x");
  }
};

TEST_P(RmdirTest, SplitsArgumentsAsCmdDoes) {
  int result = port::system(GetParam().command);
  EXPECT_EQ(result == 0, GetParam().succeeds) << result;
  for (const char* path : GetParam().removed) EXPECT_FALSE(sim::file_exists(path)) << path;
  for (const char* path : GetParam().kept) EXPECT_TRUE(sim::file_exists(path)) << path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RmdirTest,
    ::testing::Values(
        RmdirCase{
            "Plain", "rmdir /s /q C:\\WINDOWS\\halvik", {"C:\\WINDOWS\\halvik"}, {"C:\\WINDOWS\\inf"}, true},
        RmdirCase{"CaseIgnored", "RD /S /Q c:\\windows\\HALVIK", {"C:\\WINDOWS\\halvik"}, {}, true},
        RmdirCase{"Quoted",
                  "rmdir /s /q \"C:\\My Dir\\halvik\"",
                  {"C:\\My Dir\\halvik"},
                  {"C:\\My Dir", "C:\\My"},
                  true},
        // Unquoted, a blank splits the path in two: C:\My goes, and so does Dir\halvik relative
        // to the current directory C:\Tessaridge\install; C:\My Dir\halvik stays.
        RmdirCase{"UnquotedBlankRemovesTwoFolders",
                  "rmdir /s /q C:\\My Dir\\halvik",
                  {"C:\\My", "C:\\Tessaridge\\install\\Dir\\halvik"},
                  {"C:\\My Dir\\halvik\\halvik.sys"},
                  true},
        RmdirCase{"MissingPath", "rmdir /s /q C:\\Nowhere", {}, {"C:\\WINDOWS\\halvik"}, false},
        RmdirCase{"NotEmptyWithoutS",
                  "rmdir /q C:\\WINDOWS\\halvik",
                  {},
                  {"C:\\WINDOWS\\halvik\\sub\\deep.txt"},
                  false},
        RmdirCase{"OtherCommand",
                  "del /q C:\\WINDOWS\\halvik\\sub\\deep.txt",
                  {},
                  {"C:\\WINDOWS\\halvik\\sub\\deep.txt"},
                  false}),
    [](const ::testing::TestParamInfo<RmdirCase>& param_info) { return param_info.param.name; });

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
  EXPECT_EQ(port::spawnlp_wait("installx64.exe", "installx64.exe", "-6", "C:\\WINDOWS\\Temp\\instlib.tmp"),
            -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
