// A camera-less PTP device for the fuzz targets of the vendor extensions:
// transactions without data succeed, reads answer the bytes a target hands
// over (or fail), and nothing is ever registered for downloads. One record
// per input, released at the end of it.
#pragma once

#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_device.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzz_rig
{
struct Answer
{
    const uint8_t* data = nullptr;
    size_t size = 0;
};

inline Answer& answer()
{
    static Answer current;
    return current;
}

inline orvo::mtp_response_t execute(orvo::mtp_protocol_t, orvo::mtp_command_t, const orvo::u32*, orvo::u32, void*)
{
    return orvo::MTP_RESPONSE_OK;
}

// Every read gets the target's bytes when it has some, else General Error.
inline orvo::mtp_response_t read(orvo::mtp_protocol_t, orvo::mtp_command_t, const orvo::u32*, orvo::u32,
                                 orvo::mtp_buffer_t& buffer, void*)
{
    const Answer& a = answer();
    if (!a.data || a.size == 0 || !orvo::mtp_buffer_allocate(buffer, a.size))
        return orvo::MTP_RESPONSE_General_Error;
    std::memcpy(buffer.data, a.data, a.size);
    return orvo::MTP_RESPONSE_OK;
}

inline orvo::mtp_response_t write(orvo::mtp_protocol_t, orvo::mtp_command_t, const orvo::u32*, orvo::u32,
                                  const orvo::mtp_buffer_t&, void*)
{
    return orvo::MTP_RESPONSE_OK;
}

inline void* add_object(const orvo::mtp_objectinfo_t&, void*)
{
    return nullptr;
}

struct Device
{
    orvo::mtp_context_t context = {};
    orvo::mtp_device_t device = {};
    bool ok = false;

    Device()
    {
        orvo::mtp_device_callbacks_t callbacks = {};
        callbacks.execute = execute;
        callbacks.read = read;
        callbacks.write = write;
        callbacks.add_object = add_object;
        ok = orvo::mtp_context_initialise(context) && orvo::mtp_device_initialise(device, &context, callbacks);
    }

    ~Device()
    {
        orvo::mtp_device_release(device);
        orvo::mtp_context_release(context);
    }

    // Lists the property codes, as a DeviceInfo (and GetDeviceInfoEx) would.
    void list_properties(const orvo::u16* codes, size_t count)
    {
        device.deviceinfo.properties.count = 0;
        for (size_t i = 0; i < count; ++i)
            orvo::vector_insert(device.deviceinfo.properties, codes[i]);
    }

    void list_operations(const orvo::u16* codes, size_t count)
    {
        device.deviceinfo.operations.count = 0;
        for (size_t i = 0; i < count; ++i)
            orvo::vector_insert(device.deviceinfo.operations, codes[i]);
    }
};
} // namespace fuzz_rig
