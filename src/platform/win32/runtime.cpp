// The C runtime (msvcrt) and the backend's start-up and shut-down.
#include <process.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32/windows_api.h"

const char* port::getenv(const char* name) {
  return std::getenv(name);
}

// The runtime's text mode already writes "\n" as CR LF.
std::FILE* port::fopen(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

int port::remove(const char* path) {
  return std::remove(path);
}

// _spawnlp looks in the current directory first, then along PATH, and sets errno when the
// program can't be started.
std::intptr_t port::spawnlp_wait(const char* file, const char* arg0, const char* arg1, const char* arg2) {
  return ::_spawnlp(_P_WAIT, file, arg0, arg1, arg2, static_cast<const char*>(nullptr));
}

// Windows needs nothing loaded before the first call, and every change is durable as made.
int port::initialize() {
  return 0;
}

void port::shutdown() {}
