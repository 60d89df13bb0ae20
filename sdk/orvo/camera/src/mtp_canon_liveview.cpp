// Canon EOS live view, depth-of-field preview and movies: live view switched
// through EVFOutputDevice and read as GetViewFinderData blocks (the JPEG frame,
// zoom, position, focus state, zoom area, sensor size), zoom, zoom position
// and lens steps, the preview through DepthOfFieldPreview and recording
// through EVFRecordStatus with the storage forced to the card.
#include "orvo/camera/mtp_canon.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/core/core_log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace orvo
{
namespace
{
enum block_type_t : u32
{
    BLOCK_FRAME = 1,
    BLOCK_ZOOM = 4,
    BLOCK_POSITION = 5,
    BLOCK_FOCUS = 8,
    BLOCK_AREA = 13,
    BLOCK_SENSOR = 14,
};

// Low byte of a property's value, read with refresh; false without a valid description.
bool property_on(mtp_device_t& device, mtp_property_t code, bool& valid)
{
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, code, true);
    valid = desc != nullptr;
    return desc && (mtp_datavalue_to_uint(desc->current_value) & 0xFFu) != 0;
}

bool write_uint32(mtp_device_t& device, mtp_property_t code, u32 v)
{
    mtp_datavalue_t value = {};
    mtp_datavalue_initialise(value, MTP_DATATYPE_UINT32);
    value.uint32 = v;
    bool ok = mtp_device_set_deviceprop(device, code, value);
    mtp_datavalue_release(value);
    return ok;
}

// Differs by more than the relative tolerance of a float.
bool corner_moved(float before, float after)
{
    float scale = std::max(std::min(before, after), 1.0f);
    return std::fabs(before - after) > scale * 1.1920929e-07f;
}

void restore_camera_storage(mtp_device_t& device, mtp_canon_state_t& state)
{
    state.movie_storage = false;
    mtp_cameraproperty_t& storage = device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
    // Taken again on the next property pass: settable once more, and the
    // index of whatever the camera now reports.
    storage.value_version = version_t{};
    i32 code = storage.code;
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(code));
    if (desc)
    {
        desc->value_due = true;
        desc->description_due = true;
    }
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
}

// The frame's sizes and positions are the camera's 32-bit words; a broken
// frame can put the corners far outside what the record's ints hold.
i32 clamp_to_i32(double value)
{
    if (!(value > -2147483648.0))
        return INT32_MIN;
    if (value >= 2147483647.0)
        return INT32_MAX;
    return static_cast<i32>(value);
}
} // namespace

// --- live view ------------------------------------------------------------------------------------------

bool mtp_canon_enable_liveview(mtp_device_t& device, bool on)
{
    if (!mtp_canon_state(device))
        return false;
    bool valid = false;
    bool current = property_on(device, MTP_PROPERTY_Canon_EVFOutputDevice, valid);
    if (valid && current != on)
    {
        if (on)
        {
            if (mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_LvAfSystem, true))
                write_uint32(device, MTP_PROPERTY_Canon_LvAfSystem, 1);
        }
        else if (device.autofocus.in_progress)
            mtp_canon_end_autofocus(device, false, false, true);
        if (write_uint32(device, MTP_PROPERTY_Canon_EVFOutputDevice, on ? 2 : 0))
        {
            current = on;
            // The camera took the switch: frames are fetched from the next
            // pass rather than after the next live-view check.
            if (device.liveview.on != on)
            {
                device.liveview.on = on;
                device.liveview.zoomed = device.liveview.zoomed && on;
                mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
            }
        }
    }
    return current == on;
}

void mtp_canon_check_liveview(mtp_device_t& device)
{
    bool valid = false;
    bool on = property_on(device, MTP_PROPERTY_Canon_EVFOutputDevice, valid);
    bool dof_on = false;
    if (on)
        dof_on = property_on(device, MTP_PROPERTY_Canon_DepthOfFieldPreview, valid);
    bool zoomed = device.liveview.zoomed && on;
    mtp_liveview_t& liveview = device.liveview;
    if (liveview.on != on || liveview.zoomed != zoomed || liveview.dof_on != dof_on)
    {
        liveview.on = on;
        liveview.zoomed = zoomed;
        liveview.dof_on = dof_on;
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    }
}

