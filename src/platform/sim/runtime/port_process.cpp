// The program's environment and starting another program, on the simulated machine.
//
// Another program is a native program beside the running one, started when its .exe is found
// on the simulated drive.
//
// Starting it goes as the Microsoft C runtime's _spawnl goes: the caller's streams are not
// flushed (the caller must), the arguments are joined with single blanks, unquoted, into one
// command line, and the child's runtime splits that line again, honouring quotes and the
// backslashes before them.  The program's standard output is buffered as that runtime buffers
// it: written at once to a character device (a console), fully buffered otherwise.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/runtime/process.h"

namespace sim::internal {

namespace {

// The directory of the running executable.
std::string executable_dir() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? "." : self.parent_path().string();
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

bool native_program(const std::string& windows_name, std::string* native) {
  std::string base = windows_name.substr(
      windows_name.find_last_of("\\/:") == std::string::npos ? 0 : windows_name.find_last_of("\\/:") + 1);
  std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  std::string dir = executable_dir();
  for (const std::string& name : {base, lower(base)}) {
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      *native = candidate;
      return true;
    }
  }
  return false;
}

// ---- a started program's command line ------------------------------------------------------

// How the child's runtime splits its command line.  The program name ends at the first blank
// outside quotes; quotes in it only group.  In the other arguments 2n backslashes before a
// quote give n backslashes and the quote groups; 2n+1 give n and a literal quote; other
// backslashes are literal.  Two quotes in a row inside a quoted part give a literal quote and
// end the quoted part.  An unclosed quote runs to the end of the line.
std::vector<std::string> split_command_line(const std::string& line) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  const std::size_t n = line.size();
  std::string name;
  for (bool quoted = false; i < n && (quoted || !is_blank(line[i])); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else {
      name += line[i];
    }
  }
  arguments.push_back(name);
  for (;;) {
    while (i < n && is_blank(line[i])) ++i;
    if (i >= n) break;
    std::string argument;
    bool quoted = false;
    while (i < n && (quoted || !is_blank(line[i]))) {
      if (line[i] == '\\') {
        std::size_t count = 0;
        while (i < n && line[i] == '\\') {
          ++count;
          ++i;
        }
        bool before_quote = i < n && line[i] == '"';
        argument.append(before_quote ? count / 2 : count, '\\');
        if (before_quote && count % 2 == 1) {
          argument += '"';
          ++i;
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          argument += '"';
          ++i;
        }
        quoted = !quoted;
        ++i;
      } else {
        argument += line[i++];
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

std::vector<std::string> program_environment(const std::string& machine_dir,
                                             const std::string& current_directory, const std::string& image,
                                             long start_number) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "HALVIK_MACHINE=", 15) != 0 &&
        std::strncmp(*entry, "HALVIK_CURRENT_DIRECTORY=", 25) != 0 &&
        std::strncmp(*entry, "HALVIK_IMAGE=", 13) != 0 && std::strncmp(*entry, "HALVIK_START=", 13) != 0)
      environment.emplace_back(*entry);
  }
  environment.push_back("HALVIK_MACHINE=" + machine_dir);
  environment.push_back("HALVIK_CURRENT_DIRECTORY=" + current_directory);
  environment.push_back("HALVIK_IMAGE=" + image);
  environment.push_back("HALVIK_START=" + std::to_string(start_number));
  return environment;
}

std::vector<char*> exec_array(std::vector<std::string>& texts) {
  std::vector<char*> array;
  for (std::string& text : texts) array.push_back(text.data());
  array.push_back(nullptr);
  return array;
}

}  // namespace sim::internal

