// Connecting and disconnecting a device, reading its DeviceInfo with the object
// properties of every capture format, identifying the camera, handing the
// record to its vendor extension, and counting memory cards. The download side
// of connect and disconnect (registering, cancelling) is the context's.
#include "orvo/camera/mtp_device.h"

#include "orvo/camera/mtp_canon.h"
#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_nikon.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const char* device_serial(const mtp_device_t& device)
{
    return device.deviceinfo.serial_number.str;
}

// One list of object property codes per capture format, in the formats' order,
// so that the list at index i always belongs to capture format i: a format
// whose query fails gets an empty list rather than none, which would shift
// every later list onto the wrong format.
void device_read_object_properties(mtp_device_t& device, mtp_deviceinfo_t& info)
{
    if (!mtp_deviceinfo_is_supported(info, MTP_COMMAND_GetObjectPropsSupported))
        return;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    for (u64 i = 0; i < info.capture_formats.count; ++i)
    {
        u32 format = info.capture_formats.data[i];
        vector_t<u16> codes;
        vector_initialise(codes, 0, false);
        if (mtp_device_read(device, buffer, MTP_COMMAND_GetObjectPropsSupported, &format, 1))
        {
            u64 cursor = 0;
            if (buffer.length < 4 || !mtp_buffer_extract(buffer, cursor, codes))
            {
                log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to query object properties for format: %s",
                           mtp_format_to_cstr(device.protocol, format));
                vector_release(codes);
                vector_initialise(codes, 0, false);
            }
        }
        if (!vector_insert(info.object_properties, codes))
        {
            // Without this slot the lists after it would belong to the wrong
            // formats; stop here so that later formats simply have no list.
            vector_release(codes);
            return;
        }
    }
}

void device_identify(mtp_device_t& device)
{
    const mtp_deviceinfo_t& info = device.deviceinfo;
    device.manufacturer = mtp_manufacturer_from_cstr(info.manufacturer);
    device.model = device.manufacturer == MTP_MANUFACTURER_CANON
                       ? mtp_canon_model_from_cstr(device.manufacturer, info.model)
                       : mtp_model_from_cstr(device.manufacturer, info.model);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Identified camera as: %s %s",
               mtp_manufacturer_to_cstr(device.manufacturer), mtp_model_to_cstr(device.model));
}

void device_derive_capabilities(mtp_device_t& device)
{
    const mtp_device_hooks_t& hooks = device.hooks;
    device.bulb.supported = hooks.bulb_start && hooks.bulb_stop;
    device.autofocus.supported = hooks.focus != nullptr;
    device.liveview.supported = hooks.enable_liveview != nullptr;
    device.liveview.dof_supported = hooks.enable_dof != nullptr;
    device.video.supported = hooks.enable_video != nullptr;
    device.mirrorlockup.supported =
        device.cameraproperties[MTP_CAMERAPROPERTY_MIRRORLOCKUP].code != MTP_PROPERTY_Undefined;
}

// The context's default value names, applied once the first update has built
// the camera properties' names (before it there is nothing to match them with).
void device_apply_defaults(mtp_device_t& device)
{
    if (!device.context)
        return;
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
    {
        const stringbuffer_t& name = device.context->default_names[type];
        if (string_is_empty(name))
            continue;
        const mtp_cameraproperty_t& property = device.cameraproperties[type];
        const stringarray_t& names = property.value_names;
        for (u64 i = 0; i < names.strings.count; ++i)
        {
            if (!string_equal_ignoring_ascii_case(names.strings.data[i], name))
                continue;
            // Tries the lock itself: a busy device skips the default.
            mtp_device_set_cameraproperty(device, static_cast<mtp_camerapropertytype_t>(type), static_cast<i32>(i));
            break;
        }
    }
}
} // namespace

bool mtp_device_connect(mtp_device_t& device)
{
    mutex_lock(*device.event_lock);
    device.property_queue.count = 0;
    device.event_queue.count = 0;
    mutex_unlock(*device.event_lock);

    mtp_device_lock(device);
    // A camera whose DeviceInfo cannot be read has no identity, no vendor and
    // no property list: it cannot be driven, so the connection fails.
    if (!mtp_device_read_deviceinfo(device) || (device.hooks.connect && !device.hooks.connect(device)))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to connect to MTP device");
        mtp_device_unlock(device);
        return false;
    }
    if (!device.registered && device.context)
    {
        device.registered = true;
        mtp_context_register_device(*device.context, device);
    }
    mtp_device_unlock(device);

    if (device.context && device.context->auto_sync_time)
        mtp_device_set_datetime(device, 0, TIMEUNIT_MILLISECONDS);
    mtp_device_get_datetime(device);
    mtp_device_update(device);
    device_apply_defaults(device);
    return true;
}

