#include "pnp/hardware_ids.h"

// The driver package's INF lists the same IDs; change them only together with it.
const char* const supported_hardware_ids[kSupportedHardwareIdCount] = {
    "PCI\\VEN_1E5C&DEV_F000&SUBSYS_00001E5C",  // root-enumerated node, no board
    "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00021E5C",
    "PCI\\VEN_1E5C&DEV_0420&SUBSYS_00011E5C", "PCI\\VEN_1E5C&DEV_0420&SUBSYS_00021E5C",
    "PCI\\VEN_1E5C&DEV_0430&SUBSYS_00011E5C", "PCI\\VEN_1E5C&DEV_0440&SUBSYS_00011E5C",
    "PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C", "PCI\\VEN_1E5C&DEV_0C20&SUBSYS_00011E5C",
    "PCI\\VEN_1E5C&DEV_0C30&SUBSYS_00011E5C", "PCI\\VEN_10B5&DEV_9656&SUBSYS_04501E5C",
    "PCI\\VEN_10B5&DEV_9656&SUBSYS_04601E5C",
};

const std::uint32_t supported_hardware_id_count = kSupportedHardwareIdCount;
