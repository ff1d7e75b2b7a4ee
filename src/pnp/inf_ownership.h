// Which INF files of the INF directory are the driver package's: the removal deletes those, and
// with a driver store takes their packages out, so it must never take another vendor's.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Whether the INF text installs the package: a model line of a models section that the
// [Manufacturer] section names (decorated names included) lists one of the supported hardware
// IDs after its install section, or a .Services section adds the halvik service.  An ID in a
// comment, in [Strings] or in any other section is no installation.  IDs compare exactly, as
// the table writes them; the service name ignores case, as the service manager does.  The text
// ends at its first zero byte, so a UTF-16 INF is never the package's: the system copies our
// INF byte for byte, and it is ANSI.  Only a text that holds an ID or "halvik" (in any case)
// at all is parsed, so that the many INFs of other vendors cost one search each.
bool inf_installs_package(const char* text, std::size_t size);

// The source files that installing the package from the INF copies, on every platform its
// [Manufacturer] section names: the CopyFiles of the install sections (and their .CoInstallers
// sections) that the model lines naming a supported ID pick, each file as a path relative to the
// INF's folder (the disk's path from [SourceDisksNames], the file's subfolder from
// [SourceDisksFiles], the platform's decorated sections first), each once, in the order met.
// false, with nothing added, when setup would not read the text as an INF.
bool inf_copied_files(const char* text, std::size_t size, std::vector<std::string>* files);
