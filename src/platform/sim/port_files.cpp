// Files and directories of the simulated drives: the kernel32 calls and the C runtime's fopen
// and remove.  Windows paths go through the simulated current directory and find existing
// entries whatever their case; the errors are Windows' (2 for a missing file, 3 for a missing
// directory on the way, 5 for a read-only file, 32 for a file held open without sharing).
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

#include "platform/sim/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kInvalidName = 123;
constexpr DWORD kDirectoryNameInvalid = 267;
constexpr DWORD kFileShareDelete = 0x4;
constexpr DWORD kFileReadAttributes = 0x80;

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string result_text(BOOL ok) {
  return ok ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

struct Target {
  std::string full;  // Windows path
  std::string host;  // host path, "" when the path is not on a simulated drive
  bool exists = false;
  bool directory = false;
};

Target locate(const char* path) {
  Target target;
  if (path == nullptr || *path == '\0') return target;
  if (!full_windows_path(path, &target.full) || !host_path_of(path, &target.host)) return target;
  struct stat info {};
  if (::stat(target.host.c_str(), &info) == 0) {
    target.exists = true;
    target.directory = S_ISDIR(info.st_mode);
  }
  return target;
}

DWORD missing_error(const Target& target) {
  return target.host.empty() ? ERROR_PATH_NOT_FOUND : missing_path_error(target.host);
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

int errno_for(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

// ---- text-mode streams ---------------------------------------------------------------------

// A stream on a host file that behaves like the Windows C runtime's: in text mode "\n" is
// written as CR LF, CR LF is read as "\n" and Ctrl-Z ends the file.
struct Stream {
  std::FILE* host = nullptr;
  bool text = false;
  bool at_end = false;  // Ctrl-Z met
};

ssize_t stream_read(void* cookie, char* buffer, size_t size) {
  auto* stream = static_cast<Stream*>(cookie);
  if (!stream->text) return static_cast<ssize_t>(std::fread(buffer, 1, size, stream->host));
  size_t count = 0;
  while (count < size && !stream->at_end) {
    int c = std::fgetc(stream->host);
    if (c == EOF) break;
    if (c == 0x1A) {
      stream->at_end = true;
      break;
    }
    if (c == '\r') {
      int next = std::fgetc(stream->host);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, stream->host);
      }
    }
    buffer[count++] = static_cast<char>(c);
  }
  return static_cast<ssize_t>(count);
}

ssize_t stream_write(void* cookie, const char* buffer, size_t size) {
  auto* stream = static_cast<Stream*>(cookie);
  if (!stream->text) return static_cast<ssize_t>(std::fwrite(buffer, 1, size, stream->host));
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] == '\n' && std::fputc('\r', stream->host) == EOF) return -1;
    if (std::fputc(buffer[i], stream->host) == EOF) return -1;
  }
  return static_cast<ssize_t>(size);
}

int stream_seek(void* cookie, off64_t* position, int whence) {
  auto* stream = static_cast<Stream*>(cookie);
  if (::fseeko(stream->host, static_cast<off_t>(*position), whence) != 0) return -1;
  stream->at_end = false;
  *position = static_cast<off64_t>(::ftello(stream->host));
  return 0;
}

int stream_close(void* cookie) {
  auto* stream = static_cast<Stream*>(cookie);
  int result = std::fclose(stream->host);
  delete stream;
  count_handle_closed();
  return result;
}

}  // namespace

