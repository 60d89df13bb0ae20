// The Fujifilm extension: the generic PTP table with protocol 3, a small
// vendor state made when the camera connects and freed when it goes, and no
// battery check. New objects are reported as on any PTP camera (ObjectAdded
// through the generic event hook), so a Fujifilm body's photos are announced
// and downloaded like every other camera's.
#include "orvo/camera/mtp_generic.h"

#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
namespace
{
struct mtp_fujifilm_state_t
{
    u32 response;        // the last vendor response, 0x2001 when created
    mtp_buffer_t buffer; // owned, empty when created
};

void fujifilm_state_release(void* state)
{
    mtp_fujifilm_state_t* fujifilm = static_cast<mtp_fujifilm_state_t*>(state);
    if (!fujifilm)
        return;
    mtp_buffer_release(fujifilm->buffer);
    fujifilm->~mtp_fujifilm_state_t();
    heap_free(fujifilm, ORVO_HEAP_TAG);
}
} // namespace

void mtp_fujifilm_parse_deviceinfo(mtp_device_t& device)
{
    mtp_generic_parse_deviceinfo(device);
    device.protocol = MTP_PROTOCOL_FUJIFILM;
    device.hooks.connect = mtp_fujifilm_connect;
    device.hooks.disconnect = mtp_fujifilm_disconnect;
    device.hooks.check_battery = nullptr;
    // The generic table already holds the event hook; it stays so that
    // ObjectAdded reaches the camera layer. Without it the update would drop
    // the event and the photo would never be seen.
}

bool mtp_fujifilm_connect(mtp_device_t& device)
{
    mtp_device_free_vendor_state(device);
    void* memory = heap_alloc(sizeof(mtp_fujifilm_state_t), alignof(mtp_fujifilm_state_t), ORVO_HEAP_TAG);
    if (!memory)
        return false; // the heap has logged the failed allocation, which fails the connection
    mtp_fujifilm_state_t* state = new (memory) mtp_fujifilm_state_t();
    state->response = MTP_RESPONSE_OK;
    mtp_buffer_initialise(state->buffer);
    device.vendor_state = state;
    device.vendor_state_release = fujifilm_state_release;
    if (device.hooks.check_battery)
        device.hooks.check_battery(device);
    return true;
}

void mtp_fujifilm_disconnect(mtp_device_t& device)
{
    mtp_device_free_vendor_state(device);
}
} // namespace orvo
