// The Nikon extension's entry and life: which hooks and camera properties a
// Nikon camera gets, the per-model values, connecting and disconnecting,
// ApplicationMode, the DeviceReady check, the GetEvent poll and its events,
// new objects, capture, bulb, autofocus, battery, formatting and storage ids.
// Properties and value texts: mtp_nikon_properties.cpp; live view and movies:
// mtp_nikon_liveview.cpp.
#include "orvo/camera/mtp_nikon.h"

#include "mtp_nikon_internal.h"

#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_log.h"

#include <cstring>
#include <initializer_list>
#include <new>

namespace orvo
{
namespace
{
struct nikon_model_row_t
{
    const char* models[8];
    mtp_nikon_model_values_t values;
};

// Live-view layout, size and zoom, and the handle of objects in the camera's
// memory, by model. Models not listed take the last row.
const nikon_model_row_t nikon_model_rows[] = {
    {{"D3", "D3x", "D300", "D300s", "D700"}, {64, 0, 2, 5, 0}},
    {{"D3s", "D90", "D5000"}, {128, 0, 2, 5, 0}},
    {{"D4", "D800", "D800E"}, {384, 0, 2, 4, 0}},
    {{"D4s", "D600", "D610", "D750", "D810", "D810A", "D7100", "D7200"}, {384, 8, 2, 6, 0}},
    {{"D5", "D500", "D850", "D7500"}, {384, 8, 3, 6, 0}},
    {{"D40", "D60", "D80", "D200"}, {384, 0, 2, -1, 0xFFFF0001u}},
    {{"D3000", "D3100"}, {384, 0, 2, -1, 0}},
    {{"D3200", "D3300", "D3400"}, {384, 8, 2, -1, 0}},
    {{"D5100", "D7000"}, {384, 0, 2, 5, 0}},
    {{"D5200", "D5300", "D5500", "D5600"}, {384, 8, 2, 5, 0}},
    {{"Df"}, {384, 8, 2, 3, 0}},
};
const mtp_nikon_model_values_t nikon_default_values = {384, 8, 2, -1, 0};

bool nikon_model_is(u32 model, std::initializer_list<const char*> names)
{
    const char* name = mtp_model_to_cstr(model);
    for (const char* candidate : names)
        if (std::strcmp(name, candidate) == 0)
            return true;
    return false;
}

const char* nikon_serial(const mtp_device_t& device)
{
    return device.deviceinfo.serial_number.str;
}

// DevicePropertiesSupported lists only the standard properties; the vendor
// ones come from GetVendorPropCodes.
void nikon_read_vendor_properties(mtp_device_t& device)
{
    if (!mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_GetVendorPropCodes))
        return;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    if (!mtp_device_read(device, buffer, MTP_COMMAND_Nikon_GetVendorPropCodes))
        return;
    vector_t<u16> codes;
    vector_initialise(codes, 0, false);
    u64 cursor = 0;
    // The array reader checks the count against the bytes present; a list
    // cut short appends nothing, as a failed parse must.
    if (mtp_buffer_extract(buffer, cursor, codes))
    {
        for (u64 i = 0; i < codes.count; ++i)
            vector_insert(device.deviceinfo.properties, codes.data[i]);
    }
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to read Nikon vendor property codes: %s",
                   nikon_serial(device));
    vector_release(codes);
}

