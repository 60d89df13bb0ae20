// A camera's DeviceInfo data phase, as it arrives, through the DeviceInfo
// reader, its support tests, overrides and the once-per-kind log. Whatever the
// bytes, nothing reads past them and a parsed serial number is trimmed.
#include "orvo/camera/mtp_dataset.h"

#include <cstddef>
#include <cstdint>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const mtp_buffer_t buffer = {const_cast<u8*>(data), size, size, false};
    mtp_deviceinfo_t info;
    mtp_deviceinfo_initialise(info);
    u64 cursor = 0;
    if (mtp_deviceinfo_parse(info, buffer, cursor))
    {
        if (cursor > size || info.serial_start > info.serial_end || info.serial_end != cursor)
            __builtin_trap();
        if (info.serial_number.length > 1 && info.serial_number.str[0] == '0')
            __builtin_trap();
        mtp_deviceinfo_is_supported(info, MTP_COMMAND_GetObject);
        mtp_deviceinfo_is_supported(info, MTP_FORMAT_EXIF_JPEG, MTP_PROPERTY_ObjectFileName);
        mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_COMMAND_Nikon_GetEvent, true);
        mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_PROPERTY_Nikon_RecordingMedia, false);
        mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
        mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
    }
    mtp_deviceinfo_release(info);
    return 0;
}
