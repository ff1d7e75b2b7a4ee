#include "pnp/device_walk.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The first position from id on that holds c (either case for a letter); null at the end.
const char* find_character(const char* id, char c) {
  for (; *id != '\0'; ++id) {
    if (is_letter(c) ? fold_letter(*id) == fold_letter(c) : *id == c) return id;
  }
  return nullptr;
}

// One ID property of the device; *unreadable is set when the device has the property (as far
// as anyone can tell) but it can't be read.  A device without the property answers
// ERROR_INVALID_DATA.
IdList read_ids(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, port::DWORD property,
                port::DWORD* unreadable) {
  port::SetLastError(port::ERROR_SUCCESS);
  IdList list = read_device_id_list(set, device, property);
  if (list == nullptr) {
    port::DWORD error = port::GetLastError();
    if (error != port::ERROR_SUCCESS && error != port::ERROR_INVALID_DATA && *unreadable == 0)
      *unreadable = error;
  }
  return list;
}

}  // namespace

IdPattern parse_id_pattern(const char* pattern) {
  IdPattern parsed{pattern, nullptr, false};
  if (*parsed.text == '@') {
    parsed.by_instance = true;
    ++parsed.text;
  }
  if (*parsed.text == '\'') {
    ++parsed.text;
    return parsed;
  }
  parsed.first_wildcard = std::strchr(parsed.text, '*');
  return parsed;
}

bool id_matches_pattern(const char* id, const IdPattern& pattern) {
  if (pattern.first_wildcard == nullptr) return equal_ignoring_letter_case(id, pattern.text);

  std::size_t prefix_length = static_cast<std::size_t>(pattern.first_wildcard - pattern.text);
  if (!equal_ignoring_letter_case(id, pattern.text, prefix_length)) return false;

  const char* id_cursor = id + prefix_length;
  const char* pattern_cursor = pattern.first_wildcard;
  for (;;) {
    if (*pattern_cursor == '\0') return true;
    if (*pattern_cursor == '*') {
      ++pattern_cursor;
      continue;
    }
    const char* next_wildcard = std::strchr(pattern_cursor, '*');
    if (next_wildcard == nullptr) {
      // The final segment is anchored at the end of the ID.
      std::size_t segment_length = std::strlen(pattern_cursor);
      std::size_t rest_length = std::strlen(id_cursor);
      return rest_length >= segment_length &&
             equal_ignoring_letter_case(id_cursor + rest_length - segment_length, pattern_cursor,
                                        segment_length);
    }
    std::size_t segment_length = static_cast<std::size_t>(next_wildcard - pattern_cursor);
    const char* found = find_character(id_cursor, *pattern_cursor);
    if (found == nullptr) return false;
    if (equal_ignoring_letter_case(found, pattern_cursor, segment_length)) {
      id_cursor = found + segment_length;
      pattern_cursor = next_wildcard;
    } else {
      id_cursor = found + 1;
    }
  }
}

bool any_id_matches(IdList list, const IdPattern& pattern) {
  if (list == nullptr) return false;
  for (char** entry = list; *entry != nullptr; ++entry) {
    if (id_matches_pattern(*entry, pattern)) return true;
  }
  return false;
}

IdList read_device_id_list(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, port::DWORD property) {
  port::DWORD capacity = 8192;
  for (;;) {
    // Two bytes beyond the capacity, so the value always ends in two NUL bytes.
    auto* buffer = static_cast<port::BYTE*>(std::malloc(static_cast<std::size_t>(capacity) + 2));
    if (buffer == nullptr) return nullptr;
    port::DWORD type = port::REG_NONE;
    port::DWORD required = 0;
    if (port::SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, buffer, capacity, &required)) {
      // A single string becomes a one-entry list; the terminators go where the value ends,
      // never past the buffer.
      port::DWORD end = required < capacity ? required : capacity;
      buffer[end] = 0;
      buffer[end + 1] = 0;
      IdList list = index_multi_string(reinterpret_cast<char*>(buffer));
      if (list == nullptr) std::free(buffer);
      return list;
    }
    port::DWORD error = port::GetLastError();
    std::free(buffer);
    if (error != port::ERROR_INSUFFICIENT_BUFFER || type != port::REG_MULTI_SZ) return nullptr;
    // The value grows between the calls at worst; a size no larger than the buffer we offered
    // would only ask for the same call again.
    if (required <= capacity) return nullptr;
    capacity = required;
  }
}

IdList index_multi_string(char* buffer) {
  std::size_t count = 0;
  for (const char* s = buffer; *s != '\0'; s += std::strlen(s) + 1) ++count;

  auto** slots = static_cast<char**>(std::malloc((count + 2) * sizeof(char*)));
  if (slots == nullptr) return nullptr;
  slots[0] = buffer;
  char* s = buffer;
  for (std::size_t i = 1; i <= count; ++i) {
    slots[i] = s;
    s += std::strlen(s) + 1;
  }
  slots[count + 1] = nullptr;
  return slots + 1;
}