void nikon_fill_cameraproperties(mtp_device_t& device)
{
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_set_generic(device.cameraproperties[type], device);

    mtp_cameraproperty_t* properties = device.cameraproperties;
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_ShutterSpeed))
    {
        mtp_cameraproperty_t& shutter = properties[MTP_CAMERAPROPERTY_SHUTTERSPEED];
        mtp_cameraproperty_clear(shutter);
        shutter.code = MTP_PROPERTY_Nikon_ShutterSpeed;
        shutter.get = mtp_nikon_get_shutterspeed;
        shutter.set = mtp_nikon_set_shutterspeed;
        shutter.to_string = mtp_nikon_compute_property_str;
    }
    if (mtp_nikon_has_property(device, MTP_PROPERTY_CompressionSetting) &&
        mtp_nikon_has_property(device, MTP_PROPERTY_ImageSize))
    {
        mtp_cameraproperty_t& quality = properties[MTP_CAMERAPROPERTY_QUALITY];
        mtp_cameraproperty_clear(quality);
        quality.code = MTP_PROPERTY_CompressionSetting;
        quality.get = mtp_generic_get_quality;
        quality.set = mtp_generic_set_quality;
        quality.to_string = mtp_nikon_compute_property_str;
    }
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_AFModeSelect))
    {
        mtp_cameraproperty_t& focus = properties[MTP_CAMERAPROPERTY_FOCUSMODE];
        mtp_cameraproperty_clear(focus);
        focus.code = MTP_PROPERTY_Nikon_AFModeSelect;
        focus.get = mtp_nikon_get_focusmode;
        focus.set = mtp_generic_set_cameraproperty;
        focus.to_string = mtp_nikon_compute_property_str;
    }
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_RecordingMedia))
    {
        mtp_cameraproperty_t& storage = properties[MTP_CAMERAPROPERTY_STORAGEMODE];
        mtp_cameraproperty_clear(storage);
        storage.code = MTP_PROPERTY_Nikon_RecordingMedia;
        storage.get = mtp_nikon_get_storagemode;
        storage.set = mtp_nikon_set_storagemode;
        storage.to_string = nullptr;
    }
}

// What was waiting on the camera has failed: a capture, an autofocus, a movie
// start that waited for the camera to be ready.
void nikon_fail_waiting(mtp_device_t& device)
{
    if (device.capture_in_progress)
    {
        device.capture_in_progress = false;
        device.capture_failed = true;
        mtp_device_set_changed(device, MTP_CHANGE_CAPTURE);
        device.fast_poll = false;
    }
    if (device.autofocus.in_progress)
    {
        device.autofocus.in_progress = false;
        device.autofocus.succeeded = false;
        mtp_device_set_changed(device, MTP_CHANGE_AUTOFOCUS);
        device.fast_poll = false;
    }
    if (device.video.vendor_flag0)
    {
        device.video.vendor_flag0 = false;
        device.video.recording = false;
        device.video.vendor_flag1 = false;
        mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
        device.fast_poll = false;
    }
}

bool nikon_something_waits(const mtp_device_t& device)
{
    return device.capture_in_progress || device.autofocus.in_progress || device.video.vendor_flag0;
}
} // namespace

// --- shared helpers -------------------------------------------------------------------

u64 mtp_nikon_num_allowed(const mtp_devicepropdesc_t& desc)
{
    const mtp_datavalue_t& values = desc.dataset.values;
    return mtp_datatype_is_array(values.datatype) && values.datatype != MTP_DATATYPE_ASTR
               ? mtp_datavalue_num_elements(values)
               : 0;
}

i32 mtp_nikon_find_allowed(const mtp_devicepropdesc_t& desc, i32 wanted)
{
    u64 count = mtp_nikon_num_allowed(desc);
    for (u64 i = 0; i < count; ++i)
        if (mtp_datavalue_to_int(desc.dataset.values, i) == wanted)
            return static_cast<i32>(i);
    return -1;
}

bool mtp_nikon_select_value(mtp_device_t& device, mtp_property_t code, const mtp_devicepropdesc_t& desc, i32 wanted)
{
    i32 index = mtp_nikon_find_allowed(desc, wanted);
    return index >= 0 && mtp_device_set_deviceprop(device, code, index);
}

i32 mtp_nikon_storage_slot(const mtp_device_t& device, i32 index)
{
    const mtp_cameraproperty_t& storage = device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
    if (index < 0 || static_cast<u64>(index) >= storage.raw_values.count)
        return -1;
    return storage.raw_values.data[index];
}