namespace port {

using namespace sim::internal;

namespace {

// The runtime's limit on a started program's command line, and its stream buffer size.
constexpr std::size_t kMaxCommandLine = 1024;
constexpr std::size_t kStreamBufferSize = 4096;

// Set up before main, so before anything is written.
[[maybe_unused]] const bool standard_output_buffered = [] {
  struct stat info {};
  bool character_device = ::fstat(STDOUT_FILENO, &info) == 0 && S_ISCHR(info.st_mode);
  if (character_device) return std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
  static char buffer[kStreamBufferSize];
  return std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer) == 0;
}();

bool is_file(const std::string& windows_path, std::string* host) {
  if (!host_path_of(windows_path, host)) return false;
  struct stat info {};
  return ::stat(host->c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// _spawnl's: the path as given (against the current directory when relative), nowhere else;
// a name without an extension is tried with .com, .exe, .bat and .cmd.
bool find_program(const std::string& file, std::string* found) {
  std::vector<std::string> names{file};
  std::string base =
      file.substr(file.find_last_of("\\/:") == std::string::npos ? 0 : file.find_last_of("\\/:") + 1);
  if (base.find('.') == std::string::npos) {
    for (const char* extension : {".com", ".exe", ".bat", ".cmd"}) names.push_back(file + extension);
  }
  for (const std::string& name : names) {
    std::string host;
    if (is_file(name, &host)) {
      *found = name;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* getenv(const char* name) {
  if (name == nullptr) return nullptr;
  const char* result = nullptr;
  Machine& m = machine();
  if (fault("getenv", {name}) == 0) {
    if (const std::string* value = m.ini.get("environment", name)) {
      std::string& stored = m.env_cache[upper(name)];
      if (stored != *value) stored = *value;
      result = stored.c_str();
    }
  }
  trace_line("getenv " + quote(name) + " -> " + (result != nullptr ? quote(result) : "NULL"));
  return result;
}

std::intptr_t spawnl_wait(const char* path, const char* arg0, const char* arg1, const char* arg2) {
  std::intptr_t result = -1;
  int failure = 0;
  std::string found;
  std::string native;
  std::string command_line;
  const char* const given[] = {arg0, arg1, arg2};
  for (std::size_t i = 0; i < 3 && given[i] != nullptr; ++i) {
    if (i > 0) command_line += ' ';
    command_line += given[i];
  }
  Machine& m = machine();
  if (DWORD error = fault("spawnl_wait", {path == nullptr ? "" : path})) {
    failure = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
  } else if (path == nullptr || arg0 == nullptr) {
    failure = EINVAL;
  } else if (!find_program(path, &found)) {
    failure = ENOENT;
  } else if (command_line.size() > kMaxCommandLine) {
    failure = E2BIG;
  } else if (!native_program(found, &native)) {
    failure = ENOEXEC;  // on the drive, but nothing here can run it
  } else {
    // The child works on the same machine: it must find every change, and this process must
    // find the child's changes afterwards.
    std::string problem;
    if (!save(&problem)) {
      std::fprintf(stderr, "halvik: cannot save the simulated machine: %s\n", problem.c_str());
      failure = EIO;
    } else {
      std::string image;
      full_windows_path(found, &image);
      // The child's own file is the one started, wherever the current directory is.
      // Which start of that program this is, so that a kill can be aimed at one of them.
      std::vector<std::string> environment =
          program_environment(m.dir, m.current_directory, image, ++m.children_started[lower(found)]);
      std::vector<char*> envp = exec_array(environment);
      std::vector<std::string> arguments = split_command_line(command_line);
      std::vector<char*> argv = exec_array(arguments);
      pid_t child = 0;
      int status = ::posix_spawn(&child, native.c_str(), nullptr, nullptr, argv.data(), envp.data());
      if (status != 0) {
        failure = status;
      } else {
        int wait_status = 0;
        while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
        }
        // A crashed program ends as abort() ends one on Windows.
        result = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 3;
        if (!reload(&problem))
          std::fprintf(stderr, "halvik: cannot reload the simulated machine: %s\n", problem.c_str());
      }
    }
  }
  if (failure != 0) {
    result = -1;
    errno = failure;
  }
  trace_line("spawnl_wait " + quote(path) + " " + quote(arg0) + " " + quote(arg1) + " " + quote(arg2) +
             " -> " + std::to_string(result) + (failure != 0 ? " errno " + std::to_string(failure) : ""));
  if (failure != 0) errno = failure;
  return result;
}

}  // namespace port
