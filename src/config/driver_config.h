// The driver configuration record and its registry form under the service's Parameters key.
#pragma once

#include <cstdint>

#include "common/failure_info.h"
#include "platform/port.h"

inline constexpr const char* kServiceKeyPath = "SYSTEM\\CurrentControlSet\\Services\\halvik";
inline constexpr const char* kParametersKeyPath = "SYSTEM\\CurrentControlSet\\Services\\halvik\\Parameters";
inline constexpr std::uint32_t kReservedModuleSlots = 32;
inline constexpr std::uint32_t kReservedModulesBytes = kReservedModuleSlots * 8;

struct ReservedModule {
  std::uint32_t mod_id;
  std::uint32_t mod_num;
};

struct DriverConfig {
  std::uint32_t num_isa_addrs;
  std::int32_t isa_hw_int;
  const std::uint8_t* isa_addrs;
  std::uint32_t isa_addrs_length;
  std::uint32_t max_pci_modules;
  std::uint32_t phybufsize;
  std::uint32_t appbufsize;
  std::uint32_t machine_id;
  std::int32_t do_reset;
  std::int32_t hist_enable;
  std::uint32_t dhsize;
  std::uint32_t num_hists_phy;
  std::uint32_t num_hists_apl;
  std::uint32_t hist_phy_admin_only;
  std::uint32_t num_I2O_frames;
  std::uint32_t fc_interval;
  std::uint32_t mem_drv_alloc_min;
  std::uint32_t mem_drv_alloc_quanta;
  std::uint32_t reserved;
  std::uint32_t num_reserved_modules;
  const ReservedModule* reserved_modules;  // the front end's 32-slot table
  std::uint32_t reserved_modules_length;   // always kReservedModulesBytes
  std::uint32_t test1;
  std::uint32_t test2;
  std::uint32_t test3;
};

// Creates the service key and its Parameters subkey and writes the 22 values; 0 or 1.
int write_driver_parameters(const DriverConfig& config, FailureInfo* failure);
// True when the halvik service key can be opened for reading.
bool driver_is_installed();

// Creates parent\path, or opens it when it exists, for full access (non-volatile, no class);
// the registry status.
port::LSTATUS create_key(port::HKEY parent, const char* path, port::HKEY* key);

int set_dword_value(port::HKEY key, const char* name, std::uint32_t value, FailureInfo* failure);
int set_binary_value(port::HKEY key, const char* name, const void* bytes, std::uint32_t length,
                     FailureInfo* failure);
// 0, or 1 when the value can't be read or isn't a REG_DWORD (only the wrong type is recorded, as
// "Query value got invalid type").  *status, when given, gets the registry's status of the read.
int query_dword_value(port::HKEY key, const char* name, std::uint32_t* value, FailureInfo* failure,
                      port::LSTATUS* status = nullptr);
