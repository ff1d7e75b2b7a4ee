// The C runtime's fopen and remove on the simulated drives, with the errors of the file calls
// (port_files.cpp) given to errno as the Microsoft C runtime maps them.  A stream is counted
// among the machine's open handles until it is closed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kFileShareDelete = 0x4;

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

std::FILE* fopen(const char* path, const char* mode) {
  FileTarget target = locate_file(path);
  std::FILE* result = nullptr;
  std::string wanted = mode == nullptr ? "" : mode;
  char kind = wanted.empty() ? '\0' : wanted[0];
  bool plus = wanted.find('+') != std::string::npos;
  bool binary = wanted.find('b') != std::string::npos;
  // "wx": created new, as _O_EXCL creates it, failing on any name that is there, a link too.
  bool exclusive = kind == 'w' && wanted.find('x') != std::string::npos;
  std::error_code ignored;
  DWORD error = fault("fopen", {path == nullptr ? "" : path, target.full});
  if (error == 0) {
    if (kind != 'r' && kind != 'w' && kind != 'a') {
      error = ERROR_INVALID_PARAMETER;
    } else if (target.host.empty()) {
      error = target.full.empty() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    } else if (exclusive && (target.exists || std::filesystem::is_symlink(target.host, ignored))) {
      error = ERROR_FILE_EXISTS;
    } else if (target.directory) {
      error = ERROR_ACCESS_DENIED;
    } else if (!target.exists && kind == 'r') {
      error = target.missing_error();
    } else if (!target.exists && missing_path_error(target.host) == ERROR_PATH_NOT_FOUND) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (target.exists && (kind != 'r' || plus) && is_readonly(target.host)) {
      error = ERROR_ACCESS_DENIED;
    }
  }
  if (error == 0) {
    std::string host_mode(1, kind);
    if (plus) host_mode += '+';
    std::FILE* host = nullptr;
    if (exclusive) {
      int descriptor = ::open(target.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
      host = descriptor < 0 ? nullptr : ::fdopen(descriptor, "wb");
      if (descriptor >= 0 && host == nullptr) ::close(descriptor);
    } else {
      host = std::fopen(target.host.c_str(), (host_mode + "b").c_str());
    }
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
  FileTarget target = locate_file(path);
  int result = -1;
  DWORD error = fault("remove", {path == nullptr ? "" : path, target.full});
  if (error == 0) {
    if (!target.exists) {
      error = target.missing_error();
    } else if (target.directory || is_readonly(target.host) || is_running_image(target)) {
      error = ERROR_ACCESS_DENIED;
    } else if (open_without_sharing(target.host, kFileShareDelete)) {
      error = ERROR_SHARING_VIOLATION;
    } else if (mapped_image(target.host)) {
      error = ERROR_ACCESS_DENIED;
    } else if (::unlink(target.host.c_str()) != 0) {
      error = ERROR_ACCESS_DENIED;
    } else {
      forget_file_records(target.full);
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
