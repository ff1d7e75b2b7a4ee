#include "common/protected_folder.h"

#include "platform/port.h"

namespace {

// The descriptor for one call, freed on every path; the call's last error survives the free.
class Descriptor {
 public:
  Descriptor() {
    if (!port::ConvertStringSecurityDescriptorToSecurityDescriptorA(kAdministratorsOnly, port::SDDL_REVISION_1,
                                                                    &descriptor_, nullptr))
      descriptor_ = nullptr;
  }
  ~Descriptor() {
    if (descriptor_ == nullptr) return;
    port::DWORD error = port::GetLastError();
    port::LocalFree(descriptor_);
    port::SetLastError(error);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  void* get() const { return descriptor_; }

 private:
  void* descriptor_ = nullptr;
};

}  // namespace

bool create_protected_folder(const char* path) {
  Descriptor descriptor;
  if (descriptor.get() == nullptr) return false;
  port::SECURITY_ATTRIBUTES attributes{sizeof(port::SECURITY_ATTRIBUTES), descriptor.get(), port::FALSE};
  return port::CreateDirectoryA(path, &attributes) != port::FALSE;
}

bool protect_path(const char* path) {
  Descriptor descriptor;
  if (descriptor.get() == nullptr) return false;
  return port::SetFileSecurityA(path, port::OWNER_SECURITY_INFORMATION | port::DACL_SECURITY_INFORMATION,
                                descriptor.get()) != port::FALSE;
}
