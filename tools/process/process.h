// Starting a program and collecting what it wrote: one way for halvik-sim's rehearsal and for the
// tests that run the built programs.
#pragma once

#include <string>
#include <vector>

namespace process {

struct Request {
  std::vector<std::string> argv;  // argv[0] is the program's path, not looked up in PATH
  // "NAME=value" set over the inherited environment; "NAME" alone keeps NAME from the child.
  std::vector<std::string> environment;
  std::string directory;  // where the program starts; "" the caller's
  std::string input;      // its standard input; "" reads as an empty file
  // Seconds before the program and everything it started are killed; 0 no limit.  With a
  // limit the program runs in a process group of its own, so that the kill reaches its children.
  int time_limit = 0;
};

struct Result {
  bool started = false;  // false: it could not be started (the reason in err)
  bool hung = false;     // killed at the time limit
  int signal = 0;        // the signal that ended it
  int code = -1;         // its exit status when it exited, 0..255
  std::string out;
  std::string err;
};

Result run(const Request& request);

}  // namespace process