void mtp_nikon_undo_storage_override(mtp_device_t& device, mtp_nikon_state_t& state)
{
    if (!state.storage_override)
        return;
    state.storage_override = false;
    mtp_device_invalidate_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia);
}

void mtp_nikon_select_memory_storage(mtp_device_t& device, mtp_nikon_state_t& state)
{
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia, false);
    if (!desc)
        return;
    state.requested_storage_index = -1;
    i32 slot = mtp_nikon_storage_slot(device, MTP_NIKON_STORAGE_DISK);
    if (slot == -1)
    {
        state.requested_storage_index = MTP_NIKON_STORAGE_DISK;
        slot = mtp_nikon_storage_slot(device, MTP_NIKON_STORAGE_CARD);
    }
    if (slot != -1)
        mtp_device_set_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia, slot);
}

// --- vendor entry -----------------------------------------------------------------------

mtp_nikon_model_values_t mtp_nikon_model_values(u32 model)
{
    const char* name = mtp_model_to_cstr(model);
    for (const nikon_model_row_t& row : nikon_model_rows)
        for (const char* candidate : row.models)
            if (candidate && std::strcmp(candidate, name) == 0)
                return row.values;
    return nikon_default_values;
}

void mtp_nikon_parse_deviceinfo(mtp_device_t& device)
{
    device.protocol = MTP_PROTOCOL_NIKON;
    mtp_device_hooks_t& hooks = device.hooks;
    hooks = mtp_device_hooks_t{};
    hooks.connect = mtp_nikon_connect;
    hooks.disconnect = mtp_nikon_disconnect;
    hooks.read_devicepropdesc = mtp_generic_read_devicepropdesc;
    hooks.read_devicepropvalue = mtp_generic_read_devicepropvalue;
    hooks.write_devicepropvalue = mtp_generic_write_devicepropvalue;
    hooks.handle_event = mtp_nikon_handle_event;
    hooks.download = mtp_generic_download;
    hooks.delete_object = mtp_generic_delete;
    hooks.format = mtp_nikon_format;
    hooks.compute_property_str = mtp_nikon_compute_property_str;
    hooks.record_error = mtp_generic_record_error;
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_set_generic(device.cameraproperties[type], device);

    if (mtp_nikon_has_operation(device, MTP_COMMAND_GetPartialObject))
        hooks.download_file = mtp_generic_download_file;

    nikon_read_vendor_properties(device);

    if (nikon_model_is(device.model, {"D3x"}))
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Overriding %s to: %s", "Nikon_InitiateCaptureRecInMedia",
                   "unsupported");
        mtp_deviceinfo_override(device.deviceinfo, device.protocol, MTP_COMMAND_Nikon_InitiateCaptureRecInMedia,
                                false);
    }
    if (nikon_model_is(device.model, {"D3000", "D3100", "D3200", "D3300"}))
    {
        // These bodies do live view but leave it out of their DeviceInfo.
        mtp_deviceinfo_t& info = device.deviceinfo;
        mtp_deviceinfo_override(info, device.protocol, MTP_COMMAND_Nikon_GetLiveViewImage, true);
        mtp_deviceinfo_override(info, device.protocol, MTP_COMMAND_Nikon_StartLiveView, true);
        mtp_deviceinfo_override(info, device.protocol, MTP_COMMAND_Nikon_EndLiveView, true);
        mtp_deviceinfo_override(info, device.protocol, MTP_COMMAND_Nikon_MfDrive, true);
        mtp_deviceinfo_override(info, device.protocol, MTP_PROPERTY_Nikon_LiveViewStatus, true);
    }

    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_GetEvent))
    {
        hooks.poll = mtp_nikon_poll;
        device.events_by_polling.store(true, std::memory_order_release);
    }
    else
        hooks.poll = mtp_generic_poll;

    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_InitiateCaptureRecInMedia))
        hooks.capture = mtp_nikon_capture_v2;
    else if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_InitiateCaptureRecInSdram))
        hooks.capture = mtp_nikon_capture_v1;
    else
        hooks.capture = mtp_generic_capture;

    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_TerminateCapture))
    {
        hooks.bulb_start = mtp_nikon_bulb_start;
        hooks.bulb_stop = mtp_nikon_bulb_stop;
    }
    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_AfDrive))
        hooks.focus = mtp_nikon_focus;
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_ExternalDCIN))
        hooks.check_battery = mtp_nikon_check_battery;
    else if (mtp_nikon_has_property(device, MTP_PROPERTY_BatteryLevel))
        hooks.check_battery = mtp_generic_check_battery;

    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_GetLiveViewImage))
    {
        hooks.enable_liveview = mtp_nikon_enable_liveview;
        hooks.check_liveview = mtp_nikon_check_liveview;
        hooks.download_liveview = mtp_nikon_download_liveview;
    }
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_LiveViewImageZoomRatio))
        hooks.zoom_liveview = mtp_nikon_zoom_liveview;
    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_ChangeAfArea))
        hooks.move_liveview = mtp_nikon_move_liveview;
    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_MfDrive))
        hooks.focus_liveview = mtp_nikon_focus_liveview;
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_LiveViewExposurePreview))
        hooks.enable_dof = mtp_nikon_enable_dof;
    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_StartMovieRecInCard))
    {
        hooks.enable_video = mtp_nikon_enable_video;
        hooks.check_video = mtp_nikon_check_video;
    }
    hooks.get_storage_ids = mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_GetVendorStorageIDs)
                                ? mtp_nikon_get_storage_ids
                                : mtp_generic_get_storage_ids;

    nikon_fill_cameraproperties(device);
}

