// The driver package and the programs as they are unpacked on a machine, for the templates
// and the import alike: the INF's own bytes (built in from pnp/morvellan.inf) and stand-ins for
// the binaries, which the simulated machine never runs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sim::internal {

extern const unsigned char kMorvellanInf[];
extern const std::size_t kMorvellanInfSize;

inline std::string package_inf_text() {
  return std::string(reinterpret_cast<const char*>(kMorvellanInf), kMorvellanInfSize);
}

inline constexpr char kInstallStandIn[] = "MZ install (stand-in: the native program runs)\n";
inline constexpr char kInstallx64StandIn[] = "MZ installx64 (stand-in: the native counterpart runs)\n";

struct PackageFile {
  std::string path;  // as Windows names it
  std::string content;
};

// The package's folder as it is unpacked: the INF and each platform's driver, co-installer and
// property pages.
inline std::vector<PackageFile> package_files() {
  const std::string dir = "C:\\Tessaridge\\pnp\\";
  std::vector<PackageFile> files{{dir + "morvellan.inf", package_inf_text()}};
  for (const std::string platform : {"x86", "amd64"}) {
    files.push_back({dir + "halvik_" + platform + ".sys", "MZ halvik kernel driver (" + platform + ")\n"});
    files.push_back(
        {dir + "tsrgBdevco_" + platform + ".dll", "MZ Morvellan co-installer (" + platform + ")\n"});
    files.push_back(
        {dir + "tsrgBdevpp_" + platform + ".dll", "MZ Morvellan property pages (" + platform + ")\n"});
  }
  return files;
}

}  // namespace sim::internal