void mtp_canon_download_liveview(mtp_device_t& device)
{
    mtp_canon_check_liveview(device);
    if (!device.liveview.on)
        return;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    u32 parameter = MTP_CANON_VIEWFINDER_SIZE;
    if (!mtp_device_read(device, buffer, MTP_COMMAND_Canon_GetViewFinderData, &parameter, 1))
        return;
    mtp_canon_liveview_decode(device, buffer, 0);
}

void mtp_canon_liveview_decode(mtp_device_t& device, const mtp_buffer_t& buffer, u64 cursor)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state || !buffer.data || cursor > buffer.length)
        return;
    bool frame = false;
    bool have_zoom = false, have_position = false, have_focus = false, have_area = false, have_sensor = false;
    u32 zoom = 0, focus = 0;
    u32 position[2] = {0, 0};
    u32 area[4] = {0, 0, 0, 0};
    u32 sensor[2] = {0, 0};

    u64 offset = cursor;
    while (buffer.length - offset >= 8)
    {
        u64 read = offset;
        u32 size = 0;
        u32 type = 0;
        mtp_buffer_extract(buffer, read, size);
        mtp_buffer_extract(buffer, read, type);
        // Every block is bounded by the bytes there: a size below its own
        // header would never move on, one beyond the data would read past it.
        if (size < 8 || size > buffer.length - offset)
        {
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Canon live view block invalid: %u bytes of %llu left", size,
                       static_cast<unsigned long long>(buffer.length - offset));
            break;
        }
        const mtp_buffer_t block = {buffer.data + offset, size, size, false};
        u64 at = 8;
        switch (type)
        {
        case BLOCK_FRAME:
            if (memorybuffer_set(device.liveview.frame, block.data + 8, size - 8) || size == 8)
                frame = true;
            break;
        case BLOCK_ZOOM:
            have_zoom = mtp_buffer_extract(block, at, zoom);
            break;
        case BLOCK_POSITION:
            have_position = mtp_buffer_extract(block, at, position[0]) && mtp_buffer_extract(block, at, position[1]);
            break;
        case BLOCK_FOCUS:
            if (size >= 12)
            {
                focus = block.data[8];
                have_focus = true;
            }
            break;
        case BLOCK_AREA:
            have_area = mtp_buffer_extract(block, at, area[0]) && mtp_buffer_extract(block, at, area[1]) &&
                        mtp_buffer_extract(block, at, area[2]) && mtp_buffer_extract(block, at, area[3]);
            break;
        case BLOCK_SENSOR:
            have_sensor = mtp_buffer_extract(block, at, sensor[0]) && mtp_buffer_extract(block, at, sensor[1]);
            break;
        default:
            break;
        }
        offset += size;
    }

    mtp_liveview_t& liveview = device.liveview;
    if (have_zoom && liveview.zoomed != (zoom > 1))
    {
        liveview.zoomed = zoom > 1;
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    }
    if (have_focus && (focus & 1u) && device.autofocus.in_progress)
        mtp_canon_end_autofocus(device, true, false, false);

    i64 width = have_sensor ? sensor[0] : state->default_frame_width;
    i64 height = have_sensor ? sensor[1] : state->default_frame_height;
    i64 x = 0, y = 0, w = 0, h = 0;
    if (have_area)
    {
        x = area[0];
        y = area[1];
        w = area[2];
        h = area[3];
    }
    else
    {
        if (have_position)
        {
            x = position[0];
            y = position[1];
        }
        w = width / 5;
        h = height / 5;
    }
    float corners[4];
    if (liveview.zoomed)
    {
        corners[0] = static_cast<float>(x);
        corners[1] = static_cast<float>(height - y - h);
        corners[2] = static_cast<float>(x + w);
        corners[3] = static_cast<float>(height - y);
    }
    else
    {
        corners[0] = 0.0f;
        corners[1] = 0.0f;
        corners[2] = static_cast<float>(width);
        corners[3] = static_cast<float>(height);
    }
    for (float& corner : corners)
        corner = static_cast<float>(clamp_to_i32(corner));
    const mtp_rectangle_t& stored = liveview.zoom_area;
    float before[4] = {static_cast<float>(stored.left), static_cast<float>(stored.top),
                       static_cast<float>(stored.right), static_cast<float>(stored.bottom)};
    bool moved = width != liveview.frame_width || height != liveview.frame_height;
    for (int i = 0; i < 4 && !moved; ++i)
        moved = corner_moved(before[i], corners[i]);
    if (moved)
    {
        state->zoom_x = clamp_to_i32(double(x));
        state->zoom_y = clamp_to_i32(double(y));
        liveview.frame_width = clamp_to_i32(double(width));
        liveview.frame_height = clamp_to_i32(double(height));
        liveview.zoom_area.left = clamp_to_i32(corners[0]);
        liveview.zoom_area.top = clamp_to_i32(corners[1]);
        liveview.zoom_area.right = clamp_to_i32(corners[2]);
        liveview.zoom_area.bottom = clamp_to_i32(corners[3]);
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    }
    if (frame)
    {
        version_bump(liveview.frame_version);
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW_FRAME);
    }
}

