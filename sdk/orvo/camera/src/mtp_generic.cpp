// The generic PTP extension's hook table and its hooks over the standard
// operations: the poll, ObjectAdded and CaptureComplete, InitiateCapture,
// DeleteObject, the battery, storage ids and formatting, and the new-object
// step that every vendor shares. Downloads: mtp_generic_download.cpp; quality
// and storage mode: mtp_generic_quality.cpp; Fujifilm: mtp_fujifilm.cpp.
#include "orvo/camera/mtp_generic.h"

#include "orvo/camera/mtp_context.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const char* device_serial(const mtp_device_t& device)
{
    return device.deviceinfo.serial_number.length ? device.deviceinfo.serial_number.str : "";
}

bool is_ignored_format(u32 format)
{
    return format == MTP_FORMAT_Association || format == MTP_FORMAT_Script;
}
} // namespace

// --- the hook table ------------------------------------------------------------------------

void mtp_generic_parse_deviceinfo(mtp_device_t& device)
{
    device.protocol = MTP_PROTOCOL_GENERIC;
    mtp_device_hooks_t& hooks = device.hooks;
    hooks = mtp_device_hooks_t{};
    hooks.read_devicepropdesc = mtp_generic_read_devicepropdesc;
    hooks.read_devicepropvalue = mtp_generic_read_devicepropvalue;
    hooks.write_devicepropvalue = mtp_generic_write_devicepropvalue;
    hooks.poll = mtp_generic_poll;
    hooks.handle_event = mtp_generic_handle_event;
    hooks.capture = mtp_generic_capture;
    hooks.download = mtp_generic_download;
    hooks.delete_object = mtp_generic_delete;
    hooks.format = mtp_generic_format;
    hooks.get_storage_ids = mtp_generic_get_storage_ids;
    hooks.compute_property_str = mtp_generic_compute_property_str;
    hooks.record_error = mtp_generic_record_error;
    if (mtp_deviceinfo_is_supported(device.deviceinfo, MTP_PROPERTY_BatteryLevel))
        hooks.check_battery = mtp_generic_check_battery;
    if (mtp_deviceinfo_is_supported(device.deviceinfo, MTP_COMMAND_GetPartialObject))
        hooks.download_file = mtp_generic_download_file;
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_set_generic(device.cameraproperties[type], device);
}

// --- poll and events -------------------------------------------------------------------------

void mtp_generic_poll(mtp_device_t& device)
{
    // The codes wait for the next refresh (a property event or write); each is
    // queued once, so a camera polled for hours does not grow the queue.
    mutex_lock(*device.event_lock);
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
    {
        i32 code = device.cameraproperties[type].code;
        if (code == MTP_PROPERTY_Undefined)
            continue;
        bool queued = false;
        for (u64 i = 0; i < device.property_queue.count && !queued; ++i)
            queued = device.property_queue.data[i] == static_cast<mtp_property_t>(code);
        if (!queued)
            vector_insert(device.property_queue, static_cast<mtp_property_t>(code));
    }
    mutex_unlock(*device.event_lock);
}

void mtp_generic_handle_event(mtp_device_t& device, mtp_event_t code, u32 parameter)
{
    switch (code)
    {
    case MTP_EVENT_CaptureComplete:
        if (device.capture_in_progress)
        {
            device.capture_in_progress = false;
            device.capture_failed = false;
            mtp_device_set_changed(device, MTP_CHANGE_CAPTURE);
        }
        device.fast_poll = false;
        break;
    case MTP_EVENT_ObjectAdded:
        mtp_generic_add_object(device, parameter, device.download, device.jpeg_only);
        break;
    default:
        break;
    }
}

// --- new objects ----------------------------------------------------------------------------------

bool mtp_format_is_jpeg(u32 format)
{
    return format == MTP_FORMAT_EXIF_JPEG || format == MTP_FORMAT_JFIF || format == MTP_FORMAT_JP2;
}

bool mtp_generic_announce_object(mtp_device_t& device, const mtp_objectinfo_t& object, bool download,
                                 bool memory_only)
{
    void* photo = device.callbacks.add_object ? device.callbacks.add_object(object, device.callbacks.user) : nullptr;
    if (!download || !device.registered)
        return false;
    return mtp_device_download_locked(device, object, memory_only, photo);
}