bool mtp_device_read_deviceinfo(mtp_device_t& device)
{
    // Parsed into a record of its own: a DeviceInfo that fails half-way must
    // not replace the one the hooks and properties were built from.
    mtp_deviceinfo_t info;
    mtp_deviceinfo_initialise(info);
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    u64 cursor = 0;
    if (!mtp_device_read(device, buffer, MTP_COMMAND_GetDeviceInfo) || !mtp_deviceinfo_parse(info, buffer, cursor))
    {
        mtp_deviceinfo_release(info);
        return false;
    }
    device_read_object_properties(device, info);
    mtp_deviceinfo_t previous = device.deviceinfo;
    device.deviceinfo = info;
    mtp_deviceinfo_release(previous);

    mtp_device_clear_state(device);
    device_identify(device);
    mtp_device_select_vendor(device);
    mtp_deviceinfo_log(device.deviceinfo, device.protocol);
    // clear_state emptied the flags; an event recorded meanwhile keeps its bit.
    mtp_device_set_changed(device, MTP_CHANGE_ALL_STATE);
    mtp_device_reset_deviceprops(device);
    return true;
}

void mtp_device_select_vendor(mtp_device_t& device)
{
    // Each maker's extension sets its protocol, hooks and camera properties on
    // the standard base. Ricoh and unrecognised makers speak standard PTP.
    switch (device.manufacturer)
    {
    case MTP_MANUFACTURER_CANON:
        mtp_canon_parse_deviceinfo(device);
        break;
    case MTP_MANUFACTURER_NIKON:
        mtp_nikon_parse_deviceinfo(device);
        break;
    case MTP_MANUFACTURER_FUJIFILM:
        mtp_fujifilm_parse_deviceinfo(device);
        break;
    case MTP_MANUFACTURER_RICOH:
    case MTP_MANUFACTURER_UNKNOWN:
    default:
        mtp_generic_parse_deviceinfo(device);
        break;
    }
    device_derive_capabilities(device);
}

void mtp_device_disconnect(mtp_device_t& device)
{
    if (device.context)
        mtp_context_cancel_downloads(*device.context, device);

    mtp_device_lock(device);
    if (device.pending_downloads != 0)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "MTP device has pending downloads: %d",
                   device.pending_downloads);
    if (device.registered)
    {
        if (device.context)
            mtp_context_unregister_device(*device.context, device);
        device.registered = false;
    }
    device.pending_downloads = 0;
    mtp_device_unlock(device);

    // The preview, live view and movie are switched off only when the device
    // is free at once; disconnecting never waits on a busy camera for them.
    if (mtp_device_try_lock(device))
    {
        if (device.pending_downloads == 0 && device.hooks.enable_dof)
            device.hooks.enable_dof(device, false);
        mtp_device_unlock(device);
    }
    if (mtp_device_try_lock(device))
    {
        if (device.pending_downloads == 0 && device.hooks.enable_liveview && device.hooks.enable_liveview(device, false))
            device.liveview.requested = false;
        mtp_device_unlock(device);
    }
    if (mtp_device_try_lock(device))
    {
        if (device.pending_downloads == 0 && device.hooks.enable_video)
            device.hooks.enable_video(device, false);
        mtp_device_unlock(device);
    }

    mtp_device_lock(device);
    if (device.bulb.active && device.hooks.bulb_stop && device.hooks.bulb_stop(device))
        device.bulb.active = false;
    if (device.hooks.disconnect)
        device.hooks.disconnect(device);
    mtp_device_unlock(device);
}

bool mtp_device_compute_num_cards(mtp_device_t& device)
{
    if (!device.hooks.get_storage_ids)
        return false;
    vector_t<u32> ids;
    vector_initialise(ids, 4, false);
    if (!device.hooks.get_storage_ids(device, ids))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to query memory cards for camera: %s",
                   device_serial(device));
        vector_release(ids);
        return false;
    }
    i32 cards = 0;
    // A storage id whose low half is zero names a slot without media.
    for (u64 i = 0; i < ids.count; ++i)
        if ((ids.data[i] & 0xFFFFu) != 0)
            ++cards;
    vector_release(ids);
    if (cards != device.cards)
    {
        if (cards > device.cards)
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Memory card(s) detected in camera: %s - %d card(s)",
                       device_serial(device), cards);
        else
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Memory card(s) removed in camera: %s - %d card(s)",
                       device_serial(device), cards);
        device.cards = cards;
        mtp_device_set_changed(device, MTP_CHANGE_CARDS);
    }
    return true;
}
} // namespace orvo
