// Detection texts and the per-device status rules.
#include "orvo/camera/src/mic/camera_mic_detect.h"

#include "orvo/core/core_log.h"

#include <cctype>
#include <cstring>

namespace orvo
{
const char* mic_devicetype_to_cstr(u32 type)
{
    if (type & MIC_DEVICETYPE_CAMERA)
        return "Camera";
    if (type & MIC_DEVICETYPE_SCANNER)
        return "Scanner";
    return "unknown";
}

const char* mic_locationtype_to_cstr(u32 type)
{
    if (type & MIC_LOCATION_LOCAL)
        return "Local";
    if (type & MIC_LOCATION_SHARED)
        return "Shared";
    if (type & MIC_LOCATION_BONJOUR)
        return "Bonjour";
    if (type & MIC_LOCATION_BLUETOOTH)
        return "Bluetooth";
    return "unknown";
}

u32 mic_usbinfo_type(const mic_usbinfo_t&)
{
    return MIC_DEVICETYPE_CAMERA | MIC_LOCATION_LOCAL;
}

const char* mic_usbinfo_transport(const mic_usbinfo_t&)
{
    return "USB";
}

const char* mic_detect_status_to_cstr(u32 status)
{
    switch (status)
    {
    case MIC_DETECT_NOT_CONNECTED:
        return "Not connected";
    case MIC_DETECT_NATIVE_SUPPORT:
        return "Ignored (has native driver support)";
    case MIC_DETECT_NOT_CAMERA:
        return "Ignored (not camera device)";
    case MIC_DETECT_NOT_PTP:
        return "Ignored (not PTP camera device)";
    case MIC_DETECT_ALREADY_DETECTED:
        return "Already detected";
    case MIC_DETECT_UNSUPPORTED:
        return "Ignored (unsupported camera device)";
    default:
        return "Newly detected";
    }
}

bool mic_detect_is_unsupported_name(const char* name)
{
    static const char kTheta[] = "THETA";
    const size_t n = sizeof(kTheta) - 1;
    if (!name)
        return false;
    for (const char* p = name; std::strlen(p) >= n; ++p)
    {
        size_t i = 0;
        while (i < n && std::toupper(static_cast<unsigned char>(p[i])) == kTheta[i])
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

mic_detect_status_t mic_detect_classify(bool connected, const char* name, u32 type, bool accepts_ptp,
                                        bool native_support, bool already_detected)
{
    if (!connected)
        return MIC_DETECT_NOT_CONNECTED;
    if (native_support)
        return MIC_DETECT_NATIVE_SUPPORT;
    if (!(type & MIC_DEVICETYPE_CAMERA))
        return MIC_DETECT_NOT_CAMERA;
    if (!accepts_ptp)
        return MIC_DETECT_NOT_PTP;
    if (already_detected)
        return MIC_DETECT_ALREADY_DETECTED;
    if (mic_detect_is_unsupported_name(name))
        return MIC_DETECT_UNSUPPORTED;
    return MIC_DETECT_NEW;
}

void mic_detect_log_device(int index, const char* name, const char* type, const char* location,
                           const char* transport, const char* status)
{
    if (!log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA))
        return;
    log_printf("MIC device: %d\n", index);
    log_printf("Name:       %s\n", name);
    log_printf("Type:       %s\n", type);
    log_printf("Location:   %s\n", location);
    log_printf("Transport:  %s\n", transport);
    log_printf("Status:     %s", status);
    log_unlock();
}
} // namespace orvo