BOOL SetCurrentDirectoryA(const char* path) {
  Target target = locate(path);
  BOOL ok = FALSE;
  if (DWORD error = fault("SetCurrentDirectoryA", {path == nullptr ? "" : path, target.full})) {
    fail(error);
  } else if (target.full.empty()) {
    fail(path == nullptr || *path == '\0' ? kInvalidName : ERROR_PATH_NOT_FOUND);
  } else if (!target.exists) {
    fail(missing_error(target));
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
  trace_line("GetFullPathNameA " + quote(file_name) + " " + std::to_string(size) + " -> " +
             std::to_string(result) + (full.empty() ? "" : " " + quote(full)));
  return result;
}

DWORD GetFileAttributesA(const char* path) {
  Target target = locate(path);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (DWORD error = fault("GetFileAttributesA", {path == nullptr ? "" : path, target.full})) {
    SetLastError(error);
  } else if (!target.exists) {
    SetLastError(target.full.empty() ? kInvalidName : missing_error(target));
  } else {
    attributes = extra_attributes(target.full);
    if (target.directory) {
      attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (is_readonly(target.host)) {
      attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  }
  trace_line("GetFileAttributesA " + quote(path) + " -> " + hex32(attributes));
  return attributes;
}

BOOL SetFileAttributesA(const char* path, DWORD attributes) {
  Target target = locate(path);
  BOOL ok = FALSE;
  if (DWORD error = fault("SetFileAttributesA", {path == nullptr ? "" : path, target.full})) {
    fail(error);
  } else if (!target.exists) {
    fail(target.full.empty() ? kInvalidName : missing_error(target));
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
  Target target = locate(path);
  BOOL ok = FALSE;
  if (DWORD error = fault("DeleteFileA", {path == nullptr ? "" : path, target.full})) {
    fail(error);
  } else if (!target.exists) {
    fail(target.full.empty() ? kInvalidName : missing_error(target));
  } else if (target.directory || is_readonly(target.host)) {
    fail(ERROR_ACCESS_DENIED);
  } else if (open_without_sharing(target.host, kFileShareDelete)) {
    fail(ERROR_SHARING_VIOLATION);
  } else if (::unlink(target.host.c_str()) != 0) {
    fail(ERROR_ACCESS_DENIED);
  } else {
    set_extra_attributes(target.full, 0);
    ok = TRUE;
  }
  trace_line("DeleteFileA " + quote(path) + " -> " + result_text(ok));
  return ok;
}

HANDLE CreateFileA(const char* path, DWORD desired, DWORD share_mode, void*, DWORD creation_disposition,
                   DWORD, HANDLE) {
  Target target = locate(path);
  HANDLE result = INVALID_HANDLE_VALUE;
  if (DWORD error = fault("CreateFileA", {path == nullptr ? "" : path, target.full})) {
    SetLastError(error);
  } else if (creation_disposition != OPEN_EXISTING ||
             (desired & ~(GENERIC_READ | kFileReadAttributes)) != 0) {
    // The machine only opens existing files for reading; nothing else is simulated.
    SetLastError(ERROR_INVALID_PARAMETER);
  } else if (!target.exists) {
    SetLastError(target.full.empty() ? kInvalidName : missing_error(target));
  } else if (target.directory) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else if (open_without_sharing(target.host, FILE_SHARE_READ) ||
             ((share_mode & FILE_SHARE_READ) == 0 && is_open(target.host))) {
    // Both ways: the handles already open must share reading, and this one must let them read.
    SetLastError(ERROR_SHARING_VIOLATION);
  } else {
    std::ifstream in(target.host, std::ios::binary);
    if (!in) {
      SetLastError(ERROR_ACCESS_DENIED);
    } else {
      auto file = std::make_unique<FileHandle>();
      file->path = target.host;
      file->share = share_mode;
      file->content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
  } else {
    size = static_cast<DWORD>(found->second->content.size());
    if (size_high != nullptr) *size_high = 0;
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
    FileHandle& handle = *found->second;
    std::size_t left = handle.content.size() - handle.position;
    count = static_cast<DWORD>(std::min<std::size_t>(left, to_read));
    if (count > 0) std::memcpy(buffer, handle.content.data() + handle.position, count);
    handle.position += count;
    if (read != nullptr) *read = count;
    ok = TRUE;
  }
  trace_line("ReadFile " + what + " " + std::to_string(to_read) + " -> " + result_text(ok) +
             (ok ? " " + std::to_string(count) : ""));
  return ok;
}

std::FILE* fopen(const char* path, const char* mode) {
  Target target = locate(path);
  std::FILE* result = nullptr;
  std::string wanted = mode == nullptr ? "" : mode;
  char kind = wanted.empty() ? '\0' : wanted[0];
  bool plus = wanted.find('+') != std::string::npos;
  bool binary = wanted.find('b') != std::string::npos;
  DWORD error = fault("fopen", {path == nullptr ? "" : path, target.full});
  if (error == 0) {
    if (kind != 'r' && kind != 'w' && kind != 'a') {
      error = ERROR_INVALID_PARAMETER;
    } else if (target.host.empty()) {
      error = target.full.empty() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    } else if (target.directory) {
      error = ERROR_ACCESS_DENIED;
    } else if (!target.exists && kind == 'r') {
      error = missing_error(target);
    } else if (!target.exists && missing_path_error(target.host) == ERROR_PATH_NOT_FOUND) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (target.exists && (kind != 'r' || plus) && is_readonly(target.host)) {
      error = ERROR_ACCESS_DENIED;
    }
  }
  if (error == 0) {
    std::string host_mode(1, kind);
    if (plus) host_mode += '+';
    std::FILE* host = std::fopen(target.host.c_str(), (host_mode + "b").c_str());
    if (host == nullptr) {
      error = ERROR_ACCESS_DENIED;
    } else {
      auto* stream = new Stream{host, !binary, false};
      cookie_io_functions_t functions{stream_read, stream_write, stream_seek, stream_close};
      result = ::fopencookie(stream, host_mode.c_str(), functions);
      if (result == nullptr) {
        std::fclose(host);
        delete stream;
        error = ERROR_NOT_ENOUGH_MEMORY;
      } else {
        count_handle_opened();
      }
    }
  }
  if (error != 0) {
    SetLastError(error);
    errno = errno_for(error);
  }
  trace_line("fopen " + quote(path) + " " + quote(mode) + " -> " +
             (result != nullptr ? "stream" : "NULL " + std::to_string(error)));
  return result;
}

int remove(const char* path) {
  Target target = locate(path);
  int result = -1;
  DWORD error = fault("remove", {path == nullptr ? "" : path, target.full});
  if (error == 0) {
    if (!target.exists) {
      error = missing_error(target);
    } else if (target.directory || is_readonly(target.host)) {
      error = ERROR_ACCESS_DENIED;
    } else if (open_without_sharing(target.host, kFileShareDelete)) {
      error = ERROR_SHARING_VIOLATION;
    } else if (::unlink(target.host.c_str()) != 0) {
      error = ERROR_ACCESS_DENIED;
    } else {
      set_extra_attributes(target.full, 0);
      result = 0;
    }
  }
  if (error != 0) {
    SetLastError(error);
    errno = errno_for(error);
  }
  trace_line("remove " + quote(path) + " -> " + std::to_string(result));
  return result;
}

}  // namespace port
