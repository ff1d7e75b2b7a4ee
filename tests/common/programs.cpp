#include "common/programs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace programs {

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string first_lines(const std::vector<std::string>& lines, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < lines.size() && i < count; ++i) text += (i > 0 ? " | " : "") + lines[i];
  if (lines.size() > count) text += " | ... (" + std::to_string(lines.size()) + " lines)";
  return text;
}

Outcome run(const std::vector<std::string>& argv, const fs::path& machine, const fs::path& scratch,
            const std::string& input) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind("HALVIK_MACHINE=", 0) != 0) environment.emplace_back(*entry);
  }
  if (!machine.empty()) environment.push_back("HALVIK_MACHINE=" + machine.string());
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  std::string in_path = input.empty() ? "/dev/null" : scratch.string() + ".in";
  std::string out_path = scratch.string() + ".out";
  std::string err_path = scratch.string() + ".err";
  if (!input.empty()) write_text(in_path, input);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  Outcome outcome;
  if (spawned != 0) {
    outcome.err = "cannot start " + argv[0];
    return outcome;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      outcome.hung = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!outcome.hung && WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  if (!outcome.hung && WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
  outcome.out = read_text(out_path);
  outcome.err = read_text(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  if (!input.empty()) fs::remove(in_path);
  return outcome;
}

namespace {

bool sanitizer_report(const std::string& err) {
  for (const char* marker : {"AddressSanitizer", "runtime error:", "LeakSanitizer"}) {
    if (err.find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string misbehaviour(const Outcome& outcome) {
  if (outcome.hung) return "no end after " + std::to_string(kTimeoutSeconds) + " s";
  if (outcome.signal != 0) return "killed by signal " + std::to_string(outcome.signal);
  if (outcome.code != 0 && outcome.code != 1 && outcome.code != 254 && outcome.code != 255)
    return "exit code " + std::to_string(outcome.code);
  if (sanitizer_report(outcome.err)) return "sanitizer: " + first_lines(lines_of(outcome.err), 2);
  return "";
}

void copy_machine(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive);
}

std::vector<std::string> diff(const std::string& sim, const fs::path& a, const fs::path& b) {
  Outcome outcome = run({sim, "diff", a.string(), b.string()}, "", b.string() + ".diff");
  std::vector<std::string> lines = lines_of(outcome.out);
  if (outcome.code != 0 && outcome.code != 1) return {"halvik-sim diff failed: " + outcome.err};
  return lines.size() > 2 ? std::vector<std::string>(lines.begin() + 2, lines.end()) : lines;
}

Outcome restart(const std::string& sim, const fs::path& machine) {
  return run({sim, "reboot", machine.string()}, "", machine.string() + ".reboot");
}

fs::path make_temp_dir(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

}  // namespace programs
