// What the device calls of the port share (setupapi.cpp, setupapi_inf.cpp, cfgmgr.cpp): their
// error codes, their trace lines, the device instance handles and the copy into a caller's
// buffer.
#pragma once

#include <string>

#include "platform/port.h"
#include "platform/sim/devices/devices.h"
#include "platform/sim/machine/text.h"

namespace port::device_calls {

// The names every device call uses.
namespace devices = sim::devices;
using sim::internal::hex32;
using sim::internal::iequals;
using sim::internal::quote;

inline constexpr DWORD kErrorInvalidUserBuffer = 1784;
inline constexpr DWORD kErrorCancelled = 1223;
inline constexpr DWORD kErrorModNotFound = 126;
inline constexpr DWORD kErrorProcNotFound = 127;
inline constexpr DWORD kErrorSectionNotFound = 0xE0000101;
inline constexpr DWORD kErrorClassMismatch = 0xE0000201;
inline constexpr DWORD kErrorInvalidDevinstName = 0xE0000205;
inline constexpr DWORD kErrorInvalidClass = 0xE0000206;
inline constexpr DWORD kErrorDevinfoNotRegistered = 0xE0000208;
inline constexpr DWORD kErrorInvalidRegProperty = 0xE0000209;
inline constexpr DWORD kErrorInvalidMachineName = 0xE0000220;
inline constexpr DWORD kErrorInvalidFlags = 1004;
inline constexpr CONFIGRET kCrInvalidPointer = 0x03;
inline constexpr CONFIGRET kCrInvalidDevnode = 0x05;
inline constexpr CONFIGRET kCrNoSuchDevnode = 0x0D;
inline constexpr CONFIGRET kCrBufferSmall = 0x1A;
inline constexpr CONFIGRET kCrInvalidMachineName = 0x2F;

inline constexpr DWORD kSpdrpDeviceDesc = 0x00;
inline constexpr DWORD kSpdrpService = 0x04;
inline constexpr DWORD kSpdrpClass = 0x07;
inline constexpr DWORD kSpdrpClassGuid = 0x08;
inline constexpr DWORD kSpdrpDriver = 0x09;
inline constexpr DWORD kSpdrpMfg = 0x0B;
inline constexpr DWORD kDibciNoInstallClass = 0x1;
inline constexpr DWORD kDibciNoDisplayClass = 0x2;

// The root of the device tree, as CM_Locate_DevNode_ExA names it without a device ID.
inline constexpr char kRootDevnode[] = "HTREE\\ROOT\\0";

// Trace lines read "Call arguments -> result [what came back]", as for every other port call.
// A call that succeeds leaves the last error as it was: Windows documents no reset for SetupAPI
// and newdev, and a caller that reads it after a success reads whatever an earlier call left.
BOOL succeed(const std::string& call, const std::string& detail = "");
BOOL fail(const std::string& call, DWORD error);
// A configuration manager call reports through its result alone: the last error stays as it was.
CONFIGRET answer(const std::string& call, CONFIGRET result);
std::string guid_text(const GUID* guid);  // "(null)" for none

// Device instance handles (DevInst): one number per instance ID for the life of the process.
DEVINST devinst_of(const std::string& any_case_id);
const std::string* instance_of(DEVINST devinst);  // nullptr for a number never handed out

bool local_machine(const char* machine_name);  // no name or "": this machine
// Copies text and its NUL into a caller's buffer: the required size (with the NUL) always, the
// text only when it fits.
bool copy_out(const std::string& text, char* buffer, DWORD size, DWORD* required_size);

}  // namespace port::device_calls
