// Runs a built program as a user would: arguments, standard input, environment; captures
// standard output, standard error and the exit code.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  std::string out;
  std::string err;
  int exit_code = -1;  // 0..255 as the shell sees it; -1 when the program did not exit normally
};

// program: a file name under the build directory ("install", "halvik-sim") or an absolute path.
// env: extra "NAME=value" entries (HALVIK_MACHINE, ...), added to the inherited environment.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& stdin_text = "", const std::vector<std::string>& env = {});

// A fresh empty directory under the system's temporary directory, removed at process exit.
std::string make_temp_dir(const std::string& tag);

std::string read_file(const std::string& path);

// `halvik-sim diff BEFORE AFTER` without the run log, which every run appends to (its file, its
// folder and that folder's security): "" when nothing else differs.
std::string diff_but_run_log(const std::string& before, const std::string& after);
