// registry.reg's text as the reader takes it: read a piece at a time, decoded to UTF-8 as it
// comes, handed out a line at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

namespace sim::internal {

// Bytes that grow without being cleared first: whatever is read or decoded into them is
// written over at once.
class Buffer {
 public:
  const char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  char operator[](std::size_t i) const { return bytes_[i]; }
  std::string_view view() const { return {bytes_.get(), size_}; }
  // Where `extra` more bytes after the end go; they count once commit() says how many were used.
  char* room(std::size_t extra) {
    if (size_ + extra > capacity_) {
      std::size_t capacity = std::max(capacity_ * 2, size_ + extra);
      auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
      if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
      bytes_ = std::move(bytes);
      capacity_ = capacity;
    }
    return bytes_.get() + size_;
  }
  void commit(std::size_t used) { size_ += used; }
  void append(std::string_view text) {
    if (text.empty()) return;  // memcpy is not to be given the null pointer of an empty view
    std::memcpy(room(text.size()), text.data(), text.size());
    commit(text.size());
  }
  void erase_front(std::size_t count) {
    if (count < size_) std::memmove(bytes_.get(), bytes_.get() + count, size_ - count);
    size_ -= std::min(count, size_);
  }
  void clear() { size_ = 0; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The lines of registry.reg, read a piece at a time and decoded to UTF-8 as they come (UTF-16LE
// after a byte-order mark, else UTF-8 with or without one): a large file is never held whole.
// Lines come without their line ends (LF or CR LF); a last line end starts no further line. A
// line stays valid until the next call.
class LineReader {
 public:
  // Fills the buffer given with up to its size in bytes: how many, 0 at the end, -1 on an error.
  using Source = std::function<std::ptrdiff_t(char*, std::size_t)>;
  // kUnknown: told by a byte-order mark at the start; the others for a part after the start.
  enum class Encoding { kUnknown, kUtf8, kUtf16 };

  LineReader(Source source, std::size_t chunk, Encoding encoding = Encoding::kUnknown)
      : source_(std::move(source)), chunk_(chunk), encoding_(encoding) {}

  std::size_t index = 0;  // of the line next() gives next

  bool next(std::string_view* line);
  bool failed() const { return failed_; }

 private:
  bool give(std::size_t end, std::size_t next_start, std::string_view* line);
  void read_into(Buffer* buffer);  // appends up to a piece from the source
  void fill();                     // reads a piece and decodes it into the text

  Source source_;
  std::size_t chunk_;
  Encoding encoding_ = Encoding::kUnknown;
  Buffer raw_;   // read, not yet decoded
  Buffer text_;  // decoded; lines from start_ on not yet given
  std::size_t start_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// The blanks a line of registry.reg is trimmed of.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where the first '"' or '\\' of `text` at or after `from` is (with `non_ascii`, also the first
// byte of 0x80 or more); text.size() when there is none.  Eight bytes at a time: the names and
// strings of a large registry go through here twice, on the way in and on the way out.
inline std::size_t find_special(std::string_view text, std::size_t from, bool non_ascii = false) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  // The high bit of the first byte equal to c (bits of later bytes may be wrong, never its).
  auto equal = [](std::uint64_t word, unsigned char c) {
    std::uint64_t x = word ^ (kOnes * c);
    return (x - kOnes) & ~x & kHigh;
  };
  std::size_t i = from;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      std::uint64_t found = equal(word, '"') | equal(word, '\\') | (non_ascii ? word & kHigh : 0);
      if (found != 0) return i + static_cast<std::size_t>(std::countr_zero(found)) / 8;
    }
  }
  for (; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\' || (non_ascii && c >= 0x80)) break;
  }
  return i;
}

// Whether every byte of `text` is below 0x80, eight at a time.
inline bool is_ascii(std::string_view text) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

}  // namespace sim::internal
