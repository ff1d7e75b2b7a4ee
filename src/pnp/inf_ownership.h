// Which INF files of the INF directory are the driver package's: the removal deletes those, and
// with a driver store takes their packages out, so it must never take another vendor's.
#pragma once

#include <cstddef>

// Whether the INF text installs the package: a model line of a models section that the
// [Manufacturer] section names (decorated names included) lists one of the supported hardware
// IDs after its install section, or a .Services section adds the halvik service.  An ID in a
// comment, in [Strings] or in any other section is no installation.  IDs compare exactly, as
// the table writes them; the service name ignores case, as the service manager does.  The text
// ends at its first zero byte, so a UTF-16 INF is never the package's: the system copies our
// INF byte for byte, and it is ANSI.  Only a text that holds an ID or "halvik" (in any case)
// at all is parsed, so that the many INFs of other vendors cost one search each.
bool inf_installs_package(const char* text, std::size_t size);
