// A GetViewFinderData answer through the Canon live-view block decoder: every
// block bounded by the bytes there, none looping, the frame, zoom, focus and
// zoom-area state kept consistent. The first byte chooses whether live view
// is zoomed and an autofocus runs before the frame arrives.
#include "fuzz_mtp_device_rig.h"

#include "orvo/camera/mtp_canon.h"
#include "orvo/camera/mtp_deviceproperty.h"

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    fuzz_rig::Device rig;
    if (!rig.ok)
        return 0;
    mtp_device_t& device = rig.device;
    fuzz_rig::answer() = fuzz_rig::Answer();
    mtp_device_lock(device);
    device.model = static_cast<mtp_model_t>(data[0] % 40);
    mtp_canon_parse_deviceinfo(device);
    mtp_canon_connect(device);
    device.liveview.on = true;
    device.liveview.zoomed = (data[0] & 0x40) != 0;
    device.autofocus.in_progress = (data[0] & 0x80) != 0;

    const mtp_buffer_t buffer = {const_cast<u8*>(data + 1), size - 1, size - 1, false};
    mtp_canon_liveview_decode(device, buffer, 0);
    if (device.liveview.frame.num_bytes > buffer.length)
        __builtin_trap();
    // A second pass over the same frame may only report a new frame.
    device.change_flags.store(0);
    mtp_canon_liveview_decode(device, buffer, 0);
    mtp_canon_disconnect(device);
    mtp_device_unlock(device);
    return 0;
}
