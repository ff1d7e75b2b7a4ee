// registry.reg's lines: UTF-16LE (after a byte-order mark) or UTF-8, decoded a piece at a time.
#include "platform/sim/machine/reg_lines.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sim::internal {

namespace {

// UTF-16LE text as UTF-8, appended to *text (an odd last byte is dropped; unpaired surrogates
// are kept as three bytes each).  Runs of ASCII, nearly all of a registry, go eight units at a
// time.
void utf16_file_to_utf8(std::string_view bytes, Buffer* text) {
  std::size_t end = bytes.size() - bytes.size() % 2;
  char* const start = text->room(end / 2 * 3);  // at most three bytes for each unit
  char* out = start;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  auto unit_at = [&](std::size_t i) -> char32_t { return in[i] | (in[i + 1] << 8); };
  std::size_t i = 0;
  while (i < end) {
    // Eight units of ASCII: every high byte 0, every low byte below 0x80.
    if (i + 16 <= end) {
      std::uint64_t first;
      std::uint64_t second;
      std::memcpy(&first, in + i, 8);
      std::memcpy(&second, in + i + 8, 8);
      if (((first | second) & 0xFF80FF80FF80FF80ULL) == 0) {
        for (int k = 0; k < 8; ++k) out[k] = static_cast<char>(in[i + 2 * k]);
        out += 8;
        i += 16;
        continue;
      }
    }
    char32_t cp = unit_at(i);
    i += 2;
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp < 0xDC00 && i < end) {
      char32_t next = unit_at(i);
      if (next >= 0xDC00 && next < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        i += 2;
      }
    }
    if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      // Four bytes for a pair of two units: still within the room for the two.
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  text->commit(static_cast<std::size_t>(out - start));
}

}  // namespace

bool LineReader::next(std::string_view* line) {
  // Searched from where the last search ended: a line longer than a piece is not searched
  // again from its start after every piece.
  std::size_t from = start_;
  while (true) {
    const void* found =
        from < text_.size() ? std::memchr(text_.data() + from, '\n', text_.size() - from) : nullptr;
    if (found != nullptr) {
      auto end = static_cast<std::size_t>(static_cast<const char*>(found) - text_.data());
      return give(end, end + 1, line);
    }
    if (ended_) return start_ < text_.size() && give(text_.size(), text_.size(), line);
    from = text_.size() - start_;
    text_.erase_front(start_);
    start_ = 0;
    fill();
  }
}

bool LineReader::give(std::size_t end, std::size_t next_start, std::string_view* line) {
  std::size_t stop = end > start_ && text_[end - 1] == '\r' ? end - 1 : end;
  *line = text_.view().substr(start_, stop - start_);
  start_ = next_start;
  ++index;
  return true;
}

void LineReader::read_into(Buffer* buffer) {
  std::ptrdiff_t n = source_(buffer->room(chunk_), chunk_);
  if (n < 0) failed_ = true;
  buffer->commit(static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)));
  ended_ = n <= 0;
}

void LineReader::fill() {
  // Once the text is known to be UTF-8, it is read straight into place.
  if (encoding_ == Encoding::kUtf8) return read_into(&text_);
  read_into(&raw_);
  if (encoding_ == Encoding::kUnknown) {
    if (!ended_ && raw_.size() < 3) return;  // not enough to tell yet
    if (raw_.size() >= 2 && static_cast<unsigned char>(raw_[0]) == 0xFF &&
        static_cast<unsigned char>(raw_[1]) == 0xFE) {
      encoding_ = Encoding::kUtf16;
      raw_.erase_front(2);
    } else {
      encoding_ = Encoding::kUtf8;
      if (raw_.view().substr(0, 3) == "\xEF\xBB\xBF") raw_.erase_front(3);
    }
  }
  if (encoding_ == Encoding::kUtf8) {
    text_.append(raw_.view());
    raw_.clear();
    return;
  }
  // Whole UTF-16 units only, and a high surrogate at the end waits for the unit after it.
  std::size_t usable = raw_.size() - raw_.size() % 2;
  if (!ended_ && usable >= 2) {
    unsigned unit =
        static_cast<unsigned char>(raw_[usable - 2]) | (static_cast<unsigned char>(raw_[usable - 1]) << 8);
    if (unit >= 0xD800 && unit < 0xDC00) usable -= 2;
  }
  utf16_file_to_utf8(raw_.view().substr(0, usable), &text_);
  raw_.erase_front(usable);
  if (ended_) raw_.clear();  // an odd last byte
}

}  // namespace sim::internal
