// A camera's ObjectInfo data phase through the ObjectInfo reader and the
// record's copy: nothing reads past the bytes, whatever the fixed fields and
// strings claim.
#include "orvo/camera/mtp_dataset.h"

#include <cstddef>
#include <cstdint>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const mtp_buffer_t buffer = {const_cast<u8*>(data), size, size, false};
    mtp_objectinfo_t info;
    mtp_objectinfo_initialise(info, MTP_PROTOCOL_CANON, 1);
    u64 cursor = 0;
    if (mtp_objectinfo_parse(info, buffer, cursor))
    {
        if (cursor > size)
            __builtin_trap();
        mtp_objectinfo_t copy;
        mtp_objectinfo_initialise(copy, MTP_PROTOCOL_GENERIC, 0);
        mtp_objectinfo_copy(copy, info);
        if (copy.filename.length != info.filename.length)
            __builtin_trap();
        mtp_objectinfo_is_video(copy);
        mtp_format_to_imageformat(copy.protocol, copy.format);
        mtp_objectinfo_release(copy);
    }
    mtp_objectinfo_release(info);
    return 0;
}
