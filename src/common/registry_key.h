// A registry key handle that closes itself: the key is closed on every way out of the function
// that opened it, failures included.
#pragma once

#include "platform/port.h"

class OwnedKey {
 public:
  OwnedKey() = default;
  ~OwnedKey() {
    if (key_ != nullptr) port::RegCloseKey(key_);
  }
  OwnedKey(const OwnedKey&) = delete;
  OwnedKey& operator=(const OwnedKey&) = delete;

  port::HKEY get() const { return key_; }
  // Where an open or create call puts the key it opens.
  port::HKEY* out() { return &key_; }

 private:
  port::HKEY key_ = nullptr;
};
