// A Nikon GetEvent block (u16 count, then u16 code and u32 parameter per
// entry) through the event reader into the device's event path: whatever the
// count claims, nothing is read past the block and no more entries are handed
// on than its bytes hold.
#include "orvo/camera/mtp_nikon.h"

#include <cstddef>
#include <cstdint>

using namespace orvo;

namespace
{
mtp_device_t* fuzz_device()
{
    static mtp_device_t device = {};
    static bool ready = false;
    if (!ready)
    {
        // No transport and no context: reading the block transacts nothing.
        if (!mtp_device_initialise(device, nullptr, mtp_device_callbacks_t{}))
            __builtin_trap();
        device.protocol = MTP_PROTOCOL_NIKON;
        ready = true;
    }
    return &device;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    mtp_device_t& device = *fuzz_device();
    const mtp_buffer_t block = {const_cast<u8*>(data), size, size, false};
    u64 handed = mtp_nikon_read_events(device, block);
    u64 room = size >= 2 ? (size - 2) / MTP_NIKON_EVENT_SIZE : 0;
    if (handed > room)
        __builtin_trap();
    mutex_lock(*device.event_lock);
    if (device.event_queue.count + device.property_queue.count > handed)
        __builtin_trap();
    device.event_queue.count = 0;
    device.property_queue.count = 0;
    mutex_unlock(*device.event_lock);
    device.change_flags.store(0);
    return 0;
}
