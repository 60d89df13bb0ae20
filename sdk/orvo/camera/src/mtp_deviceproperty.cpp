// The device's property descriptions: lazy reading through the vendor hooks,
// invalidation, writes that mark the value for reading back, the table reset
// after each DeviceInfo, and the generic hooks over the standard PTP property
// operations with the value texts used in logs and value names.
#include "orvo/camera/mtp_deviceproperty.h"

#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/core/core_log.h"

#include <cmath>

namespace orvo
{
namespace
{
void deviceprop_mark_due(mtp_device_t& device, mtp_devicepropdesc_t& desc)
{
    desc.value_due = true;
    desc.description_due = true;
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
}

const char* deviceprop_name(const mtp_devicepropdesc_t& desc)
{
    return mtp_property_to_cstr(desc.protocol, desc.code);
}

// A code the camera refused is not asked for again: nothing is due, and the
// hooks answer false at once.
bool deviceprop_skip_refused(mtp_devicepropdesc_t& desc)
{
    if (!desc.refused)
        return false;
    desc.value_due = false;
    desc.description_due = false;
    return true;
}

// After a failed read: a refusal (DeviceProp Not Supported) is remembered
// and logged once; any other failure leaves the property due for a retry.
void deviceprop_note_failure(mtp_device_t& device, mtp_devicepropdesc_t& desc)
{
    if (device.last_response != MTP_RESPONSE_DeviceProp_Not_Supported)
        return;
    desc.refused = true;
    desc.value_due = false;
    desc.description_due = false;
    log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Camera does not support listed property: %s - %s",
               device.deviceinfo.serial_number.str, deviceprop_name(desc));
}
} // namespace

// --- the table -------------------------------------------------------------------------

mtp_devicepropdesc_t* mtp_device_get_deviceprop(mtp_device_t& device, mtp_property_t code, bool refresh)
{
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(code));
    if (!desc)
        return nullptr;
    if (refresh)
        deviceprop_mark_due(device, *desc);

    mtp_datavalue_t previous = {};
    mtp_datavalue_set(previous, desc->current_value);
    if (desc->description_due && device.hooks.read_devicepropdesc)
        device.hooks.read_devicepropdesc(device, *desc);
    if (desc->value_due && device.hooks.read_devicepropvalue)
        device.hooks.read_devicepropvalue(device, *desc);
    // A refresh that could not be read must not pass the cached value off as
    // fresh: the clock offset, for one, would be measured against an old text.
    if (!desc->valid || (refresh && (desc->description_due || desc->value_due)))
    {
        mtp_datavalue_release(previous);
        return nullptr;
    }
    if (mtp_datavalue_not_equals(previous, desc->current_value) && log_is_enabled(LOGLEVEL_INFO, LOGMODULE_CAMERA))
    {
        stringbuffer_t text;
        stringbuffer_initialise(text);
        if (device.hooks.compute_property_str)
            device.hooks.compute_property_str(device, text, desc->current_value, code);
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MTP property value: %s - %s", deviceprop_name(*desc), text.str);
        stringbuffer_release(text);
    }
    mtp_datavalue_release(previous);
    return desc;
}

void mtp_device_invalidate_deviceprop(mtp_device_t& device, mtp_property_t code)
{
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(code));
    if (desc)
        deviceprop_mark_due(device, *desc);
}

bool mtp_device_set_deviceprop(mtp_device_t& device, mtp_property_t code, const mtp_datavalue_t& value)
{
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(code));
    if (!desc)
        return false;
    bool ok = device.hooks.write_devicepropvalue && device.hooks.write_devicepropvalue(device, *desc, value);
    // Read back whatever happened: a camera may refuse, clamp or round a value.
    desc->value_due = true;
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
    return ok;
}

bool mtp_device_set_deviceprop(mtp_device_t& device, mtp_property_t code, i32 index)
{
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(code));
    if (!desc)
        return false;
    const mtp_datavalue_t& values = desc->dataset.values;
    u64 count = mtp_datatype_is_array(values.datatype) ? mtp_datavalue_num_elements(values) : 0;
    if (!desc->valid || index < 0 || static_cast<u64>(index) >= count)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Property value index out of range: %s - %d",
                   deviceprop_name(*desc), index);
        return false;
    }
    mtp_datavalue_t value = mtp_datavalue_get_element(values, static_cast<u64>(index));
    bool ok = mtp_device_set_deviceprop(device, code, value);
    mtp_datavalue_release(value);
    return ok;
}

