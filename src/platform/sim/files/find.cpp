// Directory searches on the simulated drives: FindFirstFileA, FindNextFileA and FindClose.
//
// A search lists the entries of one directory whose names match the last part of the path
// ('*' any run of characters, '?' any one, "*.*" every name; case ignored), "." and ".." first
// except in a drive's root, then the rest in the case-insensitive order NTFS keeps.  What it
// lists is read when the search begins: entries deleted meanwhile are still listed, as
// Windows' buffered listing may still list them.  A host symbolic link stands for a Windows
// link (a junction or symbolic link): it is listed as itself, FILE_ATTRIBUTE_REPARSE_POINT
// with FILE_ATTRIBUTE_DIRECTORY when it points at a folder, never followed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kDirectoryNameInvalid = 267;  // ERROR_DIRECTORY: the path names a file
constexpr DWORD kNoAccess = 998;              // a record the system can't write
constexpr DWORD kSymlinkTag = 0xA000000C;     // IO_REPARSE_TAG_SYMLINK
// 100-nanosecond intervals from 1601 to 1970, the two epochs.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string result_text(BOOL ok) {
  return ok ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

char fold(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// The name against the pattern, case ignored.
bool matches(const char* pattern, const char* name) {
  if (std::strcmp(pattern, "*.*") == 0) pattern = "*";
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || (*pattern != '\0' && fold(*pattern) == fold(*name))) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

FILETIME file_time(const timespec& when) {
  std::uint64_t ticks = kUnixEpochAsFileTime + static_cast<std::uint64_t>(when.tv_sec) * 10000000ULL +
                        static_cast<std::uint64_t>(when.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// The entry `name` of the host directory, as a search reports it; false when it is gone.
bool describe(const std::string& host_dir, const std::string& windows_dir, const std::string& name,
              WIN32_FIND_DATAA* entry) {
  std::string host = host_dir + "/" + name;
  struct stat own {};
  if (::lstat(host.c_str(), &own) != 0) return false;
  *entry = WIN32_FIND_DATAA{};
  DWORD attributes = name == "." || name == ".." ? 0 : extra_attributes(windows_dir + "\\" + name);
  if (S_ISLNK(own.st_mode)) {
    struct stat target {};
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    entry->dwReserved0 = kSymlinkTag;
  } else if (S_ISDIR(own.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    if ((own.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    auto size = static_cast<std::uint64_t>(own.st_size);
    entry->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    entry->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  entry->dwFileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  entry->ftCreationTime = file_time(own.st_mtim);
  entry->ftLastAccessTime = file_time(own.st_atim);
  entry->ftLastWriteTime = file_time(own.st_mtim);
  std::strncpy(entry->cFileName, name.c_str(), sizeof entry->cFileName - 1);
  return true;
}

// The matching entries of the directory, in the order a search gives them.
std::vector<WIN32_FIND_DATAA> list_directory(const FileTarget& directory, const char* pattern) {
  std::vector<std::string> names;
  if (DIR* handle = ::opendir(directory.host.c_str())) {
    while (dirent* found = ::readdir(handle)) {
      std::string name = found->d_name;
      if (name != "." && name != ".." && matches(pattern, name.c_str())) names.push_back(name);
    }
    ::closedir(handle);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return upper(a) < upper(b) || (upper(a) == upper(b) && a < b);
  });
  // A drive's root has neither: nothing is above it.
  bool root = directory.full.size() <= 3;
  if (!root) {
    for (const char* dots : {"..", "."}) {
      if (matches(pattern, dots)) names.insert(names.begin(), dots);
    }
  }
  std::vector<WIN32_FIND_DATAA> entries;
  for (const std::string& name : names) {
    WIN32_FIND_DATAA entry;
    if (describe(directory.host, directory.full, name, &entry)) entries.push_back(entry);
  }
  return entries;
}

// The search a handle stands for; nullptr when it is none of this process's.
FindHandle* search_of(HANDLE find) {
  auto found = machine().finds.find(find);
  return found == machine().finds.end() ? nullptr : found->second.get();
}

std::string search_name(const FindHandle* search) {
  return search == nullptr ? "(invalid handle)" : quote(search->directory);
}

}  // namespace

HANDLE FindFirstFileA(const char* file_name, WIN32_FIND_DATAA* find_data) {
  std::string given = file_name == nullptr ? "" : file_name;
  // The directory part keeps its last separator, so that "C:\*" searches the root.
  std::size_t cut = given.find_last_of("\\/");
  if (cut == std::string::npos && given.size() >= 2 && given[1] == ':') cut = 1;
  std::string directory_part = cut == std::string::npos ? "." : given.substr(0, cut + 1);
  std::string pattern = cut == std::string::npos ? given : given.substr(cut + 1);
  FileTarget directory = locate_file(directory_part.c_str());
  HANDLE result = INVALID_HANDLE_VALUE;
  DWORD error = fault("FindFirstFileA", {given, directory.full + "\\" + pattern});
  if (error != 0) {
  } else if (given.empty() || directory.full.empty()) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (pattern.empty()) {
    error = ERROR_FILE_NOT_FOUND;  // a trailing backslash names no entry
  } else if (!directory.exists) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (!directory.directory) {
    error = kDirectoryNameInvalid;
  } else if (find_data == nullptr) {
    error = kNoAccess;
  } else {
    auto search = std::make_unique<FindHandle>();
    search->directory = directory.full;
    search->entries = list_directory(directory, pattern.c_str());
    if (search->entries.empty()) {
      error = ERROR_FILE_NOT_FOUND;
    } else {
      *find_data = search->entries[0];
      search->next = 1;
      result = search.get();
      machine().finds.emplace(search.get(), std::move(search));
    }
  }
  if (error != 0) SetLastError(error);
  trace_line("FindFirstFileA " + quote(file_name) + " -> " +
             (result != INVALID_HANDLE_VALUE ? "handle " + quote(find_data->cFileName)
                                             : "INVALID_HANDLE_VALUE " + std::to_string(error)));
  return result;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* find_data) {
  FindHandle* search = search_of(find);
  BOOL ok = FALSE;
  if (DWORD error = fault("FindNextFileA", {search == nullptr ? "" : search->directory})) {
    fail(error);
  } else if (search == nullptr) {
    fail(ERROR_INVALID_HANDLE);
  } else if (find_data == nullptr) {
    fail(kNoAccess);
  } else if (search->next >= search->entries.size()) {
    fail(ERROR_NO_MORE_FILES);
  } else {
    *find_data = search->entries[search->next++];
    ok = TRUE;
  }
  std::string line = "FindNextFileA " + search_name(search) + " -> " + result_text(ok);
  if (ok) {
    line += ' ';
    line += quote(find_data->cFileName);
  }
  trace_line(line);
  return ok;
}

BOOL FindClose(HANDLE find) {
  FindHandle* search = search_of(find);
  std::string what = search_name(search);
  BOOL ok = FALSE;
  if (DWORD error = fault("FindClose", {search == nullptr ? "" : search->directory})) {
    fail(error);
  } else if (search == nullptr) {
    fail(ERROR_INVALID_HANDLE);
  } else {
    machine().finds.erase(find);
    ok = TRUE;
  }
  trace_line("FindClose " + what + " -> " + result_text(ok));
  return ok;
}

}  // namespace port