bool mtp_generic_add_object(mtp_device_t& device, u32 handle, bool download, bool jpeg_only)
{
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    u32 parameter = handle;
    if (!mtp_device_read(device, buffer, MTP_COMMAND_GetObjectInfo, &parameter, 1))
        return false;
    mtp_objectinfo_t object;
    mtp_objectinfo_initialise(object, device.protocol, handle);
    u64 cursor = 0;
    if (!mtp_objectinfo_parse(object, buffer, cursor))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to read new object info: %s - %08x",
                   device_serial(device), handle);
        mtp_objectinfo_release(object);
        return false;
    }
    object.handle = handle;
    if (is_ignored_format(object.format))
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Ignoring new object of type: %s",
                   mtp_format_to_cstr(device.protocol, object.format));
        mtp_objectinfo_release(object);
        return true;
    }
    if (log_is_enabled(LOGLEVEL_INFO, LOGMODULE_CAMERA) && log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA))
    {
        log_print("MTP object info:");
        mtp_objectinfo_print(object, 2);
        log_unlock();
    }
    if (!download && jpeg_only && mtp_format_is_jpeg(object.format))
        download = true;
    mtp_generic_announce_object(device, object, download, false);
    mtp_objectinfo_release(object);
    return true;
}

// --- capture, delete, battery -----------------------------------------------------------------------

bool mtp_generic_capture(mtp_device_t& device)
{
    if (device.liveview.on && device.hooks.enable_liveview)
        device.hooks.enable_liveview(device, false);
    return mtp_device_execute(device, MTP_COMMAND_InitiateCapture);
}

bool mtp_generic_delete(mtp_device_t& device, const mtp_objectinfo_t& object)
{
    const char* name = object.filename.length ? object.filename.str : "";
    // 0xFFFFFFFF asks the camera to delete every object it holds.
    if (object.handle == 0xFFFFFFFFu)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to remove photo from camera: %s", name);
        return false;
    }
    u32 handle = object.handle;
    if (!mtp_device_execute(device, MTP_COMMAND_DeleteObject, &handle, 1))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to remove photo from camera: %s", name);
        return false;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo removed from camera: %s", name);
    return true;
}

void mtp_generic_check_battery(mtp_device_t& device)
{
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_BatteryLevel, false);
    i32 source = MTP_POWERSOURCE_UNKNOWN;
    u8 level = 0;
    if (desc)
    {
        level = static_cast<u8>(mtp_datavalue_to_uint(desc->current_value) & 0xFFu);
        // Cameras on a mains adapter report levels above 100 (often 255).
        source = level <= 100 ? MTP_POWERSOURCE_BATTERY : MTP_POWERSOURCE_EXTERNAL;
    }
    if (source != device.power.source || level != device.power.level)
    {
        device.power.source = source;
        device.power.level = level;
        mtp_device_set_changed(device, MTP_CHANGE_POWER);
    }
}

// --- storages and formatting ------------------------------------------------------------------------

bool mtp_generic_get_storage_ids(mtp_device_t& device, vector_t<u32>& ids)
{
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    if (!mtp_device_read(device, buffer, MTP_COMMAND_GetStorageIDs) || buffer.length < 4)
        return false;
    u64 cursor = 0;
    vector_t<u32> read;
    vector_initialise(read, 0, false);
    bool ok = mtp_buffer_extract(buffer, cursor, read);
    ids.count = 0;
    for (u64 i = 0; ok && i < read.count; ++i)
        ok = vector_insert(ids, read.data[i]);
    vector_release(read);
    return ok;
}

bool mtp_generic_format_storage_id(mtp_device_t& device, u32 storage_id)
{
    if ((storage_id & 0xFFFFu) == 0)
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Ignoring format request for memory card in %s: %08x",
                   device_serial(device), storage_id);
        return true;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Formatting memory card in %s: %08x", device_serial(device),
               storage_id);
    u32 parameter = storage_id;
    if (!mtp_device_execute(device, MTP_COMMAND_FormatStore, &parameter, 1))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to format memory card: %08x", storage_id);
        return false;
    }
    return true;
}

bool mtp_generic_format(mtp_device_t& device)
{
    if (!device.hooks.get_storage_ids)
        return false;
    vector_t<u32> ids;
    vector_initialise(ids, 4, false);
    bool ok = device.hooks.get_storage_ids(device, ids);
    if (!ok)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to query memory cards for camera: %s",
                   device_serial(device));
    for (u64 i = 0; ok && i < ids.count; ++i)
        ok = mtp_generic_format_storage_id(device, ids.data[i]);
    vector_release(ids);
    return ok;
}
} // namespace orvo
