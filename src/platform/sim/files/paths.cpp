// Paths on the simulated drives: Windows paths against the current directory, their host
// files found whatever their case through an index of each directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/wow64/wow64.h"

namespace sim::internal {

bool full_windows_path(std::string_view path, std::string* full) {
  std::string text(path);
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  Machine& m = machine();
  std::string current = m.current_directory;
  char current_drive = current.size() >= 2 && current[1] == ':'
                           ? static_cast<char>(std::toupper(static_cast<unsigned char>(current[0])))
                           : 'C';
  char drive = current_drive;
  std::string rest;
  bool absolute = false;
  if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    rest = text.substr(2);
    // Another drive's current directory is its root.
    absolute = (!rest.empty() && rest[0] == '\\') || drive != current_drive;
  } else if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    return false;  // UNC paths are not on a simulated drive
  } else if (!text.empty() && text[0] == '\\') {
    rest = text;
    absolute = true;
  } else {
    rest = text;
  }
  std::vector<std::string> parts;
  if (!absolute) {
    std::vector<std::string> base = split_path(current.size() >= 2 ? current.substr(2) : "");
    parts = base;
  }
  for (const std::string& part : split_path(rest)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result(1, drive);
  result += ":\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += '\\';
    result += parts[i];
  }
  *full = result;
  return true;
}

namespace {

// A host directory's entries by case-folded name, as last read.  Every writer (the program, the
// machine's own steps, halvik-sim, a test) changes a directory's modification time when it
// creates, renames or deletes an entry in it, so the index is read again whenever that time
// differs from the one it was read at.  An index read within the file system's timestamp
// granularity of the last change is not trusted: a second change in the same tick would leave the
// time as it was.
struct DirectoryIndex {
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
  timespec read_at{};
  std::unordered_map<std::string, std::string> names;  // folded name -> stored name
};

std::string fold_name(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return folded;
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether `later` is at least a second after `earlier`: beyond any file system's timestamp tick.
bool settled(const timespec& earlier, const timespec& later) {
  return later.tv_sec - earlier.tv_sec > 1 ||
         (later.tv_sec - earlier.tv_sec == 1 && later.tv_nsec >= earlier.tv_nsec);
}

// The stored name of `part` in the host directory `dir`, found case-insensitively; an entry of
// exactly that name wins over others that differ from it only in case.  false when there is none.
bool find_entry(const std::string& dir, const std::string& part, std::string* name) {
  struct stat info {};
  std::string exact = dir + "/" + part;
  if (::lstat(exact.c_str(), &info) == 0) {
    *name = part;
    return true;
  }
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  static std::unordered_map<std::string, DirectoryIndex> indexes;
  DirectoryIndex& index = indexes[dir];
  bool current = index.device == info.st_dev && index.inode == info.st_ino &&
                 same_time(index.modified, info.st_mtim) && settled(index.modified, index.read_at);
  if (!current) {
    index.names.clear();
    index.device = info.st_dev;
    index.inode = info.st_ino;
    index.modified = info.st_mtim;
    ::clock_gettime(CLOCK_REALTIME, &index.read_at);
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
      index.device = 0;  // read again next time
      return false;
    }
    // Of several names that differ only in case, the last one listed is kept.
    while (dirent* entry = ::readdir(handle)) index.names[fold_name(entry->d_name)] = entry->d_name;
    ::closedir(handle);
  }
  auto found = index.names.find(fold_name(part));
  if (found == index.names.end()) return false;
  *name = found->second;
  return true;
}

}  // namespace

namespace {

// The host path of a full Windows path, its existing entries found whatever their case.
std::string host_of_full(const std::string& full) {
  std::string result =
      machine().dir + "/drive_" + static_cast<char>(std::tolower(static_cast<unsigned char>(full[0])));
  bool exists = true;
  std::string name;
  for (const std::string& part : split_path(full.substr(2))) {
    exists = exists && find_entry(result, part, &name);
    result += '/';
    result += exists ? name : part;
  }
  return result;
}

}  // namespace

bool host_path_of(std::string_view windows_path, std::string* host) {
  std::string full;
  if (!full_windows_path(windows_path, &full)) return false;
  *host = host_of_full(file_view_path(full));
  return true;
}

bool native_host_path_of(std::string_view windows_path, std::string* host) {
  std::string full;
  if (!full_windows_path(windows_path, &full)) return false;
  *host = host_of_full(full);
  return true;
}

DWORD missing_path_error(const std::string& host) {
  std::filesystem::path parent = std::filesystem::path(host).parent_path();
  // A drive the machine doesn't have: its root is a missing path, not a missing file.
  if (parent == std::filesystem::path(machine().dir)) return port::ERROR_PATH_NOT_FOUND;
  std::error_code ignored;
  return std::filesystem::is_directory(parent, ignored) ? port::ERROR_FILE_NOT_FOUND
                                                        : port::ERROR_PATH_NOT_FOUND;
}

bool is_readonly(const std::string& host) {
  struct stat info {};
  return ::stat(host.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

DWORD extra_attributes(const std::string& windows_full) {
  std::string text = machine().ini.get_or("file_attributes", windows_full, "");
  DWORD attributes = 0;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (iequals(word, "hidden")) attributes |= port::FILE_ATTRIBUTE_HIDDEN;
    if (iequals(word, "system")) attributes |= port::FILE_ATTRIBUTE_SYSTEM;
  }
  return attributes;
}

void set_extra_attributes(const std::string& windows_full, DWORD attributes) {
  std::string text;
  if (attributes & port::FILE_ATTRIBUTE_HIDDEN) text += "hidden";
  if (attributes & port::FILE_ATTRIBUTE_SYSTEM) text += text.empty() ? "system" : " system";
  set_path_record("file_attributes", windows_full, text);
}

void set_path_record(const char* section, const std::string& windows_full, const std::string& text) {
  Machine& m = machine();
  if (text.empty()) {
    if (m.ini.get(section, windows_full) == nullptr) return;
    m.ini.erase(section, windows_full);
  } else {
    m.ini.set(section, windows_full, text);
  }
  ini_changed();
}

FileTarget locate_file(const char* path) {
  FileTarget target;
  if (path == nullptr || *path == '\0') return target;
  if (!full_windows_path(path, &target.full) || !host_path_of(path, &target.host)) return target;
  struct stat info {};
  if (::lstat(target.host.c_str(), &info) == 0) {
    target.exists = true;
    target.link = S_ISLNK(info.st_mode);
    if (target.link && ::stat(target.host.c_str(), &info) != 0) return target;
    target.directory = S_ISDIR(info.st_mode);
  }
  return target;
}

DWORD FileTarget::missing_error() const {
  return host.empty() ? port::ERROR_PATH_NOT_FOUND : missing_path_error(host);
}

bool open_without_sharing(const std::string& host, DWORD needed_share) {
  for (const auto& [handle, file] : machine().files) {
    if (file->path == host && (file->share & needed_share) == 0) return true;
  }
  return false;
}

bool is_open(const std::string& host) {
  for (const auto& [handle, file] : machine().files) {
    if (file->path == host) return true;
  }
  return false;
}

}  // namespace sim::internal
