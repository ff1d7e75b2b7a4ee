#include "common/registry_flush.h"

#include <initializer_list>

#include "platform/port.h"

void flush_registry() {
  for (const char* hive : {"SYSTEM", "SOFTWARE"}) {
    port::HKEY key = nullptr;
    if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, hive, 0, port::KEY_QUERY_VALUE, &key) !=
        static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
      continue;
    }
    port::RegFlushKey(key);
    port::RegCloseKey(key);
  }
}
