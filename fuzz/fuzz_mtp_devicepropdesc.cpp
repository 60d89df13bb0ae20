// A camera's DevicePropDesc data phase through the DevicePropDesc reader, then
// the rest of the bytes as a bare value update. The first byte picks the
// device's protocol; the record's code is the one the data starts with, so the
// whole description is read rather than refused as a mismatch.
#include "orvo/camera/mtp_dataset.h"

#include <cstddef>
#include <cstdint>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const u32 protocol = data[0] & 3;
    const u32 code = static_cast<u32>(data[1]) | (static_cast<u32>(data[2]) << 8);
    const mtp_buffer_t buffer = {const_cast<u8*>(data + 1), size - 1, size - 1, false};
    mtp_devicepropdesc_t desc;
    mtp_devicepropdesc_initialise(desc, protocol, code);
    u64 cursor = 0;
    const bool ok = mtp_devicepropdesc_parse(desc, buffer, cursor);
    if (cursor > buffer.length || ok != desc.valid)
        __builtin_trap();
    if (ok)
    {
        if (mtp_datavalue_num_elements(desc.dataset.values) > MTP_DATASET_RANGE_MAX_VALUES + buffer.length)
            __builtin_trap();
        mtp_datavalue_find_index(desc.dataset.values, desc.current_value);
        mtp_devicepropdesc_update(desc, buffer, cursor);
        if (cursor > buffer.length)
            __builtin_trap();
    }
    mtp_devicepropdesc_release(desc);
    return 0;
}
