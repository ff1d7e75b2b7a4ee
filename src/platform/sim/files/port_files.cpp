// Files and directories of the simulated drives: the kernel32 calls (the C runtime's fopen and
// remove are in port_crt.cpp).  Windows paths go through the simulated current directory and find existing
// entries whatever their case; the errors are Windows' (2 for a missing file, 3 for a missing
// directory on the way, 5 for a read-only file or the image of a loaded driver, 32 for a file
// held open without sharing).  A loaded image can still be renamed, and scheduled for the restart.
// A host symbolic link stands for a Windows link: its attributes are its own (reparse point, a
// folder's when it points at one), and deleting it removes the link, never what it points at.
// The directory searches are in find.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace sim::internal {

namespace {
bool (*mapped_image_check)(const std::string& host) = nullptr;
}  // namespace

void set_mapped_image_check(bool (*check)(const std::string& host)) {
  mapped_image_check = check;
}

bool mapped_image(const std::string& host) {
  return mapped_image_check != nullptr && mapped_image_check(host);
}

bool is_running_image(const FileTarget& target) {
  const Machine& m = machine();
  const std::string& image = m.image_moved_to.empty() ? m.image_path : m.image_moved_to;
  std::string image_host;
  return !target.host.empty() && !target.directory && host_path_of(image, &image_host) &&
         image_host == target.host;
}

}  // namespace sim::internal

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kNotSameDevice = 17;
constexpr DWORD kInvalidName = 123;
constexpr DWORD kDirectoryNameInvalid = 267;
constexpr DWORD kFileShareDelete = 0x4;
constexpr DWORD kFileReadAttributes = 0x80;
constexpr DWORD kModuleNotFound = 126;

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string result_text(BOOL ok) {
  return ok ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

// ---- operations pending until the next restart ---------------------------------------------

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingOperations[] = "PendingFileRenameOperations";

// Appends one operation to the list the session manager carries out at the next start: the
// source, then the target ("" to delete the source).  The list ends with one empty string, which
// is dropped before appending and written again after, as Windows does; the value is extended
// in its UTF-16 form so that names outside the code page already in it survive.
void append_pending_operation(const std::string& source, const std::string& target) {
  Key* key = create_key(machine().hklm.get(), kSessionManagerKey);
  std::vector<std::uint8_t> wide;
  if (const Value* value = key->find_value(kPendingOperations)) {
    wide = value->has_wide() ? value->wide.vector() : ansi_to_utf16(value->data.span());
  }
  if (wide.size() >= 2 && wide[wide.size() - 2] == 0 && wide.back() == 0) wide.resize(wide.size() - 2);
  std::string entry = source + '\0' + target + '\0' + '\0';
  std::vector<std::uint8_t> added =
      ansi_to_utf16({reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size()});
  wide.insert(wide.end(), added.begin(), added.end());
  std::vector<std::uint8_t> ansi;
  bool exact = utf16_to_ansi(wide, &ansi);
  Value& value = key->set_value(kPendingOperations, REG_MULTI_SZ, ansi);
  if (!exact) key->set_wide(&value, wide);
  registry_changed();
}

// The error of scheduling `existing` for the next restart, 0 when it can be scheduled.  The
// source is not opened: a missing file or one in use is scheduled all the same.
DWORD delayed_move_error(const char* existing, const FileTarget& source, const char* new_name,
                         const FileTarget& target, DWORD flags) {
  if (source.full.empty()) {
    // A network path is refused: delayed operations run before the network is up.
    bool network = std::strncmp(existing, "\\\\", 2) == 0 || std::strncmp(existing, "//", 2) == 0;
    return network ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND;
  }
  if (new_name != nullptr && target.full.empty()) return ERROR_PATH_NOT_FOUND;
  if (flags & MOVEFILE_COPY_ALLOWED) return ERROR_INVALID_PARAMETER;
  return 0;
}

// The error of moving `source` to `target` now, 0 when it can be moved.
DWORD move_error(const FileTarget& source, const FileTarget& target, DWORD flags) {
  if (source.full.empty()) return ERROR_PATH_NOT_FOUND;
  if (!source.exists) return source.missing_error();
  if (open_without_sharing(source.host, kFileShareDelete)) return ERROR_SHARING_VIOLATION;
  if (target.full.empty()) return ERROR_PATH_NOT_FOUND;
  if (source.full[0] != target.full[0] && (source.directory || (flags & MOVEFILE_COPY_ALLOWED) == 0)) {
    return kNotSameDevice;
  }
  if (iequals(source.full, target.full)) return 0;  // a new spelling of the same name
  if (!target.exists)
    return missing_path_error(target.host) == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND : 0;
  if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) return ERROR_ALREADY_EXISTS;
  if (source.directory || target.directory || is_readonly(target.host) || is_open(target.host) ||
      is_running_image(target)) {
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

}  // namespace

BOOL SetCurrentDirectoryA(const char* path) {
  FileTarget target = locate_file(path);
  BOOL ok = FALSE;
  if (DWORD error = fault("SetCurrentDirectoryA", {path == nullptr ? "" : path, target.full})) {
    fail(error);
  } else if (target.full.empty()) {
    fail(path == nullptr || *path == '\0' ? kInvalidName : ERROR_PATH_NOT_FOUND);
  } else if (!target.exists) {
    fail(target.missing_error());
  } else if (!target.directory) {
    fail(kDirectoryNameInvalid);
  } else {
    machine().current_directory = target.full;
    ok = TRUE;
  }
  trace_line("SetCurrentDirectoryA " + quote(path) + " -> " + result_text(ok));
  return ok;
}

DWORD GetCurrentDirectoryA(DWORD size, char* buffer) {
  DWORD result = 0;
  if (DWORD error = fault("GetCurrentDirectoryA")) {
    SetLastError(error);
  } else {
    const std::string& current = machine().current_directory;
    if (buffer == nullptr || size < current.size() + 1) {
      result = static_cast<DWORD>(current.size() + 1);
    } else {
      std::memcpy(buffer, current.c_str(), current.size() + 1);
      result = static_cast<DWORD>(current.size());
    }
  }
  trace_line("GetCurrentDirectoryA " + std::to_string(size) + " -> " + std::to_string(result));
  return result;
}

DWORD GetFullPathNameA(const char* file_name, DWORD size, char* buffer, char** file_part) {
  DWORD result = 0;
  std::string full;
  if (DWORD error = fault("GetFullPathNameA", {file_name == nullptr ? "" : file_name})) {
    SetLastError(error);
  } else if (file_name == nullptr || *file_name == '\0' || !full_windows_path(file_name, &full)) {
    SetLastError(file_name == nullptr ? ERROR_INVALID_PARAMETER : kInvalidName);
  } else {
    char last = file_name[std::strlen(file_name) - 1];
    if ((last == '\\' || last == '/') && full.size() > 3) full += '\\';
    if (buffer == nullptr || size < full.size() + 1) {
      result = static_cast<DWORD>(full.size() + 1);
    } else {
      std::memcpy(buffer, full.c_str(), full.size() + 1);
      result = static_cast<DWORD>(full.size());
      if (file_part != nullptr) {
        std::size_t slash = full.rfind('\\');
        *file_part = slash + 1 < full.size() ? buffer + slash + 1 : nullptr;
      }
    }
  }
  std::string line =
      "GetFullPathNameA " + quote(file_name) + " " + std::to_string(size) + " -> " + std::to_string(result);
  if (!full.empty()) {
    line += ' ';
    line += quote(full);
  }
  trace_line(line);
  return result;
}

DWORD GetFileAttributesA(const char* path) {
  FileTarget target = locate_file(path);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (DWORD error = fault("GetFileAttributesA", {path == nullptr ? "" : path, target.full})) {
    SetLastError(error);
  } else if (!target.exists) {
    SetLastError(target.full.empty() ? kInvalidName : target.missing_error());
  } else {
    // A link's own attributes, as Windows gives them: the link is not followed.
    attributes = extra_attributes(target.full);
    if (target.link) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (target.directory) {
      attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (!target.link && is_readonly(target.host)) {
      attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  }
  trace_line("GetFileAttributesA " + quote(path) + " -> " + hex32(attributes));
  return attributes;
}

BOOL SetFileAttributesA(const char* path, DWORD attributes) {
  FileTarget target = locate_file(path);
  BOOL ok = FALSE;
  if (DWORD error = fault("SetFileAttributesA", {path == nullptr ? "" : path, target.full})) {
    fail(error);
  } else if (!target.exists) {
    fail(target.full.empty() ? kInvalidName : target.missing_error());
  } else {
    if (!target.directory) {
      struct stat info {};
      ::stat(target.host.c_str(), &info);
      mode_t mode = info.st_mode & 07777;
      mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | S_IWUSR);
      ::chmod(target.host.c_str(), mode);
    }
    set_extra_attributes(target.full, attributes);
    ok = TRUE;
  }
  trace_line("SetFileAttributesA " + quote(path) + " " + hex32(attributes) + " -> " + result_text(ok));
  return ok;
}

BOOL DeleteFileA(const char* path) {
  FileTarget target = locate_file(path);
  BOOL ok = FALSE;
  if (DWORD error = fault("DeleteFileA", {path == nullptr ? "" : path, target.full})) {
    fail(error);
  } else if (!target.exists) {
    fail(target.full.empty() ? kInvalidName : target.missing_error());
  } else if (target.directory || (!target.link && is_readonly(target.host)) || is_running_image(target)) {
    // A running program's file is mapped: Windows refuses to delete it.  A link to a folder is
    // a folder's entry (RemoveDirectoryA takes it); a link to a file goes as a file, itself.
    fail(ERROR_ACCESS_DENIED);
  } else if (open_without_sharing(target.host, kFileShareDelete)) {
    fail(ERROR_SHARING_VIOLATION);
  } else if (mapped_image(target.host)) {
    fail(ERROR_ACCESS_DENIED);  // STATUS_CANNOT_DELETE: the image of a loaded driver is mapped
  } else if (::unlink(target.host.c_str()) != 0) {
    fail(ERROR_ACCESS_DENIED);
  } else {
    forget_file_records(target.full);
    ok = TRUE;
  }
  trace_line("DeleteFileA " + quote(path) + " -> " + result_text(ok));
  return ok;
}

BOOL CopyFileA(const char* existing, const char* new_name, BOOL fail_if_exists) {
  FileTarget source = locate_file(existing);
  FileTarget target = locate_file(new_name);
  DWORD error = fault("CopyFileA", {existing == nullptr ? "" : existing, source.full,
                                    new_name == nullptr ? "" : new_name, target.full});
  if (error != 0) {
  } else if (!source.exists) {
    error = source.full.empty() ? kInvalidName : source.missing_error();
  } else if (source.directory) {
    error = ERROR_ACCESS_DENIED;
  } else if (open_without_sharing(source.host, FILE_SHARE_READ)) {
    error = ERROR_SHARING_VIOLATION;
  } else if (target.full.empty()) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (target.exists && fail_if_exists) {
    error = ERROR_FILE_EXISTS;
  } else if (target.directory || (target.exists && is_readonly(target.host)) || is_running_image(target)) {
    error = ERROR_ACCESS_DENIED;
  } else if (target.exists && is_open(target.host)) {
    error = ERROR_SHARING_VIOLATION;
  } else if (!target.exists && missing_path_error(target.host) == ERROR_PATH_NOT_FOUND) {
    error = ERROR_PATH_NOT_FOUND;
  } else {
    std::error_code copy_error;
    std::filesystem::copy_file(source.host, target.host, std::filesystem::copy_options::overwrite_existing,
                               copy_error);
    if (copy_error) {
      error = ERROR_ACCESS_DENIED;
    } else {
      // The attributes go with the file, read-only included.
      set_extra_attributes(target.full, extra_attributes(source.full));
      if (is_readonly(source.host)) ::chmod(target.host.c_str(), 0444);
    }
  }
  BOOL ok = error == 0 ? TRUE : fail(error);
  trace_line("CopyFileA " + quote(existing) + " " + quote(new_name) + " " + std::to_string(fail_if_exists) +
             " -> " + result_text(ok));
  return ok;
}

BOOL CreateDirectoryA(const char* path, void* security_attributes) {
  FileTarget target = locate_file(path);
  const auto* attributes = static_cast<const SECURITY_ATTRIBUTES*>(security_attributes);
  const char* sddl = attributes == nullptr || attributes->lpSecurityDescriptor == nullptr
                         ? ""
                         : descriptor_text(attributes->lpSecurityDescriptor);
  DWORD error = fault("CreateDirectoryA", {path == nullptr ? "" : path, target.full});
  if (error != 0) {
  } else if (sddl == nullptr || (attributes != nullptr && attributes->nLength != sizeof(SECURITY_ATTRIBUTES))) {
    error = ERROR_INVALID_PARAMETER;
  } else if (target.full.empty()) {
    error = path == nullptr || *path == '\0' ? ERROR_PATH_NOT_FOUND : kInvalidName;
  } else if (target.exists) {
    error = ERROR_ALREADY_EXISTS;
  } else if (missing_path_error(target.host) == ERROR_PATH_NOT_FOUND) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (::mkdir(target.host.c_str(), 0755) != 0) {
    error = ERROR_ACCESS_DENIED;
  } else {
    set_file_security(target.full, sddl);
  }
  BOOL ok = error == 0 ? TRUE : fail(error);
  std::string line = "CreateDirectoryA " + quote(path);
  if (sddl != nullptr && *sddl != '\0') {
    line += ' ';
    line += quote(sddl);
  }
  trace_line(line + " -> " + result_text(ok));
  return ok;
}

BOOL RemoveDirectoryA(const char* path) {
  FileTarget target = locate_file(path);
  DWORD error = fault("RemoveDirectoryA", {path == nullptr ? "" : path, target.full});
  if (error != 0) {
  } else if (!target.exists) {
    error = target.full.empty() ? kInvalidName : target.missing_error();
  } else if (!target.directory) {
    error = kDirectoryNameInvalid;
  } else if (!target.link && !std::filesystem::is_empty(target.host)) {
    // A link to a folder goes as the link alone, whatever the folder holds.
    error = ERROR_DIR_NOT_EMPTY;
  } else if (iequals(target.full, machine().current_directory)) {
    error = ERROR_SHARING_VIOLATION;  // the process's current directory is held open
  } else if ((target.link ? ::unlink(target.host.c_str()) : ::rmdir(target.host.c_str())) != 0) {
    error = ERROR_ACCESS_DENIED;
  } else {
    forget_file_records(target.full);
  }
  BOOL ok = error == 0 ? TRUE : fail(error);
  trace_line("RemoveDirectoryA " + quote(path) + " -> " + result_text(ok));
  return ok;
}

DWORD GetModuleFileNameA(HMODULE module, char* file_name, DWORD size) {
  const std::string& image = machine().image_path;
  DWORD result = 0;
  if (DWORD error = fault("GetModuleFileNameA")) {
    SetLastError(error);
  } else if (module != nullptr) {
    SetLastError(kModuleNotFound);
  } else if (file_name == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
  } else if (image.size() + 1 > size) {
    // Cut to the buffer and terminated, as Windows Vista and later do.
    std::memcpy(file_name, image.c_str(), size - 1);
    file_name[size - 1] = '\0';
    result = size;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
  } else {
    std::memcpy(file_name, image.c_str(), image.size() + 1);
    result = static_cast<DWORD>(image.size());
  }
  trace_line("GetModuleFileNameA " + std::to_string(size) + " -> " + std::to_string(result));
  return result;
}

BOOL MoveFileExA(const char* existing, const char* new_name, DWORD flags) {
  FileTarget source = locate_file(existing);
  FileTarget target = locate_file(new_name);
  bool delay = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  DWORD error = fault("MoveFileExA",
                      {existing == nullptr ? "" : existing, source.full, new_name == nullptr ? "" : new_name,
                       target.full, delay ? kSessionManagerKey : ""});
  // Without the delay there is no deletion through this call.
  if (error == 0 && (existing == nullptr || (!delay && new_name == nullptr))) error = ERROR_INVALID_PARAMETER;
  if (error == 0) {
    error = delay ? delayed_move_error(existing, source, new_name, target, flags)
                  : move_error(source, target, flags);
  }
  if (error == 0 && delay) {
    std::string to;
    if (new_name != nullptr)
      to = std::string((flags & MOVEFILE_REPLACE_EXISTING) ? "!" : "") + "\\??\\" + target.full;
    append_pending_operation("\\??\\" + source.full, to);
  } else if (error == 0) {
    std::string to = target.host;
    if (iequals(source.full, target.full)) {
      to = std::filesystem::path(source.host).parent_path() / target.full.substr(target.full.rfind('\\') + 1);
    }
    bool running = is_running_image(source);
    if (::rename(source.host.c_str(), to.c_str()) != 0) {
      error = ERROR_ACCESS_DENIED;
    } else {
      if (running) machine().image_moved_to = target.full;
      // A file keeps its attributes and its security when it moves.
      DWORD attributes = extra_attributes(source.full);
      std::string security = file_security(source.full);
      forget_file_records(source.full);
      set_extra_attributes(target.full, attributes);
      set_file_security(target.full, security);
    }
  }
  BOOL ok = error == 0 ? TRUE : fail(error);
  trace_line("MoveFileExA " + quote(existing) + " " + quote(new_name) + " " + hex32(flags) + " -> " +
             result_text(ok));
  return ok;
}

HANDLE CreateFileA(const char* path, DWORD desired, DWORD share_mode, void*, DWORD creation_disposition,
                   DWORD, HANDLE) {
  FileTarget target = locate_file(path);
  HANDLE result = INVALID_HANDLE_VALUE;
  if (DWORD error = fault("CreateFileA", {path == nullptr ? "" : path, target.full})) {
    SetLastError(error);
  } else if (creation_disposition != OPEN_EXISTING ||
             (desired & ~(GENERIC_READ | kFileReadAttributes)) != 0) {
    // The machine only opens existing files for reading; nothing else is simulated.
    SetLastError(ERROR_INVALID_PARAMETER);
  } else if (!target.exists) {
    SetLastError(target.full.empty() ? kInvalidName : target.missing_error());
  } else if (target.directory) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else if (open_without_sharing(target.host, FILE_SHARE_READ) ||
             ((share_mode & FILE_SHARE_READ) == 0 && is_open(target.host))) {
    // Both ways: the handles already open must share reading, and this one must let them read.
    SetLastError(ERROR_SHARING_VIOLATION);
  } else {
    int descriptor = ::open(target.host.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
      SetLastError(ERROR_ACCESS_DENIED);
    } else {
      auto file = std::make_unique<FileHandle>();
      file->path = target.host;
      file->share = share_mode;
      file->descriptor = descriptor;
      result = file.get();
      machine().files.emplace(file.get(), std::move(file));
    }
  }
  trace_line(
      "CreateFileA " + quote(path) + " " + hex32(desired) + " -> " +
      (result != INVALID_HANDLE_VALUE ? "handle" : "INVALID_HANDLE_VALUE " + std::to_string(GetLastError())));
  return result;
}

DWORD GetFileSize(HANDLE file, DWORD* size_high) {
  Machine& m = machine();
  auto found = m.files.find(file);
  DWORD size = INVALID_FILE_SIZE;
  std::string what = found == m.files.end() ? "(invalid handle)" : quote(found->second->path);
  if (DWORD error = fault("GetFileSize")) {
    SetLastError(error);
  } else if (found == m.files.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if (struct stat info{}; ::fstat(found->second->descriptor, &info) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else {
    // The low half is the result, the high half goes to size_high when asked for.
    auto bytes = static_cast<std::uint64_t>(info.st_size);
    size = static_cast<DWORD>(bytes & 0xFFFFFFFFu);
    if (size_high != nullptr) *size_high = static_cast<DWORD>(bytes >> 32);
  }
  trace_line("GetFileSize " + what + " -> " + std::to_string(size));
  return size;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped) {
  Machine& m = machine();
  auto found = m.files.find(file);
  BOOL ok = FALSE;
  DWORD count = 0;
  std::string what = found == m.files.end() ? "(invalid handle)" : quote(found->second->path);
  if (DWORD error = fault("ReadFile")) {
    fail(error);
  } else if (found == m.files.end()) {
    fail(ERROR_INVALID_HANDLE);
  } else if ((read == nullptr && overlapped == nullptr) || (buffer == nullptr && to_read > 0)) {
    fail(ERROR_INVALID_PARAMETER);
  } else {
    // As many bytes as asked for, fewer only at the end of the file.
    int descriptor = found->second->descriptor;
    auto* into = static_cast<char*>(buffer);
    bool failed = false;
    while (count < to_read) {
      ssize_t got = ::read(descriptor, into + count, to_read - count);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        failed = got < 0;
        break;
      }
      count += static_cast<DWORD>(got);
    }
    if (failed) {
      fail(ERROR_READ_FAULT);
    } else {
      if (read != nullptr) *read = count;
      ok = TRUE;
    }
  }
  std::string line = "ReadFile " + what + " " + std::to_string(to_read) + " -> " + result_text(ok);
  if (ok) {
    line += ' ';  // not " " + ...: GCC 12 at -O3 warns of an overlap there (-Wrestrict) that cannot be
    line += std::to_string(count);
  }
  trace_line(line);
  return ok;
}

}  // namespace port