// --- connection --------------------------------------------------------------------------

bool mtp_nikon_connect(mtp_device_t& device)
{
    mtp_nikon_disconnect(device);
    void* memory = heap_alloc(sizeof(mtp_nikon_state_t), 0, ORVO_HEAP_TAG);
    if (!memory)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "FATAL ERROR failed to allocate %d bytes",
                   static_cast<int>(sizeof(mtp_nikon_state_t)));
        return false;
    }
    // Plain data only: the device record frees the state with heap_free.
    mtp_nikon_state_t* state = new (memory) mtp_nikon_state_t{};
    mtp_nikon_model_values_t values = mtp_nikon_model_values(device.model);
    state->liveview_jpeg_offset = values.liveview_jpeg_offset;
    state->liveview_header_offset = values.liveview_header_offset;
    state->liveview_for_movie = false;
    state->storage_override = false;
    state->requested_storage_index = -1;
    state->storage_index = MTP_NIKON_STORAGE_UNKNOWN;
    state->device_state = MTP_RESPONSE_OK;
    state->memory_object_handle = values.memory_object_handle;
    state->saved_liveview_af_mode = -1;
    state->liveview_image_size = values.liveview_image_size;
    state->liveview_zoom_ratio = values.liveview_zoom_ratio;
    state->busy_since = 0;
    state->busy_allowance = 0;
    device.vendor_state = state;

    if (device.hooks.check_battery)
        device.hooks.check_battery(device);
    if (mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_ChangeCameraMode))
    {
        u32 mode = 0;
        mtp_device_execute(device, MTP_COMMAND_Nikon_ChangeCameraMode, &mode, 1);
    }
    mtp_nikon_enable_applicationmode(device, true);

    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_USBSpeed))
    {
        const mtp_devicepropdesc_t* speed = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_USBSpeed, true);
        if (speed)
        {
            stringbuffer_t text;
            stringbuffer_initialise(text);
            mtp_nikon_compute_property_str(device, text, speed->current_value, MTP_PROPERTY_Nikon_USBSpeed);
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Nikon USB speed: %u - %s",
                       mtp_datavalue_to_uint(speed->current_value) & 0xFFu, text.str);
            stringbuffer_release(text);
        }
    }
    if (mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_RecordingMedia))
    {
        mtp_cameraproperty_t& storage = device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
        if (storage.get)
            storage.get(device, storage);
        // Photos go to the computer unless the context's defaults choose otherwise.
        mtp_nikon_select_memory_storage(device, *state);
    }
    return true;
}

