// Finding the present devices whose hardware or compatible IDs match an ID pattern.
#pragma once

#include <cstdint>
#include <vector>

#include "common/letter_case.h"
#include "platform/port.h"

// A pattern string in parsed form.  "@" in front asks for the device with that instance ID to
// be added to the device list; an apostrophe (after the optional "@") makes the rest literal,
// "*" included; otherwise each "*" stands for any run of characters.
struct IdPattern {
  const char* text;            // into the caller's string, past the leading marks
  const char* first_wildcard;  // the first "*" of text; null when none or literal
  bool by_instance;            // the pattern began with "@"
};

// The strings of a multi-string property: a null-terminated array of pointers into one buffer.
// The slot before the first entry holds that buffer, so the list carries its own storage.
// Null stands for a device without the property.  Give it back with release_id_list.
using IdList = char**;

// Called for every matching device; 0 goes on with the walk, anything else stops it and
// becomes the walk's result.  The set and record are valid only during the call.
using DeviceVisitor = int (*)(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, std::uint32_t index,
                              void* context);

IdPattern parse_id_pattern(const char* pattern);
// Letter case (A to Z only) is ignored everywhere.
bool id_matches_pattern(const char* id, const IdPattern& pattern);
// False for a null list.
bool any_id_matches(IdList list, const IdPattern& pattern);

// property is SPDRP_HARDWAREID or SPDRP_COMPATIBLEIDS; null when the device has no such
// property or it can't be read.
IdList read_device_id_list(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, port::DWORD property);
// buffer ends in two NUL bytes and must come from std::malloc; on success the list owns it,
// on failure (null) the caller still does.
IdList index_multi_string(char* buffer);
void release_id_list(IdList list);

// One device of a walk's list: what the list enumeration gave, the rows whose pattern its
// hardware or compatible IDs match, and the error that kept them from being read (0 when read).
struct WalkedDevice {
  port::SP_DEVINFO_DATA data;
  port::DWORD index;
  std::vector<std::uint32_t> rows;
  port::DWORD unreadable;
  bool gone;  // a visitor removed it
};

// One list of the devices serving several patterns (the rows): every device's IDs are read
// once, when the walk is opened, however many rows there are.
struct DeviceWalk {
  port::HDEVINFO set = port::INVALID_HANDLE_VALUE;
  port::DWORD list_error = 0;  // why the list could not be made
  port::DWORD end_error = 0;   // why the enumeration stopped before its end
  std::vector<WalkedDevice> devices;
};

// flags as for SetupDiGetClassDevsExA; DIGCF_ALLCLASSES is always added.  0, or 2 when the list
// can't be made (walk_row then answers kWalkFailed with that error for every row).  Close the walk either
// way.
int open_device_walk(port::DWORD flags, const char* const* patterns, std::uint32_t count, DeviceWalk* walk);
// Visits the devices of one row as a walk of its pattern alone over a list made now would: in
// list order, with enumerate_matching_devices' results.  visitor_removes: a device the visitor
// accepted (0) is gone, as a list made for a later row would not hold it.
int walk_row(DeviceWalk* walk, std::uint32_t row, DeviceVisitor visitor, void* context, bool visitor_removes);
void close_device_walk(DeviceWalk* walk);

// What a walk answers besides a visitor's own non-zero result.
enum WalkResult : int { kWalkFailed = 2, kWalkAllVisited = 4, kWalkNothingMatched = 5 };

// A walk of one pattern.  flags as for SetupDiGetClassDevsExA; DIGCF_ALLCLASSES is always
// added.  Results: kWalkNothingMatched, kWalkAllVisited (every matching device visited),
// otherwise the visitor's non-zero result, or kWalkFailed when the list, a step of the
// enumeration or a device's IDs can't be read (the walk then can't tell that no device of the
// pattern is left; the last error is that failure's).  Never 0.
int enumerate_matching_devices(port::DWORD flags, const char* pattern, DeviceVisitor visitor, void* context);
// The number of present devices that match, as far as the walk could read them.
int count_matching_devices(const char* pattern);
// Adds 1 to the std::uint32_t behind context.
int count_visitor(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, std::uint32_t index, void* context);
