// Names of the PTP codes that pass through the engine: operations, responses,
// events and object formats, each named under the dialect of the device it
// came from, and the file extension proposed for an object without a name.
// Standard codes are named on every camera, vendor codes only under their own
// protocol; anything else is "unknown". The texts are constant and never null;
// callers never free them. Property names are in mtp_propertycodes.h.
#pragma once

#include "orvo/camera/mtp_vocabulary.h"

namespace orvo
{
// The dialect a device speaks, chosen from its maker when it is identified.
enum mtp_protocol_t : u32
{
    MTP_PROTOCOL_GENERIC = 0,
    MTP_PROTOCOL_CANON = 1, // Canon EOS
    MTP_PROTOCOL_NIKON = 2,
    MTP_PROTOCOL_FUJIFILM = 3,
};

const char* mtp_command_to_cstr(u32 protocol, u32 operation);
const char* mtp_response_to_cstr(u32 protocol, u32 response);
const char* mtp_event_to_cstr(u32 protocol, u32 event);
const char* mtp_format_to_cstr(u32 protocol, u32 format);
// Without the dot and in upper case: "JPG", "TIFF", "CR2", ...; every format
// without an extension of its own gives its format name ("PNG", "Undefined").
const char* mtp_format_to_extension_cstr(u32 protocol, u32 format);
} // namespace orvo
