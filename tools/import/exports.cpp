// The administrator's registry exports (what `reg export HKLM\SYSTEM` and `reg export
// HKLM\SOFTWARE` write), read and merged under HKEY_LOCAL_MACHINE, and the control set the
// program opens as CurrentControlSet.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "steps.h"

namespace halvik_sim::importer {

using namespace sim::internal;

namespace {

// Why an export is cut short (a fetch or copy that stopped early), "" when it ends as an export
// ends.  The parser would take such a file up to where it stops and leave out everything
// after: a machine without its Services key, say, that isn't the real one.  reg export writes
// UTF-16 and ends with an empty line; any export ends with a line end after a complete line.
// How many lines an export has: its line ends, plus one.  Read a piece at a time.
std::size_t count_lines(int fd, bool wide) {
  std::size_t lines = 1;
  std::vector<char> piece(std::size_t{1} << 20);
  off_t offset = 0;
  while (true) {
    ssize_t n = ::pread(fd, piece.data(), piece.size(), offset);
    if (n <= 0) return lines;
    // A piece is an even number of bytes from an even offset: a UTF-16 unit never straddles two.
    for (ssize_t i = 0; i + (wide ? 1 : 0) < n; i += wide ? 2 : 1) {
      if (piece[static_cast<std::size_t>(i)] == '\n' &&
          (!wide || piece[static_cast<std::size_t>(i) + 1] == '\0'))
        ++lines;
    }
    offset += n;
  }
}

// Why the export open as `fd`, of `size` bytes, is cut short; "" when it ends as reg export
// ends a file.  Only its end is read, and all of it only to say on which line a cut file ends.
std::string where_export_is_cut(int fd, std::size_t size) {
  unsigned char mark[2] = {0, 0};
  bool wide = size >= 2 && ::pread(fd, mark, 2, 0) == 2 && mark[0] == 0xFF && mark[1] == 0xFE;
  std::size_t unit = wide ? 2 : 1;
  auto at = [&] {
    return "at byte " + std::to_string(size) + " (line " + std::to_string(count_lines(fd, wide)) + ")";
  };
  if (wide && size % 2 != 0) return "it ends inside a character, " + at();
  // The tail as text: ASCII is all the checks need.
  std::size_t from = size > 8192 * unit ? size - 8192 * unit : (wide ? 2 : 0);
  std::string bytes(size - from, '\0');
  if (::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(from)) != static_cast<ssize_t>(bytes.size()))
    return "it could not be read to its end, " + at();
  std::string tail;
  for (std::size_t i = 0; i + unit <= bytes.size(); i += unit) {
    bool ascii = !wide || bytes[i + 1] == '\0';
    tail += ascii ? bytes[i] : '?';
  }
  if (tail.empty() || tail.back() != '\n') return "its last line has no end, " + at();
  if (wide && (tail.size() < 4 || tail.compare(tail.size() - 4, 4, "\r\n\r\n") != 0))
    return "it lacks the empty line reg export ends with, " + at();
  std::size_t end = tail.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  std::size_t start = tail.find_last_of('\n', end);
  std::string last = tail.substr(start == std::string::npos ? 0 : start + 1,
                                 end + 1 - (start == std::string::npos ? 0 : start + 1));
  if (last.back() == '\\') return "its last value goes on past the end, " + at();
  bool quoted = false;
  for (std::size_t i = 0; i < last.size(); ++i) {
    if (last[i] == '\\' && quoted) {
      ++i;
    } else if (last[i] == '"') {
      quoted = !quoted;
    }
  }
  if (quoted) return "its last line ends inside a string, " + at();
  return "";
}

}  // namespace

bool read_exports(const std::vector<std::string>& exports, Machine* machine, std::string* error) {
  for (const std::string& path : exports) {
    // Read a piece at a time: the export is never held whole beside its keys.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      if (fd >= 0) ::close(fd);
      *error = "cannot read " + path;
      return false;
    }
    // UTF-16 without its byte-order mark (a copy that dropped it, a tool that never wrote it)
    // has a zero byte beside each ASCII one: read as UTF-8 it would only seem cut short.
    unsigned char start[2] = {0xFF, 0xFF};
    if (::pread(fd, start, 2, 0) == 2 && start[0] != 0 && start[1] == 0) {
      ::close(fd);
      *error = path + ":1: not a registry export: UTF-16 without the byte-order mark reg export writes";
      return false;
    }
    std::string cut = where_export_is_cut(fd, static_cast<std::size_t>(status.st_size));
    KeyPtr root;
    bool parsed = cut.empty() && parse_reg_fd(fd, path, &root, error);
    ::close(fd);
    if (!cut.empty()) {
      *error = path + " is cut short: " + cut;
      return false;
    }
    if (!parsed) return false;
    if (machine->hklm == nullptr) {
      machine->hklm = std::move(root);
    } else {
      merge_tree(machine->hklm.get(), root.get());
    }
  }
  return true;
}

// Windows opens CurrentControlSet as the control set that Select\Current names.  The simulated
// registry has no links: that control set is renamed CurrentControlSet (the program only ever
// opens it by that name; a copy would double the largest part of the export and leave two
// versions to drift apart).  The other control sets (the last known good one) stay as they are.
bool settle_control_set(Key* hklm, std::string* mapped, std::string* error) {
  Key* system = hklm->find_subkey("SYSTEM");
  if (system == nullptr) {
    *error = "no HKEY_LOCAL_MACHINE\\SYSTEM in the exports (reg export HKLM\\SYSTEM system.reg writes it)";
    return false;
  }
  if (system->find_subkey("CurrentControlSet") != nullptr) return true;
  DWORD current = 0;
  if (!dword_value(find_key(system, "Select"), "Current", &current)) {
    *error = "the export has neither SYSTEM\\CurrentControlSet nor SYSTEM\\Select with a Current value";
    return false;
  }
  char name[32];
  std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(current));
  Key* set = system->detach(name);
  if (set == nullptr) {
    *error =
        std::string("SYSTEM\\Select names ") + name + " as the current control set, which the export lacks";
    return false;
  }
  *mapped = set->name;
  set->rename("CurrentControlSet");
  system->adopt(set);
  return true;
}

}  // namespace halvik_sim::importer
