#include "config/driver_config.h"

#include "common/registry_key.h"

namespace {

// The order in which the driver's values are written; a failed write stops the sequence and
// keeps what was written before it.
int write_parameter_values(port::HKEY parameters, const DriverConfig& config, FailureInfo* failure) {
  auto dword = [&](const char* name, std::uint32_t value) {
    return set_dword_value(parameters, name, value, failure) == 0;
  };
  auto binary = [&](const char* name, const void* bytes, std::uint32_t length) {
    return set_binary_value(parameters, name, bytes, length, failure) == 0;
  };
  bool written =
      dword("MILL_NUM_ISA_ADDRS", config.num_isa_addrs) &&
      binary("MILL_ISA_ADDRS", config.isa_addrs, config.isa_addrs_length) &&
      dword("MILL_ISA_HW_INT", static_cast<std::uint32_t>(config.isa_hw_int)) &&
      dword("PHYBUFSIZE", config.phybufsize) && dword("APPBUFSIZE", config.appbufsize) &&
      dword("MACHINE_ID", config.machine_id) &&
      dword("MILL_HISTORY_ENABLE", static_cast<std::uint32_t>(config.hist_enable)) &&
      dword("MILL_HISTORY_SIZE", config.dhsize) && dword("MILL_NUM_HISTS_PHY", config.num_hists_phy) &&
      dword("MILL_NUM_HISTS_APL", config.num_hists_apl) &&
      dword("MILL_HIST_PHY_ADMIN_ONLY", config.hist_phy_admin_only) &&
      dword("DO_INITIAL_RESET", static_cast<std::uint32_t>(config.do_reset)) &&
      dword("MILL_NUM_RESERVED_MODULES", config.num_reserved_modules) &&
      binary("MILL_RESERVED_MODULES", config.reserved_modules, config.reserved_modules_length) &&
      dword("MILL_MAX_PCI_HW_MODULES", config.max_pci_modules) &&
      dword("MILL_DRIVER_FC_INTERVAL", config.fc_interval) &&
      dword("NUM_I2O_FRAMES_PER_MODULE", config.num_I2O_frames) &&
      dword("MEM_DRV_ALLOC_MIN", config.mem_drv_alloc_min) &&
      dword("MEM_DRV_ALLOC_QUANTA", config.mem_drv_alloc_quanta) && dword("MILL_TEST1", config.test1) &&
      dword("MILL_TEST2", config.test2) && dword("MILL_TEST3", config.test3);
  return written ? 0 : 1;
}

// One value of the given type; a failed write is recorded as "SetValue" with its status.
int set_value(port::HKEY key, const char* name, port::DWORD type, const void* bytes, std::uint32_t length,
              FailureInfo* failure) {
  port::LSTATUS status =
      port::RegSetValueExA(key, name, 0, type, static_cast<const port::BYTE*>(bytes), length);
  if (status != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    failure->context = "SetValue";
    failure->code = static_cast<std::uint32_t>(status);
    return 1;
  }
  return 0;
}

}  // namespace

int write_driver_parameters(const DriverConfig& config, FailureInfo* failure) {
  OwnedKey service;
  port::LSTATUS status = create_key(port::HKEY_LOCAL_MACHINE, kServiceKeyPath, service.out());
  if (status != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    failure->context = "Failed to open the driver registry key";
    failure->code = static_cast<std::uint32_t>(status);
    return 1;
  }

  OwnedKey parameters;
  status = create_key(service.get(), "Parameters", parameters.out());
  if (status != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    failure->context = "Failed to open the driver parameters registry key";
    failure->code = static_cast<std::uint32_t>(status);
    return 1;
  }
  return write_parameter_values(parameters.get(), config, failure);
}

port::LSTATUS create_key(port::HKEY parent, const char* path, port::HKEY* key) {
  char empty_class[] = "";
  port::DWORD disposition = 0;
  return port::RegCreateKeyExA(parent, path, 0, empty_class, port::REG_OPTION_NON_VOLATILE,
                               port::KEY_ALL_ACCESS, nullptr, key, &disposition);
}

bool driver_is_installed() {
  OwnedKey service;
  return port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, port::KEY_READ, service.out()) ==
         static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
}

int set_dword_value(port::HKEY key, const char* name, std::uint32_t value, FailureInfo* failure) {
  // REG_DWORD is little-endian whatever the host.
  port::BYTE bytes[4] = {static_cast<port::BYTE>(value), static_cast<port::BYTE>(value >> 8),
                         static_cast<port::BYTE>(value >> 16), static_cast<port::BYTE>(value >> 24)};
  return set_value(key, name, port::REG_DWORD, bytes, sizeof bytes, failure);
}

int set_binary_value(port::HKEY key, const char* name, const void* bytes, std::uint32_t length,
                     FailureInfo* failure) {
  return set_value(key, name, port::REG_BINARY, bytes, length, failure);
}

int query_dword_value(port::HKEY key, const char* name, std::uint32_t* value, FailureInfo* failure,
                      port::LSTATUS* status) {
  port::BYTE bytes[4] = {0, 0, 0, 0};
  port::DWORD type = 0;
  port::DWORD size = sizeof bytes;
  port::LSTATUS read = port::RegQueryValueExA(key, name, nullptr, &type, bytes, &size);
  if (status != nullptr) *status = read;
  if (read != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) return 1;
  if (type != port::REG_DWORD) {
    failure->message = "Query value got invalid type";
    return 1;
  }
  *value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return 0;
}
