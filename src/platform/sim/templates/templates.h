// The templates a new simulated machine is built from: a function per name that fills it.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/machine/machine.h"

namespace sim::internal {

using TemplateFunction = void (*)(Machine& machine);
void register_template(const std::string& name, TemplateFunction function);
TemplateFunction find_template(const std::string& name);
std::vector<std::string> template_names();
void register_builtin_templates();  // xp, w2k
// The devices of xp and w2k, and the templates amd64 and leftovers (templates_devices.cpp).
void register_device_templates();

// Where LocalSystem keeps its temporary files, below the Windows folder: its profile in
// system32\config\systemprofile (AppData\Local\Temp from Windows Vista on, Local
// Settings\Temp before), and on 64-bit Windows the same below SysWOW64, which is what a 32-bit
// process reaches through the first.  A deployment agent runs as LocalSystem with its TEMP there.
std::vector<std::string> local_system_temp_folders(int major_version, bool wow64);

}  // namespace sim::internal
