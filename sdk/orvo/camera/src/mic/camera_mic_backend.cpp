// Status names and device names shared by both backends.
#include "orvo/camera/src/mic/camera_mic_backend.h"

#include <cstdio>

namespace orvo
{
const char* mic_status_to_cstr(u32 status)
{
    switch (status)
    {
    case MIC_STATUS_OK:
        return "OK";
    case MIC_STATUS_TIMEOUT:
        return "timeout";
    case MIC_STATUS_STALL:
        return "stall";
    case MIC_STATUS_NO_DEVICE:
        return "device removed";
    case MIC_STATUS_BUSY:
        return "interface busy";
    case MIC_STATUS_ACCESS:
        return "access denied";
    case MIC_STATUS_OVERFLOW:
        return "overflow";
    default:
        return "error";
    }
}

std::string mic_usbinfo_name(const mic_usbinfo_t& info)
{
    if (!info.product.empty())
        return info.product;
    char text[40];
    std::snprintf(text, sizeof(text), "USB camera %04x:%04x", info.vendor_id, info.product_id);
    return text;
}

void mic_backend_release(mic_backend_t& backend)
{
    if (backend.release)
        backend.release(backend.user);
    backend = mic_backend_t();
}
} // namespace orvo