bool mtp_canon_zoom_liveview(mtp_device_t& device, bool zoomed)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state || !device.liveview.on || state->camera_status != 0)
        return false;
    u32 parameter = zoomed ? 5 : 1;
    return mtp_device_execute(device, MTP_COMMAND_Canon_Zoom, &parameter, 1);
}

bool mtp_canon_move_liveview(mtp_device_t& device, i32 dx, i32 dy)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state || !device.liveview.on || !device.liveview.zoomed)
        return false;
    i64 x = static_cast<i64>(state->zoom_x) + dx;
    i64 y = static_cast<i64>(state->zoom_y) + dy;
    u32 parameters[2] = {static_cast<u32>(x < 0 ? 0 : x), static_cast<u32>(y < 0 ? 0 : y)};
    return mtp_device_execute(device, MTP_COMMAND_Canon_ZoomPosition, parameters, 2);
}

bool mtp_canon_focus_liveview(mtp_device_t& device, i32 step)
{
    if (!device.liveview.on)
        return false;
    u32 parameter;
    if (step >= 1 && step <= 3)
        parameter = static_cast<u32>(step);
    else if (step >= -3 && step <= -1)
        parameter = 0x8000u | static_cast<u32>(-step);
    else
        return false;
    return mtp_device_execute(device, MTP_COMMAND_Canon_DriveLens, &parameter, 1);
}

// --- depth-of-field preview and movies ------------------------------------------------------------------

bool mtp_canon_enable_dof(mtp_device_t& device, bool on)
{
    bool valid = false;
    bool current = property_on(device, MTP_PROPERTY_Canon_DepthOfFieldPreview, valid);
    if (current != on && write_uint32(device, MTP_PROPERTY_Canon_DepthOfFieldPreview, on ? 1 : 0))
        current = on;
    device.liveview.dof_on = current;
    mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    return current == on;
}

bool mtp_canon_enable_video(mtp_device_t& device, bool on)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return false;
    bool current = device.video.recording;
    if (mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_EVFRecordStatus, true))
    {
        if (on)
        {
            // Movies are written to the card; the camera's own storage
            // setting is read back once recording stops.
            state->movie_storage = true;
            mtp_canon_set_storagemode(device, device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE], 0);
            if (!device.liveview.on)
                device.liveview.on = mtp_canon_enable_liveview(device, true);
        }
        if (write_uint32(device, MTP_PROPERTY_Canon_EVFRecordStatus, on ? 4 : 0))
            current = on;
    }
    if (!current && state->movie_storage)
        restore_camera_storage(device, *state);
    device.video.recording = current;
    device.video.vendor_flag0 = false;
    device.video.vendor_flag1 = current == on;
    mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
    return current == on;
}

void mtp_canon_check_video(mtp_device_t& device)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return;
    const mtp_devicepropdesc_t* status = mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_EVFRecordStatus, true);
    u32 value = status ? mtp_datavalue_to_uint(status->current_value) : 0;
    bool recording = value == 4;
    bool supported = value == 4 || value == 3;
    if (status)
    {
        const mtp_devicepropdesc_t* mode = mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_EVFMode, true);
        if (mode && mtp_datavalue_to_uint(mode->current_value) == 2)
            supported = true;
    }
    if (!recording && state->movie_storage)
        restore_camera_storage(device, *state);
    if (recording != device.video.recording || supported != device.video.supported)
    {
        device.video.recording = recording;
        device.video.supported = supported;
        mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
    }
}
} // namespace orvo
