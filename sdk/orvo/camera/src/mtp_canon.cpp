// The Canon EOS extension's base: the hook table chosen by what the camera
// lists (after GetDeviceInfoEx widens the lists), the vendor state, connecting
// (remote and event mode, the first event reads, the computer's capacity,
// destination "Disk") and disconnecting, transfer acknowledgements, the error
// filter and the battery.
#include "orvo/camera/mtp_canon.h"

#include "orvo/camera/mtp_generic.h"
#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
namespace
{
struct frame_size_t
{
    u32 width;
    u32 height;
};

// Live-view sensor size by model index (the Canon run of the model table).
const frame_size_t g_frame_sizes[] = {
    {3888, 2592}, // 1D MarkIII
    {5616, 3744}, // 1Ds MarkIII
    {4896, 3264}, // 1D MarkIV
    {5184, 3456}, // 1D C
    {5184, 3456}, // 1D X
    {4368, 2912}, // 5D
    {5616, 3744}, // 5D MarkII
    {5760, 3840}, // 5D MarkIII
    {6720, 4480}, // 5D MarkIV
    {8688, 5792}, // 5DS
    {8688, 5792}, // 5DS R
    {5472, 3648}, // 6D
    {6240, 4160}, // 6D MarkII
    {5184, 3456}, // 7D
    {5472, 3648}, // 7D MarkII
    {3888, 2592}, // 40D
    {4752, 3168}, // 50D
    {5184, 3456}, // 60D
    {5472, 3648}, // 70D
    {6000, 4000}, // 77D
    {6000, 4000}, // 80D
    {5184, 3456}, // 100D
    {6000, 4000}, // 200D
    {3456, 2304}, // 350D
    {3888, 2592}, // 400D
    {4272, 2848}, // 450D
    {4752, 3168}, // 500D
    {5184, 3456}, // 550D
    {5184, 3456}, // 600D
    {5184, 3456}, // 650D
    {5184, 3456}, // 700D
    {6000, 4000}, // 750D
    {6000, 4000}, // 760D
    {6000, 4000}, // 800D
    {3888, 2592}, // 1000D
    {4272, 2848}, // 1100D
    {5184, 3456}, // 1200D
    {5184, 3456}, // 1300D
};
static_assert(sizeof(g_frame_sizes) / sizeof(g_frame_sizes[0]) == MTP_MODEL_FUJIFILM_FIRST - MTP_MODEL_CANON_FIRST,
              "one live-view size per Canon model");

const u32 CAPACITY_PARAMETERS[3] = {0x4FFFFFFF, 0x1000, 1};

bool listed(const mtp_device_t& device, mtp_command_t operation)
{
    return mtp_deviceinfo_is_supported(device.deviceinfo, operation);
}

bool listed(const mtp_device_t& device, u32 property)
{
    return mtp_deviceinfo_is_supported(device.deviceinfo, static_cast<mtp_property_t>(property));
}

void canon_state_release(void* state)
{
    mtp_canon_state_t* canon = static_cast<mtp_canon_state_t*>(state);
    if (!canon)
        return;
    mtp_buffer_release(canon->event_buffer);
    canon->~mtp_canon_state_t();
    heap_free(canon, ORVO_HEAP_TAG);
}

// GetDeviceInfoEx lists are u32 codes; DeviceInfo keeps u16 ones.
bool append_codes(const mtp_buffer_t& buffer, u64& cursor, vector_t<u16>& list)
{
    u32 count = 0;
    if (!mtp_buffer_extract(buffer, cursor, count))
        return false;
    for (u32 i = 0; i < count; ++i)
    {
        u32 code = 0;
        if (!mtp_buffer_extract(buffer, cursor, code))
            return false;
        u16 code16 = static_cast<u16>(code);
        bool present = false;
        for (u64 j = 0; j < list.count && !present; ++j)
            present = list.data[j] == code16;
        if (!present && !vector_insert(list, code16))
            return false;
    }
    return true;
}
} // namespace

mtp_canon_state_t* mtp_canon_state(mtp_device_t& device)
{
    // Known by its release function: a DeviceInfo read again may name
    // another maker while another vendor's state is still held.
    return device.vendor_state_release == canon_state_release ? static_cast<mtp_canon_state_t*>(device.vendor_state)
                                                              : nullptr;
}

