// The C runtime (msvcrt) and the backend's start-up and shut-down.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/windows_api.h"

const char* port::getenv(const char* name) {
  return std::getenv(name);
}

// The runtime's text mode already writes "\n" as CR LF.  msvcrt.dll knows no "x": a file
// created new is opened with _O_EXCL, which creates it with CREATE_NEW (failing on anything of
// that name, a link included), and then given a stream.
std::FILE* port::fopen(const char* path, const char* mode) {
  if (mode == nullptr || std::strcmp(mode, "wx") != 0) return std::fopen(path, mode);
  int descriptor = ::_open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (descriptor == -1) return nullptr;
  std::FILE* stream = ::_fdopen(descriptor, "w");
  if (stream == nullptr) ::_close(descriptor);
  return stream;
}

int port::remove(const char* path) {
  return std::remove(path);
}

// _spawnl starts the program at the path it is given and looks nowhere else; it sets errno
// when the program can't be started.
std::intptr_t port::spawnl_wait(const char* path, const char* arg0, const char* arg1, const char* arg2) {
  return ::_spawnl(_P_WAIT, path, arg0, arg1, arg2, static_cast<const char*>(nullptr));
}

// Windows needs nothing loaded before the first call, and every change is durable as made.
int port::initialize() {
  return 0;
}

void port::shutdown() {}
