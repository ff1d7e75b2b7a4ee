// The security of files and folders, as far as the program relies on it: the descriptors it
// builds from SDDL text, the folders it creates with one, and the folders it takes over.
//
// A folder's security is kept in machine.ini, [file_security] PATH = SDDL text, for the
// folders the program (or a test standing for another user) gave one; a folder without an
// entry has what it inherited, which lets administrators in.  A descriptor is the SDDL text
// itself, counted as an open handle until LocalFree, so that a leak shows.
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace sim::internal {

namespace {

std::set<char*>& descriptors() {
  static std::set<char*> live;
  return live;
}

// The parts of SDDL text the program can write: O:, G:, D: and S:, each once, in that order;
// an access list as flags ("P", "AI", ...) and entries in parentheses.  Enough to refuse text
// Windows would refuse for its shape.
bool well_formed(const std::string& text) {
  if (text.empty()) return false;
  std::size_t i = 0;
  std::string order = "OGDS";
  std::size_t next_part = 0;
  while (i < text.size()) {
    if (i + 1 >= text.size() || text[i + 1] != ':') return false;
    std::size_t part = order.find(text[i], next_part);
    if (part == std::string::npos) return false;
    next_part = part + 1;
    i += 2;
    std::size_t end = i;
    int depth = 0;
    while (end < text.size() && (depth > 0 || !(end + 1 < text.size() && text[end + 1] == ':' &&
                                                 order.find(text[end]) != std::string::npos))) {
      if (text[end] == '(') ++depth;
      if (text[end] == ')' && --depth < 0) return false;
      ++end;
    }
    if (depth != 0 || end == i) return false;
    i = end;
  }
  return true;
}

// Whether the access list of `sddl` lets Administrators or SYSTEM change the security: no
// access list means everyone may, an entry for them with full control (or WO/WD) lets them.
bool administrators_may_change(const std::string& sddl) {
  std::size_t dacl = sddl.find("D:");
  if (dacl == std::string::npos) return true;
  std::string owner;
  if (sddl.rfind("O:", 0) == 0) {
    std::size_t end = 2;
    while (end + 1 < sddl.size() && !(sddl[end + 1] == ':' && std::strchr("GDS", sddl[end]) != nullptr)) ++end;
    owner = sddl.substr(2, end - 2);
  }
  if (owner == "BA" || owner == "SY") return true;
  std::size_t at = dacl;
  while ((at = sddl.find('(', at)) != std::string::npos) {
    std::size_t end = sddl.find(')', at);
    if (end == std::string::npos) break;
    std::string entry = sddl.substr(at + 1, end - at - 1);
    bool allow = entry.rfind("A;", 0) == 0;
    bool for_us = entry.size() >= 3 && (entry.substr(entry.size() - 3) == ";BA" || entry.substr(entry.size() - 3) == ";SY");
    bool rights = entry.find(";FA;") != std::string::npos || entry.find("WO") != std::string::npos ||
                  entry.find("WD") != std::string::npos || entry.find(";GA;") != std::string::npos;
    if (allow && for_us && rights) return true;
    at = end;
  }
  return false;
}

}  // namespace

std::string file_security(const std::string& windows_full) {
  return machine().ini.get_or("file_security", windows_full, "");
}

void set_file_security(const std::string& windows_full, const std::string& sddl) {
  set_path_record("file_security", windows_full, sddl);
}

void forget_file_records(const std::string& windows_full) {
  set_extra_attributes(windows_full, 0);
  set_file_security(windows_full, "");
}

const char* descriptor_text(const void* descriptor) {
  auto* text = static_cast<char*>(const_cast<void*>(descriptor));
  return descriptors().count(text) != 0 ? text : nullptr;
}

}  // namespace sim::internal

namespace port {

using namespace sim::internal;

DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(::getpid());
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(const char* text, DWORD revision, void** descriptor,
                                                          DWORD* size) {
  BOOL ok = FALSE;
  DWORD error = fault("ConvertStringSecurityDescriptorToSecurityDescriptorA", {text == nullptr ? "" : text});
  if (error == 0 && (text == nullptr || descriptor == nullptr || revision != SDDL_REVISION_1 ||
                     !well_formed(text)))
    error = ERROR_INVALID_PARAMETER;
  if (error == 0) {
    std::size_t length = std::strlen(text) + 1;
    char* copy = new char[length];
    std::memcpy(copy, text, length);
    descriptors().insert(copy);
    count_handle_opened();
    *descriptor = copy;
    if (size != nullptr) *size = static_cast<DWORD>(length);
    ok = TRUE;
  } else {
    SetLastError(error);
  }
  trace_line("ConvertStringSecurityDescriptorToSecurityDescriptorA " + quote(text) + " -> " +
             (ok ? std::string("TRUE") : "FALSE " + std::to_string(error)));
  return ok;
}

void* LocalFree(void* memory) {
  auto* text = static_cast<char*>(memory);
  if (memory == nullptr) return nullptr;
  if (descriptors().erase(text) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  delete[] text;
  count_handle_closed();
  return nullptr;
}

BOOL SetFileSecurityA(const char* path, DWORD information, void* descriptor) {
  FileTarget target = locate_file(path);
  const char* sddl = descriptor_text(descriptor);
  DWORD error = fault("SetFileSecurityA", {path == nullptr ? "" : path, target.full});
  if (error != 0) {
  } else if (sddl == nullptr ||
             (information & ~(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) != 0) {
    error = ERROR_INVALID_PARAMETER;
  } else if (!target.exists) {
    error = target.full.empty() ? ERROR_PATH_NOT_FOUND : target.missing_error();
  } else if (!administrators_may_change(file_security(target.full))) {
    // Taking ownership would need SeTakeOwnershipPrivilege enabled, which the program never does.
    error = ERROR_ACCESS_DENIED;
  } else {
    set_file_security(target.full, sddl);
  }
  BOOL ok = error == 0 ? TRUE : FALSE;
  if (!ok) SetLastError(error);
  trace_line("SetFileSecurityA " + quote(path) + " " + std::to_string(information) + " -> " +
             (ok ? std::string("TRUE") : "FALSE " + std::to_string(error)));
  return ok;
}

}  // namespace port
