// Text helpers every part of the simulated machine shares, and the encodings of string values.
#include "platform/sim/machine/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace sim::internal {

// ---- text helpers --------------------------------------------------------------------------

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // ASCII letters only, as in the "C" locale the programs run in; no call per character.
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if (ca == cb) continue;
    if ((ca | 0x20) != (cb | 0x20) || (ca | 0x20) < 'a' || (ca | 0x20) > 'z') return false;
  }
  return true;
}

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::vector<std::string> split_key_path(std::string_view path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::vector<std::string> split_folder_list(std::string_view list) {
  std::vector<std::string> folders;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = std::min(list.find(';', start), list.size());
    std::string folder = trim(list.substr(start, end - start));
    if (!folder.empty()) folders.push_back(folder);
    start = end + 1;
  }
  return folders;
}

std::string hex32(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

// ---- encodings -----------------------------------------------------------------------------

std::vector<std::uint8_t> ansi_to_utf16(std::span<const std::uint8_t> ansi) {
  std::vector<std::uint8_t> wide;
  wide.reserve(ansi.size() * 2);
  for (std::uint8_t c : ansi) {
    wide.push_back(c);
    wide.push_back(0);
  }
  return wide;
}

bool utf16_to_ansi(std::span<const std::uint8_t> wide, std::vector<std::uint8_t>* ansi) {
  bool exact = wide.size() % 2 == 0;
  ansi->clear();
  for (std::size_t i = 0; i + 1 < wide.size(); i += 2) {
    unsigned unit = wide[i] | (wide[i + 1] << 8);
    if (unit > 0xFF) {
      ansi->push_back('?');
      exact = false;
    } else {
      ansi->push_back(static_cast<std::uint8_t>(unit));
    }
  }
  return exact;
}

std::string ansi_to_utf8(std::string_view ansi) {
  std::string out;
  for (char ch : ansi) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool utf8_to_utf16(std::string_view utf8, std::u16string* wide) {
  wide->clear();
  std::size_t i = 0;
  while (i < utf8.size()) {
    auto c = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= utf8.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      wide->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      wide->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      wide->push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

std::string utf16_to_utf8(const std::u16string& wide) {
  std::string out;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t cp = wide[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string quote(const char* text) {
  return text == nullptr ? "(null)" : quote(std::string_view(text));
}

std::string quote(std::string_view text) {
  // Appended piece by piece: GCC 12 at -O3 sees a literal prepended to a temporary string as an
  // overlapping copy (-Wrestrict) where there is none.
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string directory_of(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace sim::internal
