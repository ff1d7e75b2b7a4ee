// The driver package's INF, built into the simulated machine from pnp/morvellan.inf, so that
// the templates and the import can put it on a simulated drive.
#pragma once

#include <cstddef>
#include <string>

namespace sim::internal {

extern const unsigned char kMorvellanInf[];
extern const std::size_t kMorvellanInfSize;

inline std::string package_inf_text() {
  return std::string(reinterpret_cast<const char*>(kMorvellanInf), kMorvellanInfSize);
}

}  // namespace sim::internal
