// Taking back deletions scheduled for the next restart of files the installation has put in
// place since.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/port.h"
#include "pnp/device_walk.h"
#include "pnp/pnp_steps.h"

namespace {

constexpr const char* kSessionManagerKeyPath = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char* kPendingOperations = "PendingFileRenameOperations";
constexpr port::LSTATUS kSuccess = static_cast<port::LSTATUS>(port::ERROR_SUCCESS);

// The files this run put in place, as the session manager names them ("\??\C:\...").
std::vector<std::string> package_files(const char* root, const char* registered_inf, bool files_copied) {
  std::string windows = std::string("\\??\\") + root + "\\";
  std::vector<std::string> files;
  if (files_copied) {
    for (const DriverFile& file : kDriverFiles) files.push_back(windows + file.directory + "\\" + file.name);
  }
  char pnf_name[port::MAX_PATH];
  if (is_plain_file_name(registered_inf)) {
    files.push_back(windows + "inf\\" + registered_inf);
    if (pnf_name_for(registered_inf, pnf_name)) files.push_back(windows + "inf\\" + pnf_name);
  }
  return files;
}

bool is_package_file(const std::vector<std::string>& files, const std::string& name) {
  for (const std::string& file : files) {
    if (equal_ignoring_letter_case(file.c_str(), name.c_str())) return true;
  }
  return false;
}

// The operations list without the deletions of package files (empty when nothing else is
// left); false when there are none.
bool without_package_deletions(const std::vector<char>& list, const std::vector<std::string>& files,
                               std::vector<char>* kept) {
  std::vector<std::string> names;
  for (std::size_t start = 0; start < list.size();) {
    std::size_t end = start;
    while (end < list.size() && list[end] != '\0') ++end;
    names.emplace_back(list.data() + start, end - start);
    start = end + 1;
  }
  bool dropped = false;
  for (std::size_t i = 0; i + 1 < names.size() && !names[i].empty(); i += 2) {
    if (names[i + 1].empty() && is_package_file(files, names[i])) {
      dropped = true;
      continue;
    }
    for (std::size_t j = i; j <= i + 1; ++j)
      kept->insert(kept->end(), names[j].c_str(), names[j].c_str() + names[j].size() + 1);
  }
  if (!kept->empty()) kept->push_back('\0');
  return dropped;
}

}  // namespace

int keep_installed_files_at_restart(const char* registered_inf, bool files_copied, FailureInfo* failure) {
  const char* root = port::getenv("SystemRoot");
  if (root == nullptr || root[0] == '\0') return 0;
  return keep_files_at_restart(package_files(root, registered_inf, files_copied), failure);
}

int keep_files_at_restart(const std::vector<std::string>& files, FailureInfo* failure) {
  port::HKEY key = nullptr;
  if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kSessionManagerKeyPath, 0, port::KEY_ALL_ACCESS, &key) !=
      kSuccess) {
    return 0;  // no list can be there that this run could have written either
  }
  int result = 0;
  port::DWORD type = 0;
  port::DWORD size = 0;
  port::LSTATUS status = port::RegQueryValueExA(key, kPendingOperations, nullptr, &type, nullptr, &size);
  if (status == kSuccess && type == port::REG_MULTI_SZ && size > 0) {
    std::vector<char> list(size + 2, '\0');
    status = port::RegQueryValueExA(key, kPendingOperations, nullptr, &type,
                                    reinterpret_cast<port::BYTE*>(list.data()), &size);
    std::vector<char> kept;
    if (status == kSuccess && without_package_deletions(list, files, &kept)) {
      // An empty list goes: tools that look for a pending restart take the value's mere
      // presence for one.
      status = kept.empty() ? port::RegDeleteValueA(key, kPendingOperations)
                            : port::RegSetValueExA(key, kPendingOperations, 0, port::REG_MULTI_SZ,
                                                   reinterpret_cast<const port::BYTE*>(kept.data()),
                                                   static_cast<port::DWORD>(kept.size()));
    }
    if (status != kSuccess) {
      failure->context = "Failed to keep the installed files at the next restart";
      failure->code = static_cast<std::uint32_t>(status);
      result = 1;
    }
  }
  port::RegCloseKey(key);
  return result;
}
