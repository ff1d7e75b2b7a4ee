// registry.reg read whole, or, when it is large, in two parts side by side: the file is cut at
// the first key line after its middle, and the second part's keys are merged into the first's.
// A removal in the second part (of a key or a value the first part may hold) sends that part
// to be read again after the first, on from its keys, as a reading from the start would.
#include "platform/sim/machine/reg_parts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace sim::internal {

namespace {

// How much of registry.reg is read at a time.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// From this size on a file is read in two parts.  The second part's hive and reader hold a few
// megabytes more at the peak (each hive's last block is partly used), which only a large file
// makes up for; a smaller one is read about as soon in one part.
constexpr std::uint64_t kPartsFrom = std::uint64_t{32} << 20;
// A file of unknown size (a pipe) is read in one part, as it comes.
constexpr std::uint64_t kOnePart = UINT64_MAX;
// How far after the middle the cut is looked for.
constexpr std::size_t kCutWindow = std::size_t{64} << 10;

// Up to `size` bytes of the file at `offset` into the buffer: how many, 0 at its end, -1 on
// an error.
using ReadAt = std::function<std::ptrdiff_t(char*, std::size_t, std::uint64_t)>;

// The bytes from `from` to `to` as a line reader's source.
LineReader::Source range(const ReadAt& read_at, std::uint64_t from, std::uint64_t to) {
  return [&read_at, at = from, to](char* buffer, std::size_t size) mutable -> std::ptrdiff_t {
    auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, to - at));
    if (wanted == 0) return 0;
    std::ptrdiff_t got = read_at(buffer, wanted, at);
    if (got > 0) at += static_cast<std::uint64_t>(got);
    return got;
  };
}

// Where the second part starts: a line that starts with '[' (a key line) at or after `from`,
// whose line before does not end in a backslash (that line would take it as the rest of its
// hex data).  0 when there is none in the window after `from`.  In UTF-16 `from` is even.
std::uint64_t find_cut(const ReadAt& read_at, std::uint64_t from, bool utf16) {
  std::string window(kCutWindow, '\0');
  std::ptrdiff_t got = read_at(window.data(), window.size(), from);
  if (got <= 0) return 0;
  window.resize(static_cast<std::size_t>(got));
  const std::size_t unit = utf16 ? 2 : 1;
  // The ASCII character of the unit at i; 0x7F stands for any other.
  auto at = [&](std::size_t i) { return utf16 && window[i + 1] != 0 ? '\x7F' : window[i]; };
  for (std::size_t i = 0; i + 2 * unit <= window.size(); i += unit) {
    if (at(i) != '\n' || at(i + unit) != '[') continue;
    std::size_t before = i;
    while (before >= unit && is_blank(at(before - unit))) before -= unit;
    if (before < unit || at(before - unit) == '\\') continue;
    return from + i + unit;
  }
  return 0;
}

bool report(const PartRead& part, std::size_t first_line, const std::string& file_name, std::string* error) {
  *error = part.unreadable
               ? "cannot read " + file_name
               : file_name + ":" + std::to_string(first_line + part.fault_line + 1) + ": " + part.fault;
  return false;
}

bool parse_reg(const ReadAt& read_at, std::uint64_t size, const std::string& file_name, KeyPtr* root,
               std::string* error, std::size_t chunk, std::uint64_t parts_from) {
  std::uint64_t cut = 0;
  auto later = LineReader::Encoding::kUtf8;
  if (parts_from != kOnePart && size >= parts_from) {
    char mark[2] = {};
    bool utf16 = read_at(mark, 2, 0) == 2 && mark[0] == '\xFF' && mark[1] == '\xFE';
    if (utf16) later = LineReader::Encoding::kUtf16;
    cut = find_cut(read_at, size / 2 & ~std::uint64_t{1}, utf16);
  }
  PartRead first;
  PartRead second;
  // A part of some size makes a large tree: its hive can take huge pages from the start.
  auto start_tree = [](PartRead* part, std::uint64_t bytes) {
    part->tree = new_tree();
    if (bytes >= Hive::kLargeTree && bytes != UINT64_MAX) part->tree->hive->expect_large();
  };
  start_tree(&first, cut != 0 ? cut : size);
  std::thread other;
  if (cut != 0) {
    start_tree(&second, size - cut);
    other = std::thread([&] {
      LineReader lines(range(read_at, cut, size), chunk, later);
      read_part(lines, false, true, &second);
    });
  }
  LineReader lines(range(read_at, 0, cut != 0 ? cut : size), chunk);
  bool first_read = read_part(lines, true, false, &first);
  if (other.joinable()) other.join();
  if (!first_read) return report(first, 0, file_name, error);
  if (second.stopped) {
    second = PartRead();
    second.tree = first.tree;
    LineReader rest(range(read_at, cut, size), chunk, later);
    if (!read_part(rest, false, false, &second)) return report(second, first.lines, file_name, error);
  } else if (second.failed || second.unreadable) {
    return report(second, first.lines, file_name, error);
  } else if (cut != 0) {
    merge_tree(first.tree.get(), second.tree.get());
  }
  *root = std::move(first.tree);
  return true;
}

}  // namespace

bool parse_reg_file(std::string_view bytes, const std::string& file_name, KeyPtr* root, std::string* error,
                    std::size_t chunk, std::uint64_t parts_from) {
  static_assert(kOnePart == UINT64_MAX, "registry.h gives parts_from UINT64_MAX for one part");
  ReadAt read_at = [bytes](char* buffer, std::size_t size, std::uint64_t offset) {
    std::size_t n = offset < bytes.size() ? std::min<std::size_t>(size, bytes.size() - offset) : 0;
    std::copy_n(bytes.data() + offset, n, buffer);
    return static_cast<std::ptrdiff_t>(n);
  };
  return parse_reg(read_at, bytes.size(), file_name, root, error, chunk, parts_from);
}

bool parse_reg_fd(int fd, const std::string& file_name, KeyPtr* root, std::string* error) {
  struct stat status {};
  bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  ReadAt read_at = [fd, regular](char* buffer, std::size_t size, std::uint64_t offset) {
    while (true) {
      // Anything but a file (a pipe, say) is read as it comes, in one part.
      ssize_t n = regular ? ::pread(fd, buffer, size, static_cast<off_t>(offset)) : ::read(fd, buffer, size);
      if (n >= 0 || errno != EINTR) return static_cast<std::ptrdiff_t>(n);
    }
  };
  std::uint64_t size = regular ? static_cast<std::uint64_t>(status.st_size) : UINT64_MAX;
  return parse_reg(read_at, size, file_name, root, error, kReadChunk, regular ? kPartsFrom : kOnePart);
}

}  // namespace sim::internal
