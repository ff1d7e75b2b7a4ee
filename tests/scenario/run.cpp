#include "scenario/run.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "process/process.h"

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
  process::Request request;
  request.argv = {program.find('/') == std::string::npos ? std::string(HALVIK_BIN_DIR) + "/" + program : program};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.environment = env;
  request.input = stdin_text;
  process::Result ran = process::run(request);
  RunResult result;
  // A program that cannot be started ends as the shell reports a command it cannot run.
  if (!ran.started) result.exit_code = 127;
  if (ran.started && ran.signal == 0) result.exit_code = ran.code;
  result.out = std::move(ran.out);
  result.err = ran.started ? std::move(ran.err) : "";
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
