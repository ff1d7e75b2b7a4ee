// halvik-sim run MACHINE [--cd DIR] -- COMMAND LINE: a Windows command line started on the
// machine as a deployment agent starts one (CreateProcess with no application name), so that a
// Programs and Features entry's command runs exactly as written, as the program it names and
// from the folder the agent runs in.
//
// The image is the command line's first token: up to the closing quote when it starts with one;
// else, as CreateProcess documents for a path with blanks left unquoted, each longer run of
// words in turn until one names a file (".exe" added to a name without an extension).  A path
// without a drive is taken from the current directory.  The native program that runs it is
// chosen by the image's file name (install.exe: the build's install), and it is told the
// image, so GetModuleFileNameA answers that path and the running file is protected as Windows
// protects a mapped image.  The arguments are what the Microsoft C runtime makes of the line.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/runtime/process.h"
#include "platform/sim/sim.h"
#include "trouble.h"
#include "run/run.h"

namespace halvik_sim {

namespace {

using namespace sim::internal;

constexpr port::DWORD kDirectoryNameInvalid = 267;

// Windows' own texts for what CreateProcess can meet here.
const char* system_text(port::DWORD error) {
  switch (error) {
    case port::ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified.";
    case port::ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    default:
      return "The directory name is invalid.";
  }
}

int refused(const std::string& what, port::DWORD error) {
  return trouble(what + ": " + system_text(error) + " (CreateProcess error " + std::to_string(error) + ")");
}

// One argument as the runtime reads it back: quoted when it holds a blank or a quote, with
// the backslashes before a quote doubled.
std::string quoted_argument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
    } else {
      text.append(c == '"' ? backslashes + 1 : 0, '\\');
      backslashes = 0;
    }
    text += c;
  }
  text.append(backslashes, '\\');
  return text + "\"";
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The file the command line starts, as a full Windows path; 0, or the error CreateProcess gives.
port::DWORD find_image(const std::string& line, std::string* image) {
  std::vector<std::string> candidates;
  std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return port::ERROR_FILE_NOT_FOUND;
  if (line[start] == '"') {
    std::size_t close = line.find('"', start + 1);
    candidates.push_back(line.substr(start + 1, close == std::string::npos ? std::string::npos : close - start - 1));
  } else {
    for (std::size_t at = start; at <= line.size(); ++at) {
      if (at == line.size() || (is_blank(line[at]) && !is_blank(line[at - 1])))
        candidates.push_back(line.substr(start, at - start));
    }
  }
  port::DWORD error = port::ERROR_FILE_NOT_FOUND;
  for (std::string name : candidates) {
    std::size_t base = name.find_last_of("\\/:");
    if (name.find('.', base == std::string::npos ? 0 : base) == std::string::npos) name += ".exe";
    FileTarget target = locate_file(name.c_str());
    if (target.exists && !target.directory) {
      *image = target.full;
      return 0;
    }
    error = target.exists ? port::ERROR_ACCESS_DENIED : target.missing_error();
  }
  return error;
}

}  // namespace

int command_run(const std::vector<std::string>& args) {
  std::string dir;
  std::string directory;
  std::size_t at = 0;
  for (; at < args.size() && args[at] != "--"; ++at) {
    if (args[at] == "--cd" && at + 1 < args.size()) {
      directory = args[++at];
    } else if (dir.empty()) {
      dir = args[at];
    } else {
      return -1;
    }
  }
  if (dir.empty() || at + 1 >= args.size()) return -1;
  // One word is the command line as written; several are the arguments, quoted as needed.
  std::string line = args[at + 1];
  if (at + 2 < args.size()) {
    line = quoted_argument(line);
    // Appended apart: GCC 12 at -O3 takes a literal put in front of a temporary for an overlap.
    for (std::size_t i = at + 2; i < args.size(); ++i) {
      line += ' ';
      line += quoted_argument(args[i]);
    }
  }

  std::string error;
  if (!sim::use_machine(dir, &error)) return trouble(error);
  Machine& m = raw_machine();
  if (!directory.empty()) {
    FileTarget target = locate_file(directory.c_str());
    if (!target.exists || !target.directory) return refused(directory, kDirectoryNameInvalid);
    m.current_directory = target.full;
  }
  std::string image;
  if (port::DWORD missing = find_image(line, &image)) return refused(line, missing);
  std::string native;
  if (!native_program(image, &native)) return trouble(image + ": no native program stands for it");

  std::vector<std::string> environment = program_environment(m.dir, m.current_directory, image, 1);
  std::vector<std::string> arguments = split_command_line(line);
  std::vector<char*> envp = exec_array(environment);
  std::vector<char*> argv = exec_array(arguments);
  std::fflush(nullptr);
  // The program takes this process's place: its streams and exit code are the agent's.
  ::execve(native.c_str(), argv.data(), envp.data());
  return trouble(native + ": cannot start it");
}

}  // namespace halvik_sim
