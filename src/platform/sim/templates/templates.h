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

}  // namespace sim::internal