// --- the hook table -----------------------------------------------------------------------------

void mtp_canon_parse_deviceinfo(mtp_device_t& device)
{
    device.protocol = MTP_PROTOCOL_CANON;
    mtp_device_hooks_t& hooks = device.hooks;
    hooks = mtp_device_hooks_t{};
    hooks.connect = mtp_canon_connect;
    hooks.disconnect = mtp_canon_disconnect;
    hooks.read_devicepropdesc = mtp_canon_read_devicepropdesc;
    hooks.read_devicepropvalue = mtp_canon_read_devicepropvalue;
    hooks.write_devicepropvalue = mtp_canon_write_devicepropvalue;
    hooks.acknowledge_download = mtp_canon_acknowledge_download;
    hooks.compute_property_str = mtp_canon_compute_property_str;
    hooks.record_error = mtp_canon_record_error;
    hooks.poll = mtp_generic_poll;
    hooks.capture = mtp_generic_capture;
    hooks.download = mtp_generic_download;
    hooks.delete_object = mtp_generic_delete;
    hooks.format = mtp_generic_format;
    hooks.get_storage_ids = mtp_generic_get_storage_ids;
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_set_generic(device.cameraproperties[type], device);

    mtp_canon_read_deviceinfoex(device);

    if (listed(device, MTP_COMMAND_Canon_GetEvent))
    {
        hooks.poll = mtp_canon_poll;
        device.events_by_polling = true;
    }
    bool buttons = listed(device, MTP_COMMAND_Canon_RemoteReleaseOn) && listed(device, MTP_COMMAND_Canon_RemoteReleaseOff);
    if (buttons)
        hooks.capture = mtp_canon_capture;
    else if (listed(device, MTP_COMMAND_Canon_RemoteRelease))
        hooks.capture = mtp_canon_legacy_capture;
    if (buttons)
    {
        hooks.bulb_start = mtp_canon_bulb_start;
        hooks.bulb_stop = mtp_canon_bulb_stop;
        hooks.shutterbutton = mtp_canon_shutterbutton;
    }
    if (listed(device, MTP_COMMAND_GetPartialObject))
        hooks.download_file = mtp_generic_download_file;
    if (listed(device, MTP_COMMAND_Canon_DoAf))
        hooks.focus = mtp_canon_focus_v1;
    else if (buttons)
        hooks.focus = mtp_canon_focus_v2;
    if (listed(device, MTP_PROPERTY_Canon_BatterySelect))
        hooks.check_battery = mtp_canon_check_battery;
    else if (listed(device, MTP_PROPERTY_BatteryLevel))
        hooks.check_battery = mtp_generic_check_battery;
    if (listed(device, MTP_PROPERTY_Canon_EVFOutputDevice))
    {
        hooks.enable_liveview = mtp_canon_enable_liveview;
        hooks.check_liveview = mtp_canon_check_liveview;
        hooks.download_liveview = mtp_canon_download_liveview;
    }
    if (listed(device, MTP_COMMAND_Canon_Zoom))
        hooks.zoom_liveview = mtp_canon_zoom_liveview;
    if (listed(device, MTP_COMMAND_Canon_ZoomPosition))
        hooks.move_liveview = mtp_canon_move_liveview;
    if (listed(device, MTP_COMMAND_Canon_DriveLens))
        hooks.focus_liveview = mtp_canon_focus_liveview;
    if (listed(device, MTP_PROPERTY_Canon_DepthOfFieldPreview))
        hooks.enable_dof = mtp_canon_enable_dof;
    if (listed(device, MTP_PROPERTY_Canon_EVFRecordStatus))
    {
        hooks.enable_video = mtp_canon_enable_video;
        hooks.check_video = mtp_canon_check_video;
    }
    mtp_canon_set_cameraproperties(device);
}