void release_id_list(IdList list) {
  if (list == nullptr) return;
  char** slots = list - 1;
  if (slots[0] != nullptr) std::free(slots[0]);
  std::free(slots);
}

int open_device_walk(port::DWORD flags, const char* const* patterns, std::uint32_t count, DeviceWalk* walk) {
  *walk = DeviceWalk{};
  walk->set = port::SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, flags | port::DIGCF_ALLCLASSES, nullptr,
                                           nullptr, nullptr);
  if (walk->set == port::INVALID_HANDLE_VALUE) {
    walk->list_error = port::GetLastError();
    return 2;
  }
  std::vector<IdPattern> parsed;
  for (std::uint32_t row = 0; row < count; ++row) {
    parsed.push_back(parse_id_pattern(patterns[row]));
    // The named device joins the list even when it is not present; a failure only means the
    // walk sees the devices it already has.
    if (parsed.back().by_instance)
      port::SetupDiOpenDeviceInfoA(walk->set, parsed.back().text, nullptr, 0, nullptr);
  }

  port::SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
  detail.cbSize = sizeof(detail);
  if (!port::SetupDiGetDeviceInfoListDetailA(walk->set, &detail)) {
    walk->end_error = port::GetLastError();
    return 0;
  }
  for (port::DWORD index = 0;; ++index) {
    WalkedDevice device{};
    device.data.cbSize = sizeof(device.data);
    device.index = index;
    if (!port::SetupDiEnumDeviceInfo(walk->set, index, &device.data)) {
      port::DWORD error = port::GetLastError();
      if (error != port::ERROR_NO_MORE_ITEMS) walk->end_error = error;
      break;
    }
    // Each device's IDs are read once, whatever the number of rows.
    IdList hardware_ids = read_ids(walk->set, &device.data, port::SPDRP_HARDWAREID, &device.unreadable);
    IdList compatible_ids = read_ids(walk->set, &device.data, port::SPDRP_COMPATIBLEIDS, &device.unreadable);
    for (std::uint32_t row = 0; row < count; ++row) {
      if (any_id_matches(hardware_ids, parsed[row]) || any_id_matches(compatible_ids, parsed[row]))
        device.rows.push_back(row);
    }
    release_id_list(hardware_ids);
    release_id_list(compatible_ids);
    walk->devices.push_back(device);
  }
  return 0;
}

int walk_row(DeviceWalk* walk, std::uint32_t row, DeviceVisitor visitor, void* context,
             bool visitor_removes) {
  if (walk->set == port::INVALID_HANDLE_VALUE) {
    port::SetLastError(walk->list_error);
    return kWalkFailed;
  }
  // A walk that could not look at every device can't say that none of them matched: a device
  // whose IDs can't be read may be one of ours.
  port::DWORD walk_error = 0;
  int result = kWalkNothingMatched;
  for (WalkedDevice& device : walk->devices) {
    if (device.gone) continue;
    bool matches = std::find(device.rows.begin(), device.rows.end(), row) != device.rows.end();
    if (!matches) {
      if (device.unreadable != 0) walk_error = device.unreadable;
      continue;
    }
    int visited = visitor(walk->set, &device.data, device.index, context);
    if (visited != 0) return visited;
    // A list made afresh for the next row would no longer hold it.
    if (visitor_removes) device.gone = true;
    result = kWalkAllVisited;
  }
  if (walk->end_error != 0) walk_error = walk->end_error;
  if (walk_error != 0) {
    port::SetLastError(walk_error);
    return kWalkFailed;
  }
  return result;
}

void close_device_walk(DeviceWalk* walk) {
  if (walk->set != port::INVALID_HANDLE_VALUE) port::SetupDiDestroyDeviceInfoList(walk->set);
  *walk = DeviceWalk{};
}

int enumerate_matching_devices(port::DWORD flags, const char* pattern, DeviceVisitor visitor, void* context) {
  DeviceWalk walk;
  open_device_walk(flags, &pattern, 1, &walk);
  int result = walk_row(&walk, 0, visitor, context, false);
  port::DWORD error = port::GetLastError();
  close_device_walk(&walk);
  if (result == kWalkFailed) port::SetLastError(error);
  return result;
}

int count_visitor(port::HDEVINFO, port::SP_DEVINFO_DATA*, std::uint32_t, void* context) {
  ++*static_cast<std::uint32_t*>(context);
  return 0;
}

int count_matching_devices(const char* pattern) {
  std::uint32_t count = 0;
  enumerate_matching_devices(port::DIGCF_PRESENT, pattern, count_visitor, &count);
  return static_cast<int>(count);
}
