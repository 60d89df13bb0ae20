// What camera detection says about each attached device: the names of the
// device type and location bits, the status of a device in a detection run
// (the first rule that applies wins), and the log block written for it.
#pragma once

#include "orvo/camera/src/mic/camera_mic_backend.h"

namespace orvo
{
enum : u32
{
    MIC_DEVICETYPE_CAMERA = 0x1,
    MIC_DEVICETYPE_SCANNER = 0x2,
    MIC_LOCATION_LOCAL = 0x100,
    MIC_LOCATION_SHARED = 0x200,
    MIC_LOCATION_BONJOUR = 0x400,
    MIC_LOCATION_BLUETOOTH = 0x800,
};

const char* mic_devicetype_to_cstr(u32 type);
const char* mic_locationtype_to_cstr(u32 type);
// Every still-image interface found on USB is a local camera.
u32 mic_usbinfo_type(const mic_usbinfo_t& device);
const char* mic_usbinfo_transport(const mic_usbinfo_t& device);

enum mic_detect_status_t : u32
{
    MIC_DETECT_NOT_CONNECTED,
    MIC_DETECT_NATIVE_SUPPORT,
    MIC_DETECT_NOT_CAMERA,
    MIC_DETECT_NOT_PTP,
    MIC_DETECT_ALREADY_DETECTED,
    MIC_DETECT_UNSUPPORTED,
    MIC_DETECT_NEW,
};

const char* mic_detect_status_to_cstr(u32 status);
// A name that holds "THETA" in any case: a camera this driver leaves alone.
bool mic_detect_is_unsupported_name(const char* name);
mic_detect_status_t mic_detect_classify(bool connected, const char* name, u32 type, bool accepts_ptp,
                                        bool native_support, bool already_detected);
// The block "MIC device: i", name, type, location, transport and status,
// under one log lock, when Info lines of the Camera module are on.
void mic_detect_log_device(int index, const char* name, const char* type, const char* location,
                           const char* transport, const char* status);
} // namespace orvo
