#include "process/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace process {

namespace {

// A file descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A file with no name, in TMPDIR (else /tmp): the child's standard streams go through these
// rather than pipes, so that a child left behind holding one cannot keep a read from ending.
int unnamed_file() {
  const char* base = std::getenv("TMPDIR");
  std::string name = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/halvik-process.XXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

std::string contents(int fd) {
  std::string text;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

std::string name_of(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// The inherited environment with the request's entries set over it (or, without a value, taken out).
std::vector<std::string> environment_for(const std::vector<std::string>& changes) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name = name_of(*entry);
    bool changed = false;
    for (const std::string& change : changes) changed |= name_of(change) == name;
    if (!changed) environment.emplace_back(*entry);
  }
  for (const std::string& change : changes) {
    if (change.find('=') != std::string::npos) environment.push_back(change);
  }
  return environment;
}

// The strings as the array, ended by a null, that a new program takes; they must outlive it.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> list(strings.size() + 1, nullptr);
  std::transform(strings.begin(), strings.end(), list.begin(), [](std::string& text) { return text.data(); });
  return list;
}

// How the child ended; with a time limit, killed with its process group when it runs past it.
int wait_for(pid_t pid, int time_limit, bool* hung) {
  int status = 0;
  if (time_limit <= 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(time_limit);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      *hung = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return status;
}

}  // namespace

Result run(const Request& request) {
  Result result;
  if (request.argv.empty()) {
    result.err = "no program to start";
    return result;
  }
  Descriptor in(unnamed_file());
  Descriptor out(unnamed_file());
  Descriptor err(unnamed_file());
  if (in.get() < 0 || out.get() < 0 || err.get() < 0 || !write_all(in.get(), request.input)) {
    result.err = std::string("cannot make a file for its standard streams: ") + std::strerror(errno);
    return result;
  }
  std::vector<std::string> args = request.argv;
  std::vector<std::string> environment = environment_for(request.environment);
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.get(), 2);
  if (!request.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, request.directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (request.time_limit > 0) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    result.err = std::strerror(spawned);
    return result;
  }
  result.started = true;
  int status = wait_for(pid, request.time_limit, &result.hung);
  if (!result.hung && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  if (!result.hung && WIFEXITED(status)) result.code = WEXITSTATUS(status);
  result.out = contents(out.get());
  result.err = contents(err.get());
  return result;
}

}  // namespace process