void mtp_nikon_disconnect(mtp_device_t& device)
{
    mtp_device_free_vendor_state(device);
}

void mtp_nikon_enable_applicationmode(mtp_device_t& device, bool on)
{
    if (!mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_ApplicationMode))
        return;
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_ApplicationMode, true);
    if (desc && mtp_nikon_num_allowed(*desc) > 0 &&
        mtp_nikon_select_value(device, MTP_PROPERTY_Nikon_ApplicationMode, *desc, on ? 1 : 0))
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Nikon device ApplicationMode: %s", on ? "enabled" : "disabled");
        return;
    }
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to enable Nikon device ApplicationMode");
}

// --- readiness ------------------------------------------------------------------------------

// DeviceReady answers and what they end:
//   OK                  ready; an autofocus in progress succeeded; a pending movie starts
//   DeviceBusy          not ready; what waits keeps waiting, up to MTP_NIKON_BUSY_LIMIT_MS
//   Bulb_Release_Busy   not ready (an exposure is open)
//   anything else       not ready; a capture fails, an autofocus fails, a pending movie is dropped
bool mtp_nikon_check_deviceready(mtp_device_t& device)
{
    if (!device.callbacks.execute)
        return true;
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return false;
    // Straight through the transport: a busy camera is not an error to count.
    mtp_response_t response = device.callbacks.execute(device.protocol, MTP_COMMAND_Nikon_DeviceReady, nullptr, 0,
                                                       device.callbacks.user);
    if (static_cast<i32>(response) != state->device_state)
    {
        state->device_state = static_cast<i32>(response);
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Nikon device state: %s",
                   mtp_response_to_cstr(device.protocol, response));
    }
    if (response != MTP_RESPONSE_Device_Busy)
        state->busy_since = 0;
    if (response == MTP_RESPONSE_OK)
        state->busy_allowance = 0;

    switch (response)
    {
    case MTP_RESPONSE_Nikon_Bulb_Release_Busy:
        if (!device.bulb.active && !device.capture_in_progress)
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Inconsitent bulb mode detected");
        return false;
    case MTP_RESPONSE_Device_Busy:
    {
        u64 now = time_get_ticks();
        if (state->busy_since == 0)
            state->busy_since = now;
        else if (nikon_something_waits(device) &&
                 now - state->busy_since > MTP_NIKON_BUSY_LIMIT_MS * 1000 + state->busy_allowance)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Nikon device busy for too long: %s - %llu ms",
                       nikon_serial(device), static_cast<unsigned long long>((now - state->busy_since) / 1000));
            nikon_fail_waiting(device);
            state->busy_since = 0;
        }
        return false;
    }
    case MTP_RESPONSE_OK:
        if (device.autofocus.in_progress)
        {
            device.autofocus.in_progress = false;
            device.autofocus.succeeded = true;
            mtp_device_set_changed(device, MTP_CHANGE_AUTOFOCUS);
            device.fast_poll = false;
        }
        if (device.video.vendor_flag0)
            mtp_nikon_start_pending_video(device);
        return true;
    default:
        nikon_fail_waiting(device);
        return false;
    }
}

// --- events -----------------------------------------------------------------------------------

void mtp_nikon_poll(mtp_device_t& device)
{
    if (!mtp_nikon_check_deviceready(device))
        return;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    if (!mtp_device_read(device, buffer, MTP_COMMAND_Nikon_GetEvent) || buffer.length < 2)
        return;
    mtp_nikon_read_events(device, buffer);
}

