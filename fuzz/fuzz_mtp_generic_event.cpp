// PTP events of a generic or Fujifilm camera through the event queue and the
// update: the input starts with a count of events (code, parameter); the rest
// is what the camera answers to every read (ObjectInfo for ObjectAdded,
// storage ids, property descriptions). The first byte picks the extension.
#include "fuzz_mtp_device_rig.h"

#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_update.h"

using namespace orvo;

namespace
{
const u16 g_properties[] = {0x5001, 0x5003, 0x5004, 0x5005, 0x5007, 0x500A, 0x500B,
                            0x500D, 0x500E, 0x500F, 0x5010, 0x5013, 0xD018};
const u16 g_operations[] = {0x1001, 0x1004, 0x1008, 0x1009, 0x100B, 0x100E, 0x100F, 0x1014, 0x1015, 0x1016, 0x101B};
const size_t MAX_EVENTS = 16;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    bool fujifilm = data[0] & 1;
    size_t events = data[1] % (MAX_EVENTS + 1);
    size_t header = 2 + 6 * events;
    if (size < header)
        return 0;
    fuzz_rig::Device rig;
    if (!rig.ok)
        return 0;
    mtp_device_t& device = rig.device;
    rig.list_operations(g_operations, sizeof g_operations / sizeof g_operations[0]);
    rig.list_properties(g_properties, sizeof g_properties / sizeof g_properties[0]);
    fuzz_rig::answer() = fuzz_rig::Answer{data + header, size - header};

    mtp_device_lock(device);
    if (fujifilm)
    {
        mtp_fujifilm_parse_deviceinfo(device);
        mtp_fujifilm_connect(device);
    }
    else
        mtp_generic_parse_deviceinfo(device);
    mtp_device_reset_deviceprops(device);
    device.jpeg_only = (data[0] & 2) != 0;
    device.capture_in_progress = (data[0] & 4) != 0;
    mtp_device_unlock(device);

    for (size_t i = 0; i < events; ++i)
    {
        const uint8_t* e = data + 2 + 6 * i;
        u32 code = static_cast<u32>(e[0]) | static_cast<u32>(e[1]) << 8;
        u32 parameter = static_cast<u32>(e[2]) | static_cast<u32>(e[3]) << 8 | static_cast<u32>(e[4]) << 16 |
                        static_cast<u32>(e[5]) << 24;
        mtp_device_handle(device, static_cast<mtp_event_t>(code), &parameter, (e[0] & 0x80) ? 0 : 1);
    }
    mtp_device_update(device);
    mtp_device_update(device);

    mtp_device_lock(device);
    if (fujifilm)
        mtp_fujifilm_disconnect(device);
    mtp_device_unlock(device);
    fuzz_rig::answer() = fuzz_rig::Answer();
    return 0;
}
