// Text helpers every part of the simulated machine shares: Windows compares names ignoring
// case and splits paths on either slash, and string values are held in the ANSI code page
// where the host speaks UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port.h"

namespace sim::internal {

using port::DWORD;

std::string upper(std::string_view text);
std::string lower(std::string_view text);
bool iequals(std::string_view a, std::string_view b);
std::string trim(std::string_view text);
std::vector<std::string> split_path(std::string_view path);  // on '\' and '/', no empty parts
// A path without its last part: "" for a bare name.
std::string directory_of(const std::string& path);
// A list of folders as PATH holds them: split on ';', each trimmed, no empty entries.
std::vector<std::string> split_folder_list(std::string_view list);
// A registry path's key names: only '\' separates ('/' is part of a name).
std::vector<std::string> split_key_path(std::string_view path);
std::string hex32(DWORD value);  // "0x%x"
// A readable argument: a quoted string, or (null).
std::string quote(const char* text);
std::string quote(std::string_view text);

// ANSI (code page 1252 taken as Latin-1) <-> UTF-16LE for string values.
std::vector<std::uint8_t> ansi_to_utf16(std::span<const std::uint8_t> ansi);
// False when some character has no ANSI form (it becomes '?').
bool utf16_to_ansi(std::span<const std::uint8_t> wide, std::vector<std::uint8_t>* ansi);
std::string ansi_to_utf8(std::string_view ansi);
bool utf8_to_utf16(std::string_view utf8, std::u16string* wide);
std::string utf16_to_utf8(const std::u16string& wide);

}  // namespace sim::internal
