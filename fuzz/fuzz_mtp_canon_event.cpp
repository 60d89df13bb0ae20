// A Canon body's GetEvent answer through the record walk of a connected
// Canon device whose properties are all listed: sizes, payloads, values,
// allowed-value lists, image formats, custom functions, object and transfer
// records. Nothing may read past the answer, loop or leak; a property pass
// afterwards builds the camera properties from whatever was decoded.
#include "fuzz_mtp_device_rig.h"

#include "orvo/camera/mtp_canon.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_update.h"

using namespace orvo;

namespace
{
const u16 g_properties[] = {0x5001, 0xD101, 0xD102, 0xD103, 0xD104, 0xD105, 0xD106, 0xD107, 0xD108, 0xD109,
                            0xD112, 0xD11B, 0xD11C, 0xD120, 0xD121, 0xD122, 0xD123, 0xD13A, 0xD1A0, 0xD1AF,
                            0xD1B0, 0xD1B1, 0xD1B2, 0xD1B8, 0xD1BA, 0xD1BF, 0xD1D3};
const u16 g_operations[] = {0x1001, 0x1008, 0x1009, 0x9110, 0x9114, 0x9115, 0x9116, 0x9117,
                            0x9118, 0x911A, 0x9127, 0x9128, 0x9129, 0x9153, 0x9154, 0x9160};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_rig::Device rig;
    if (!rig.ok)
        return 0;
    mtp_device_t& device = rig.device;
    rig.list_operations(g_operations, sizeof g_operations / sizeof g_operations[0]);
    rig.list_properties(g_properties, sizeof g_properties / sizeof g_properties[0]);
    fuzz_rig::answer() = fuzz_rig::Answer();
    mtp_device_lock(device);
    device.model = static_cast<mtp_model_t>(7);
    mtp_canon_parse_deviceinfo(device);
    mtp_device_reset_deviceprops(device);
    mtp_canon_connect(device);

    // The answer is the data of every GetEvent from here on.
    fuzz_rig::answer() = fuzz_rig::Answer{data, size};
    mtp_canon_getevent(device);
    for (mtp_cameraproperty_t& property : device.cameraproperties)
        if (property.get)
            property.get(device, property);
    mtp_canon_check_video(device);
    mtp_canon_check_liveview(device);
    fuzz_rig::answer() = fuzz_rig::Answer();
    mtp_canon_disconnect(device);
    mtp_device_unlock(device);
    return 0;
}