u64 mtp_nikon_read_events(mtp_device_t& device, const mtp_buffer_t& block)
{
    u64 cursor = 0;
    u16 count = 0;
    if (!mtp_buffer_extract(block, cursor, count))
        return 0;
    // Only what the block really holds is read, whatever the count claims.
    u64 present = (block.length - cursor) / MTP_NIKON_EVENT_SIZE;
    u64 entries = count;
    if (entries != present)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Nikon event size mismatch: %u (expected %u)",
                   static_cast<unsigned>(count), static_cast<unsigned>(present));
        if (present < entries)
            entries = present;
    }
    for (u64 i = 0; i < entries; ++i)
    {
        u16 code = 0;
        u32 parameter = 0;
        if (!mtp_buffer_extract(block, cursor, code) || !mtp_buffer_extract(block, cursor, parameter))
            return i;
        mtp_device_handle(device, static_cast<mtp_event_t>(code), &parameter, 1);
    }
    return entries;
}

void mtp_nikon_handle_event(mtp_device_t& device, mtp_event_t code, u32 parameter)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return;
    switch (code)
    {
    case MTP_EVENT_ObjectAdded:
        if (state->storage_index == MTP_NIKON_STORAGE_UNKNOWN)
            mtp_nikon_add_object(device, parameter, device.download, device.jpeg_only);
        else if (state->requested_storage_index == MTP_NIKON_STORAGE_JPEG)
            mtp_nikon_add_object(device, parameter, false, true);
        else if (state->requested_storage_index == MTP_NIKON_STORAGE_BOTH)
            mtp_nikon_add_object(device, parameter, true, false);
        else if (state->storage_index == MTP_NIKON_STORAGE_CARD)
            mtp_nikon_add_object(device, parameter, false, false);
        // Objects in the camera's memory are announced by ObjectAddedInSdram.
        break;
    case MTP_EVENT_CaptureComplete:
    case MTP_EVENT_Nikon_CaptureCompleteRecInSdram:
        if (device.capture_in_progress)
        {
            device.capture_in_progress = false;
            device.capture_failed = false;
            mtp_device_set_changed(device, MTP_CHANGE_CAPTURE);
        }
        device.fast_poll = false;
        break;
    case MTP_EVENT_Nikon_ObjectAddedInSdram:
        mtp_nikon_add_object(device, state->memory_object_handle ? state->memory_object_handle : parameter, true,
                             false);
        break;
    default:
        break;
    }
}

void mtp_nikon_add_object(mtp_device_t& device, u32 handle, bool download, bool jpeg_only)
{
    // GetObjectInfo, folders and scripts ignored, the JPEG-only rule, the
    // announcement and the download task: the same step as every vendor's.
    mtp_generic_add_object(device, handle, download, jpeg_only);
}

// --- capture, focus, battery ----------------------------------------------------------------------

bool mtp_nikon_capture_v2(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    // Without a known storage the camera writes to its card, as it would by itself.
    u32 storage = state && state->storage_index >= MTP_NIKON_STORAGE_CARD &&
                          state->storage_index <= MTP_NIKON_STORAGE_BOTH
                      ? static_cast<u32>(state->storage_index)
                      : 0;
    u32 parameters[2] = {0xFFFFFFFFu, storage};
    if (!mtp_device_execute(device, MTP_COMMAND_Nikon_InitiateCaptureRecInMedia, parameters, 2))
        return false;
    device.capture_in_progress = true;
    return true;
}

bool mtp_nikon_capture_v1(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return false;
    if (state->storage_index == MTP_NIKON_STORAGE_DISK)
    {
        u32 parameter = 0xFFFFFFFFu;
        if (!mtp_device_execute(device, MTP_COMMAND_Nikon_InitiateCaptureRecInSdram, &parameter, 1))
            return false;
        device.capture_in_progress = true;
        return true;
    }
    return mtp_device_execute(device, MTP_COMMAND_InitiateCapture);
}

bool mtp_nikon_bulb_start(mtp_device_t& device)
{
    // The camera is set to bulb: the release opens the shutter until TerminateCapture.
    return device.hooks.capture && device.hooks.capture(device);
}

