#include "scenario/run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::vector<std::string>& temp_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

void remove_temp_dirs() {
  for (const auto& dir : temp_dirs()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
}

std::string slurp_fd(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

int temp_file() {
  char name[] = "/tmp/halvik-run-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) unlink(name);
  return fd;
}

}  // namespace

std::string make_temp_dir(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("halvik-" + tag + "-XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return {};
  if (temp_dirs().empty()) std::atexit(remove_temp_dirs);
  temp_dirs().emplace_back(name.data());
  return name.data();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& stdin_text, const std::vector<std::string>& env) {
  RunResult result;
  std::string path = program.find('/') == std::string::npos ? std::string(HALVIK_BIN_DIR) + "/" + program : program;
  int in_fd = temp_file();
  int out_fd = temp_file();
  int err_fd = temp_file();
  if (in_fd < 0 || out_fd < 0 || err_fd < 0) return result;
  if (write(in_fd, stdin_text.data(), stdin_text.size()) != static_cast<ssize_t>(stdin_text.size())) return result;
  lseek(in_fd, 0, SEEK_SET);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  result.out = slurp_fd(out_fd);
  result.err = slurp_fd(err_fd);
  close(in_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

std::string diff_but_run_log(const std::string& before, const std::string& after) {
  std::istringstream diff(run_program("halvik-sim", {"diff", before, after}).out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(diff, line);) {
    bool run_log = line.find("\\Logs\\Tessaridge") != std::string::npos ||
                   (line.size() > 6 && line.compare(line.size() - 6, 6, "\\Logs\\") == 0);
    if (!run_log) lines.push_back(line);
  }
  // What is left of a block or a machine.ini section with nothing changed in it goes too.
  std::string text;
  bool section_changed = false;
  bool block_changed = false;
  for (std::size_t i = lines.size(); i-- > 2;) {
    const std::string& line = lines[i];
    bool block = line.rfind("@@ ", 0) == 0;
    bool section = line.rfind(" [", 0) == 0;
    bool keep = block ? block_changed : section ? section_changed : true;
    if (block) block_changed = false;
    if (block || section) section_changed = false;
    if (!block && !section && (line[0] == '+' || line[0] == '-' || line.find(" (content differs)") != std::string::npos))
      section_changed = block_changed = true;
    if (keep) text.insert(0, line + "\n");
  }
  return text.empty() ? "" : lines[0] + "\n" + lines[1] + "\n" + text;
}