void mtp_canon_read_deviceinfoex(mtp_device_t& device)
{
    if (!listed(device, MTP_COMMAND_Canon_GetDeviceInfoEx))
        return;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    if (!mtp_device_read(device, buffer, MTP_COMMAND_Canon_GetDeviceInfoEx))
        return;
    u64 cursor = 0;
    u32 size = 0;
    // What was appended before a failure stays: the camera did list it.
    if (mtp_buffer_extract(buffer, cursor, size) && append_codes(buffer, cursor, device.deviceinfo.events))
        append_codes(buffer, cursor, device.deviceinfo.properties);
}

// --- connecting -----------------------------------------------------------------------------------

bool mtp_canon_connect(mtp_device_t& device)
{
    mtp_device_free_vendor_state(device);
    void* memory = heap_alloc(sizeof(mtp_canon_state_t), alignof(mtp_canon_state_t), ORVO_HEAP_TAG);
    if (!memory)
        return false; // the heap has logged the failed allocation, which fails the connection
    mtp_canon_state_t* state = new (memory) mtp_canon_state_t();
    state->status = MTP_RESPONSE_OK;
    mtp_buffer_initialise(state->event_buffer);
    state->shutter_state = MTP_SHUTTERBUTTON_RELEASED;
    state->storage_index = 4;
    state->autofocus_by_doaf = true;
    state->exposure_mode_bulb = false;
    state->movie_storage = false;
    state->requested_storage_index = -1;
    state->first_capture_destination = -1;
    state->saved_drive_mode = -1;
    state->camera_status = 0;
    state->available_shots = -1;
    state->mirror_function_id = -1;
    state->mirror_function_group = -1;
    u32 model = device.model;
    bool known = model < MTP_MODEL_FUJIFILM_FIRST;
    state->default_frame_width = known ? g_frame_sizes[model].width : 0;
    state->default_frame_height = known ? g_frame_sizes[model].height : 0;
    state->zoom_x = 0;
    state->zoom_y = 0;
    state->capture_started = 0;
    device.vendor_state = state;
    device.vendor_state_release = canon_state_release;

    if (device.hooks.check_battery)
        device.hooks.check_battery(device);
    mtp_canon_set_remotemode(device, true);
    mtp_canon_set_eventmode(device, true);
    mtp_canon_getevent(device);
    mtp_canon_requestdeviceprop(device, MTP_PROPERTY_Canon_SerialNumber);
    mtp_canon_requestdeviceprop(device, MTP_PROPERTY_Canon_CustomFuncEx);
    mtp_canon_getevent(device);
    if (listed(device, MTP_COMMAND_Canon_PCHDDCapacity))
        mtp_device_execute(device, MTP_COMMAND_Canon_PCHDDCapacity, CAPACITY_PARAMETERS, 3);
    mtp_canon_override_timer(device, device.bulb.enabled);
    if (listed(device, MTP_PROPERTY_Canon_CaptureDestination))
    {
        mtp_cameraproperty_t& storage = device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
        if (storage.get)
            storage.get(device, storage);
        mtp_canon_set_storagemode(device, storage, 1);
    }
    return true;
}

void mtp_canon_disconnect(mtp_device_t& device)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
    {
        mtp_device_free_vendor_state(device);
        return;
    }
    if (device.autofocus.in_progress)
    {
        mtp_device_execute(device, MTP_COMMAND_Canon_AfCancel);
        device.autofocus.in_progress = false;
        device.autofocus.succeeded = false;
        mtp_device_set_changed(device, MTP_CHANGE_AUTOFOCUS);
        timer_t& timer = device.autofocus_countdown.timer;
        if (timer.start)
        {
            timer.ticks += timer_elapsed(timer);
            timer.start = 0;
        }
    }
    mtp_canon_shutterbutton(device, MTP_SHUTTERBUTTON_RELEASED);
    mtp_canon_set_remotemode(device, false);
    mtp_canon_set_eventmode(device, false);
    mtp_device_free_vendor_state(device);
}

void mtp_canon_set_remotemode(mtp_device_t& device, bool on)
{
    if (!listed(device, MTP_COMMAND_Canon_SetRemoteMode))
        return;
    u32 parameter = on ? 1 : 0;
    mtp_device_execute(device, MTP_COMMAND_Canon_SetRemoteMode, &parameter, 1);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon remote mode: %s", on ? "enabled" : "disabled");
}