bool mtp_nikon_bulb_stop(mtp_device_t& device)
{
    u32 parameters[2] = {0, 0};
    if (!mtp_device_execute(device, MTP_COMMAND_Nikon_TerminateCapture, parameters, 2))
        return false;
    // The camera may now be busy with a noise reduction as long as the exposure.
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (state)
        state->busy_allowance = device.bulb_countdown.target;
    return true;
}

bool mtp_nikon_focus(mtp_device_t& device)
{
    // Its end is reported by DeviceReady.
    return mtp_device_execute(device, MTP_COMMAND_Nikon_AfDrive);
}

void mtp_nikon_check_battery(mtp_device_t& device)
{
    const mtp_devicepropdesc_t* level = mtp_device_get_deviceprop(device, MTP_PROPERTY_BatteryLevel, false);
    const mtp_devicepropdesc_t* dcin = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_ExternalDCIN, false);
    i32 source = MTP_POWERSOURCE_UNKNOWN;
    u8 percent = 0;
    if (level && dcin)
    {
        percent = static_cast<u8>(mtp_datavalue_to_uint(level->current_value) & 0xFFu);
        source = (mtp_datavalue_to_uint(dcin->current_value) & 0xFFu) == 0 ? MTP_POWERSOURCE_BATTERY
                                                                           : MTP_POWERSOURCE_EXTERNAL;
    }
    if (source != device.power.source || percent != device.power.level)
    {
        device.power.source = source;
        device.power.level = percent;
        mtp_device_set_changed(device, MTP_CHANGE_POWER);
    }
}

// --- cards --------------------------------------------------------------------------------------------

bool mtp_nikon_format(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return mtp_generic_format(device);
    if (!device.hooks.get_storage_ids)
        return false;
    vector_t<u32> ids;
    vector_initialise(ids, 4, false);
    if (!device.hooks.get_storage_ids(device, ids))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to query memory cards for camera: %s",
                   nikon_serial(device));
        vector_release(ids);
        return false;
    }
    u64 cards = 0;
    for (u64 i = 0; i < ids.count; ++i)
        if ((ids.data[i] & 0xFFFFu) != 0)
            ++cards;
    if (cards == 0)
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Skipping formatting, no cards detected for: %s",
                   nikon_serial(device));
        vector_release(ids);
        return true;
    }

    // The mode to come back to is the one the user chose: restoring only the
    // camera's storage index would turn "JPEG" or an emulated "Both" into
    // "Card", and photos would silently stop being downloaded.
    mtp_cameraproperty_t& storage = device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
    // Without RecordingMedia the storage mode is the program's own setting.
    i32 restore = storage.get != mtp_nikon_get_storagemode ? storage.current_index
                  : state->requested_storage_index != -1   ? state->requested_storage_index
                                                           : state->storage_index;
    if (storage.set)
        storage.set(device, storage, MTP_NIKON_STORAGE_CARD);
    mtp_nikon_enable_applicationmode(device, false);
    bool ok = true;
    for (u64 i = 0; i < ids.count && ok; ++i)
        ok = mtp_generic_format_storage_id(device, ids.data[i]);
    mtp_nikon_enable_applicationmode(device, true);
    // An undetermined storage (4) has no mode to select: the camera keeps Card.
    if (storage.set && restore >= MTP_NIKON_STORAGE_CARD && restore <= MTP_NIKON_STORAGE_JPEG)
        storage.set(device, storage, restore);
    vector_release(ids);
    return ok;
}

bool mtp_nikon_get_storage_ids(mtp_device_t& device, vector_t<u32>& ids)
{
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    if (!mtp_device_read(device, buffer, MTP_COMMAND_Nikon_GetVendorStorageIDs) || buffer.length < 4)
        return false;
    u64 cursor = 0;
    if (!mtp_buffer_extract(buffer, cursor, ids))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Nikon storage id list cut short: %s", nikon_serial(device));
        return false;
    }
    return true;
}
} // namespace orvo