void mtp_device_reset_deviceprops(mtp_device_t& device)
{
    hashtable_t<mtp_devicepropdesc_t>& table = device.properties;
    for (u64 b = 0; b < table.buckets.count; ++b)
    {
        vector_t<mtp_devicepropdesc_t>& bucket = table.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
            mtp_devicepropdesc_release(bucket.data[i]);
        bucket.count = 0;
    }
    table.num_entries = 0;

    const vector_t<u16>& codes = device.deviceinfo.properties;
    for (u64 i = 0; i < codes.count; ++i)
    {
        u32 code = codes.data[i];
        if (hashtable_find(table, code))
            continue; // listed twice
        mtp_devicepropdesc_t desc;
        mtp_devicepropdesc_initialise(desc, device.protocol, code);
        // The code was not present, so a refusal is a failed allocation,
        // logged by the heap: that one property is left out.
        if (!hashtable_insert(table, desc))
            mtp_devicepropdesc_release(desc);
    }
}

// --- generic hooks ------------------------------------------------------------------------

bool mtp_generic_read_devicepropdesc(mtp_device_t& device, mtp_devicepropdesc_t& desc)
{
    if (deviceprop_skip_refused(desc))
        return false;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    u32 code = desc.code;
    if (!mtp_device_read(device, buffer, MTP_COMMAND_GetDevicePropDesc, &code, 1))
    {
        deviceprop_note_failure(device, desc);
        return false;
    }
    u64 cursor = 0;
    if (!mtp_devicepropdesc_parse(desc, buffer, cursor))
        return false;
    if (log_is_enabled(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA) && log_lock(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA))
    {
        log_print("MTP property info:");
        mtp_devicepropdesc_print(desc, 2);
        log_unlock();
    }
    return true;
}

bool mtp_generic_read_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc)
{
    if (deviceprop_skip_refused(desc) || !desc.valid)
        return false;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    u32 code = desc.code;
    if (!mtp_device_read(device, buffer, MTP_COMMAND_GetDevicePropValue, &code, 1))
    {
        deviceprop_note_failure(device, desc);
        return false;
    }
    u64 cursor = 0;
    return mtp_devicepropdesc_update(desc, buffer, cursor);
}

bool mtp_generic_write_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_datavalue_t& value)
{
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    mtp_buffer_clear(buffer);
    u64 cursor = 0;
    if (!mtp_datavalue_write(value, buffer, cursor))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to fill MTP transfer buffer");
        return false;
    }
    u32 code = desc.code;
    return mtp_device_write(device, buffer, MTP_COMMAND_SetDevicePropValue, &code, 1);
}

void mtp_generic_compute_property_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                      mtp_property_t code)
{
    if (value.datatype == MTP_DATATYPE_STR)
    {
        stringbuffer_set(out, value.str);
        return;
    }
    i32 number = (value.datatype >= MTP_DATATYPE_INT8 && value.datatype <= MTP_DATATYPE_UINT64)
                     ? mtp_datavalue_to_int(value)
                     : 0;
    switch (code)
    {
    case MTP_PROPERTY_BatteryLevel:
    case MTP_PROPERTY_ExposureIndex:
        stringbuffer_format(out, "%d", number);
        return;
    case MTP_PROPERTY_CompressionSetting:
        stringbuffer_format(out, "C%d", number);
        return;
    case MTP_PROPERTY_FNumber:
        // Hundredths: 560 reads 5.6, 1100 reads 11.
        if (number % 100 != 0)
            stringbuffer_format(out, "%.1f", number / 100.0);
        else
            stringbuffer_format(out, "%d", number / 100);
        return;
    case MTP_PROPERTY_ExposureTime:
        // Units of 0.1 ms: 80 reads 1/125, 25000 reads 2.5, 10000 reads 1.
        if (number != 0 && number % 10000 == 0)
            stringbuffer_format(out, "%d", number / 10000);
        else if (number > 10000)
            stringbuffer_format(out, "%g", number / 10000.0);
        else if (number <= 0)
            stringbuffer_format(out, "%d", number);
        else if (number <= 3500)
            stringbuffer_format(out, "1/%.0f", 10000.0 / number);
        else
            stringbuffer_format(out, "1/%.2g", 10000.0 / number);
        return;
    case MTP_PROPERTY_ExposureBiasCompensation:
        // Thousandths: -333 reads -0.3.
        stringbuffer_format(out, "%.1f", number / 1000.0);
        return;
    default:
        break;
    }
    const char* name = mtp_property_to_cstr(device.protocol, code, static_cast<u32>(number));
    if (string_equal(string_make(name), string_make("unknown")))
        stringbuffer_format(out, "%d", number);
    else
        stringbuffer_set(out, name);
}
} // namespace orvo