void mtp_canon_set_eventmode(mtp_device_t& device, bool on)
{
    if (!listed(device, MTP_COMMAND_Canon_SetEventMode))
        return;
    u32 parameter = on ? 1 : 0;
    mtp_device_execute(device, MTP_COMMAND_Canon_SetEventMode, &parameter, 1);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon event mode: %s", on ? "enabled" : "disabled");
}

// --- transfers and capacity ---------------------------------------------------------------------------

void mtp_canon_transfercomplete(mtp_device_t& device, u32 handle)
{
    if (listed(device, MTP_COMMAND_Canon_TransferComplete))
        mtp_device_execute(device, MTP_COMMAND_Canon_TransferComplete, &handle, 1);
}

void mtp_canon_canceltransfer(mtp_device_t& device, u32 handle)
{
    if (listed(device, MTP_COMMAND_Canon_CancelTransfer))
        mtp_device_execute(device, MTP_COMMAND_Canon_CancelTransfer, &handle, 1);
}

void mtp_canon_acknowledge_download(mtp_device_t& device, mtp_downloadtask_t& task)
{
    if (task.memory_only)
    {
        // The camera holds the object in its memory until told what became of it.
        if (task.success)
            mtp_canon_transfercomplete(device, task.object.handle);
        else
            mtp_canon_canceltransfer(device, task.object.handle);
    }
    // The count still includes this task.
    if (device.pending_downloads <= 1)
        mtp_canon_set_capacity(device, true);
}

void mtp_canon_set_capacity(mtp_device_t& device, bool force)
{
    if (!force)
    {
        mtp_canon_state_t* state = mtp_canon_state(device);
        if (!state || state->available_shots > 10 || state->storage_index == 0)
            return;
    }
    if (listed(device, MTP_COMMAND_Canon_PCHDDCapacity))
        mtp_device_execute(device, MTP_COMMAND_Canon_PCHDDCapacity, CAPACITY_PARAMETERS, 3);
}

// --- errors and battery ----------------------------------------------------------------------------------

bool mtp_canon_record_error(mtp_device_t& device, mtp_command_t operation, mtp_response_t response)
{
    // Answers the bodies give in normal use: a value request or focus that
    // could not be done now, a release that could not focus, a live view that
    // is not ready yet. None of them says anything about the link.
    if (response == MTP_RESPONSE_General_Error &&
        (operation == MTP_COMMAND_Canon_RequestDevicePropValue || operation == MTP_COMMAND_Canon_DoAf ||
         operation == MTP_COMMAND_InitiateCapture))
        return false;
    if (response == MTP_CANON_RESPONSE_NOT_READY && operation == MTP_COMMAND_Canon_GetViewFinderData)
        return false;
    return mtp_generic_record_error(device, operation, response);
}

void mtp_canon_check_battery(mtp_device_t& device)
{
    const mtp_devicepropdesc_t* level = mtp_device_get_deviceprop(device, MTP_PROPERTY_BatteryLevel, false);
    const mtp_devicepropdesc_t* select = mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_BatterySelect, false);
    i32 source = MTP_POWERSOURCE_UNKNOWN;
    u8 value = 0;
    if (level && select)
    {
        value = static_cast<u8>(mtp_datavalue_to_uint(level->current_value) & 0xFFu);
        source = mtp_datavalue_to_uint(select->current_value) == 0 ? MTP_POWERSOURCE_BATTERY
                                                                     : MTP_POWERSOURCE_EXTERNAL;
    }
    if (source != device.power.source || value != device.power.level)
    {
        device.power.source = source;
        device.power.level = value;
        mtp_device_set_changed(device, MTP_CHANGE_POWER);
    }
}

bool mtp_canon_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringbuffer_t& out)
{
    if (!buffer.data || cursor >= buffer.length)
        return false;
    u64 end = cursor;
    while (end < buffer.length && buffer.data[end] != 0)
        ++end;
    if (end >= buffer.length)
        return false;
    if (end == cursor)
        stringbuffer_clear(out);
    else if (!stringbuffer_set(out, string_make(reinterpret_cast<const char*>(buffer.data + cursor), end - cursor)))
        return false;
    // The terminator is consumed too, so that a following field starts after it.
    cursor = end + 1;
    return true;
}
} // namespace orvo
