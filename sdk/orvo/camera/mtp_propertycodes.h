// Names of device properties and of their values: the name of a property code
// under a device's dialect, the dialect that owns a code on such a device
// (stored in each DevicePropDesc record to name it), and the display text of
// one raw value ("1/125", "5.6", "AUTO"). Constant texts, never null, "unknown"
// for anything not listed. Operation, event and format names: mtp_codes.h.
#pragma once

#include "orvo/camera/mtp_codes.h"

namespace orvo
{
const char* mtp_property_to_cstr(u32 protocol, u32 property);
// The device's own dialect for a vendor property that the dialect names,
// otherwise MTP_PROTOCOL_GENERIC: standard properties are owned by no vendor.
mtp_protocol_t mtp_property_to_protocol(u32 protocol, u32 property);
// value is the raw value as read; Canon properties arrive as unsigned 32-bit
// values, so the Canon exposure compensation comes as 0 to 255.
const char* mtp_property_to_cstr(u32 protocol, u32 property, u32 value);
} // namespace orvo
