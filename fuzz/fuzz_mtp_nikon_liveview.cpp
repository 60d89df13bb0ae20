// A Nikon GetLiveViewImage block through the frame reader. The first byte
// picks a body's layout (JPEG and header offsets, or an offset still to be
// searched); the rest is the block. Nothing is read past the block, the
// stored frame is a tail of it, and a searched offset stays within the
// positions searched.
#include "orvo/camera/mtp_nikon.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace orvo;

namespace
{
struct layout_t
{
    i32 jpeg_offset;
    i32 header_offset;
};
// D3 family, D3s family, D4 family, D810 family, and a body whose offset was
// found wanting (search).
const layout_t layouts[] = {{64, 0}, {128, 0}, {384, 0}, {384, 8}, {-1, 8}, {-1, 0}};

mtp_device_t* fuzz_device()
{
    static mtp_device_t device = {};
    static mtp_nikon_state_t state = {};
    static bool ready = false;
    if (!ready)
    {
        if (!mtp_device_initialise(device, nullptr, mtp_device_callbacks_t{}))
            __builtin_trap();
        device.protocol = MTP_PROTOCOL_NIKON;
        // A static state: the fuzzer never releases the device.
        device.vendor_state = &state;
        ready = true;
    }
    return &device;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    mtp_device_t& device = *fuzz_device();
    mtp_nikon_state_t& state = *static_cast<mtp_nikon_state_t*>(device.vendor_state);
    const layout_t& layout = layouts[data[0] % (sizeof layouts / sizeof layouts[0])];
    state.liveview_jpeg_offset = layout.jpeg_offset;
    state.liveview_header_offset = layout.header_offset;

    // The block in storage of exactly its size, so a read past it is caught.
    size_t length = size - 1;
    u8* bytes = length ? new u8[length] : nullptr;
    if (length)
        std::memcpy(bytes, data + 1, length);
    const mtp_buffer_t block = {bytes, length, length, false};
    memorybuffer_set(device.liveview.frame, nullptr, 0);
    mtp_nikon_read_liveview_frame(device, block);

    const memorybuffer_t& frame = device.liveview.frame;
    if (frame.num_bytes > length)
        __builtin_trap();
    if (frame.num_bytes && std::memcmp(frame.data, bytes + (length - frame.num_bytes), frame.num_bytes) != 0)
        __builtin_trap();
    if (layout.jpeg_offset < 0 && state.liveview_jpeg_offset >= static_cast<i32>(MTP_NIKON_LIVEVIEW_SEARCH_LIMIT))
        __builtin_trap();
    delete[] bytes;
    device.change_flags.store(0);
    return 0;
}
