// Nikon live view and movie recording: switching live view (with the storage
// moved to the camera's memory on bodies that cannot capture into the card
// during it, the live-view image size and Normal Area AF), checking it, frames
// whose big-endian header and JPEG sit at model-dependent offsets, zoom, the
// focus area, manual focus steps, the exposure preview, and movies, which need
// live view and the card and may wait for the camera to become ready.
#include "orvo/camera/mtp_nikon.h"

#include "mtp_nikon_internal.h"

#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_log.h"

#include <cmath>
#include <cstring>

namespace orvo
{
namespace
{
// Header fields (u16 index into the header copy).
const u32 HEADER_FRAME_WIDTH = 2;
const u32 HEADER_FRAME_HEIGHT = 3;
const u32 HEADER_AREA_WIDTH = 4;
const u32 HEADER_AREA_HEIGHT = 5;
const u32 HEADER_CENTRE_X = 6;
const u32 HEADER_CENTRE_Y = 7;
const u32 HEADER_BIG_ENDIAN_FIELDS = 8;
const i32 AF_NORMAL_AREA = 2;

imageformat_t frame_format_at(const mtp_buffer_t& block, u64 offset)
{
    if (offset > block.length)
        return IMAGEFORMAT_UNKNOWN;
    return image_compute_format(memory_t{block.data + offset, block.length - offset});
}

bool corner_changed(i32 old_value, float new_value)
{
    float old_float = static_cast<float>(old_value);
    float smaller = std::fabs(old_float) < std::fabs(new_value) ? std::fabs(old_float) : std::fabs(new_value);
    float tolerance = (smaller > 1.0f ? smaller : 1.0f) * 1.1920929e-07f;
    return std::fabs(old_float - new_value) > tolerance;
}

i32 corner_value(float value)
{
    return static_cast<i32>(std::lround(value));
}

// The low byte of an "on/off" state property read afresh; false without one.
bool read_state(mtp_device_t& device, mtp_property_t code)
{
    return mtp_nikon_is_on(mtp_device_get_deviceprop(device, code, true));
}

// Reads a two-state property afresh and, when it differs from the request,
// selects the allowed value for it. Answers the state the camera is now in.
bool switch_state(mtp_device_t& device, mtp_property_t code, bool on)
{
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, code, true);
    bool current = mtp_nikon_is_on(desc);
    if (desc && current != on && mtp_nikon_select_value(device, code, *desc, on ? 1 : 0))
        current = on;
    return current;
}

void select_liveview_size(mtp_device_t& device, const mtp_nikon_state_t& state)
{
    if (!mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_LiveViewImageSize))
        return;
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_LiveViewImageSize, true);
    if (desc &&
        mtp_nikon_select_value(device, MTP_PROPERTY_Nikon_LiveViewImageSize, *desc, state.liveview_image_size))
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Nikon liveview size set to: %d", state.liveview_image_size);
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to set Nikon liveview size");
}

bool start_movie(mtp_device_t& device, mtp_nikon_state_t& state)
{
    state.storage_override = true;
    mtp_cameraproperty_t& storage = device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
    if (storage.set)
        storage.set(device, storage, MTP_NIKON_STORAGE_CARD);
    return mtp_device_execute(device, MTP_COMMAND_Nikon_StartMovieRecInCard);
}
} // namespace

// --- live view on and off -----------------------------------------------------------------

bool mtp_nikon_enable_liveview(mtp_device_t& device, bool on)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return false;
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_LiveViewStatus, true);
    bool current = false;
    if (desc)
    {
        current = mtp_nikon_is_on(desc);
        if (current != on)
        {
            bool ok;
            if (on)
            {
                // Bodies without InitiateCaptureRecInMedia shoot from live view
                // into their memory only.
                if (!mtp_nikon_has_operation(device, MTP_COMMAND_Nikon_InitiateCaptureRecInMedia))
                {
                    state->storage_override = true;
                    mtp_nikon_select_memory_storage(device, *state);
                }
                select_liveview_size(device, *state);
                ok = mtp_device_execute(device, MTP_COMMAND_Nikon_StartLiveView);
            }
            else
            {
                mtp_nikon_enable_liveview_af(device, false);
                ok = mtp_device_execute(device, MTP_COMMAND_Nikon_EndLiveView);
            }
            if (ok)
                current = on;
        }
    }
    if (current)
    {
        device.liveview.on = true;
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
        return on;
    }
    mtp_nikon_undo_storage_override(device, *state);
    device.liveview.on = false;
    mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    return !on;
}

void mtp_nikon_check_liveview(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state || !mtp_nikon_check_deviceready(device))
        return;
    bool on = false;
    bool zoomed = false;
    bool dof_on = false;
    if (read_state(device, MTP_PROPERTY_Nikon_LiveViewStatus))
    {
        zoomed = mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_LiveViewImageZoomRatio) &&
                 read_state(device, MTP_PROPERTY_Nikon_LiveViewImageZoomRatio);
        dof_on = mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_LiveViewExposurePreview) &&
                 read_state(device, MTP_PROPERTY_Nikon_LiveViewExposurePreview);
        mtp_nikon_enable_liveview_af(device, true);
        on = true;
    }
    else
        mtp_nikon_undo_storage_override(device, *state);
    mtp_liveview_t& liveview = device.liveview;
    if (on != liveview.on || zoomed != liveview.zoomed || dof_on != liveview.dof_on)
    {
        liveview.on = on;
        liveview.zoomed = zoomed;
        liveview.dof_on = dof_on;
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    }
}

// --- frames ------------------------------------------------------------------------------------

void mtp_nikon_download_liveview(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return;
    mtp_nikon_check_liveview(device);
    if (device.liveview.on)
    {
        if (!mtp_nikon_check_deviceready(device))
            return;
        mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
        if (mtp_device_read(device, buffer, MTP_COMMAND_Nikon_GetLiveViewImage))
            mtp_nikon_read_liveview_frame(device, buffer);
    }
    mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW_FRAME);
}

void mtp_nikon_read_liveview_frame(mtp_device_t& device, const mtp_buffer_t& block)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return;
    u64 length = block.data ? block.length : 0;
    i32 offset = state->liveview_jpeg_offset;
    if (offset >= 0 && frame_format_at(block, static_cast<u64>(offset)) == IMAGEFORMAT_UNKNOWN)
    {
        offset = -1;
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Liveview offset is invalid");
    }
    if (offset < 0)
    {
        // Firmware versions move the JPEG; the header in front of it is small.
        offset = 0;
        u64 limit = length < MTP_NIKON_LIVEVIEW_SEARCH_LIMIT ? length : MTP_NIKON_LIVEVIEW_SEARCH_LIMIT;
        for (u64 j = 0; j < limit; ++j)
        {
            if (frame_format_at(block, j) != IMAGEFORMAT_UNKNOWN)
            {
                offset = static_cast<i32>(j);
                log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Liveview offset found at: %d", offset);
                break;
            }
        }
    }
    state->liveview_jpeg_offset = offset;
    if (static_cast<u64>(offset) >= length)
        return;

    mtp_liveview_t& liveview = device.liveview;
    bool changed = false;
    i32 header_offset = state->liveview_header_offset;
    // The header is read only when the frame holds all of it: a frame cut
    // short must not be read past its end.
    if (header_offset >= 0 && static_cast<u64>(header_offset) + MTP_NIKON_LIVEVIEW_HEADER_SIZE <= length)
    {
        const u8* header = block.data + header_offset;
        std::memcpy(state->liveview_header, header, MTP_NIKON_LIVEVIEW_HEADER_SIZE);
        for (u32 k = 0; k < HEADER_BIG_ENDIAN_FIELDS; ++k)
            state->liveview_header[k] = static_cast<u16>((header[2 * k] << 8) | header[2 * k + 1]);
        const u16* fields = state->liveview_header;
        float frame_width = fields[HEADER_FRAME_WIDTH];
        float frame_height = fields[HEADER_FRAME_HEIGHT];
        float area_width = fields[HEADER_AREA_WIDTH];
        float area_height = fields[HEADER_AREA_HEIGHT];
        // The y axis counts from the bottom of the frame.
        float x0 = fields[HEADER_CENTRE_X] - area_width / 2.0f;
        float y0 = (frame_height - fields[HEADER_CENTRE_Y]) - area_height / 2.0f;
        float x1 = x0 + area_width;
        float y1 = y0 + area_height;
        mtp_rectangle_t& area = liveview.zoom_area;
        if (static_cast<i32>(frame_width) != liveview.frame_width ||
            static_cast<i32>(frame_height) != liveview.frame_height || corner_changed(area.left, x0) ||
            corner_changed(area.top, y0) || corner_changed(area.right, x1) || corner_changed(area.bottom, y1))
        {
            liveview.frame_width = static_cast<i32>(frame_width);
            liveview.frame_height = static_cast<i32>(frame_height);
            area.left = corner_value(x0);
            area.top = corner_value(y0);
            area.right = corner_value(x1);
            area.bottom = corner_value(y1);
            changed = true;
        }
    }
    // The frame buffer keeps a zero byte after the bytes it holds.
    if (memorybuffer_set(liveview.frame, block.data + offset, length - static_cast<u64>(offset)))
        version_bump(liveview.frame_version);
    if (changed)
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
}

// --- autofocus area, zoom, focus area, manual focus, preview -------------------------------------------

void mtp_nikon_enable_liveview_af(mtp_device_t& device, bool on)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state || (on && state->saved_liveview_af_mode != -1) || (!on && state->saved_liveview_af_mode == -1) ||
        !mtp_nikon_has_property(device, MTP_PROPERTY_Nikon_AfAtLiveView))
        return;
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_AfAtLiveView, true);
    bool ok = false;
    if (desc)
    {
        i32 wanted;
        if (on)
        {
            const mtp_datavalue_t& current = desc->current_value;
            bool integer = current.datatype >= MTP_DATATYPE_INT8 && current.datatype <= MTP_DATATYPE_UINT64;
            state->saved_liveview_af_mode = integer ? mtp_datavalue_to_int(current) : 0;
            wanted = AF_NORMAL_AREA;
        }
        else
        {
            wanted = state->saved_liveview_af_mode;
            state->saved_liveview_af_mode = -1;
        }
        ok = mtp_nikon_select_value(device, MTP_PROPERTY_Nikon_AfAtLiveView, *desc, wanted);
    }
    if (ok)
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Nikon liveview AF area mode set to: Normal Area AF");
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to set Nikon liveview AF area mode");
}

bool mtp_nikon_zoom_liveview(mtp_device_t& device, bool zoomed)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    const mtp_devicepropdesc_t* desc =
        mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_LiveViewImageZoomRatio, true);
    bool current = mtp_nikon_is_on(desc);
    if (desc && current != zoomed)
    {
        i32 index = 0;
        if (state)
        {
            i32 wanted = zoomed ? state->liveview_zoom_ratio : 0;
            index = mtp_nikon_find_allowed(*desc, wanted);
            // A model without its own ratio (-1) zooms in as far as it can.
            if (index < 0)
                index = zoomed ? static_cast<i32>(mtp_nikon_num_allowed(*desc)) - 1 : 0;
        }
        if (index >= 0 && mtp_device_set_deviceprop(device, MTP_PROPERTY_Nikon_LiveViewImageZoomRatio, index))
            current = zoomed;
    }
    device.liveview.zoomed = current;
    mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    return current == zoomed;
}

bool mtp_nikon_move_liveview(mtp_device_t& device, i32 dx, i32 dy)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state || state->liveview_header_offset == -1)
        return false;
    i64 x = static_cast<i64>(state->liveview_header[HEADER_CENTRE_X]) + dx;
    i64 y = static_cast<i64>(state->liveview_header[HEADER_CENTRE_Y]) + dy;
    // The camera takes pixel positions of its sensor; nothing left of or above it.
    u32 parameters[2] = {static_cast<u32>(x < 0 ? 0 : (x > 0xFFFF ? 0xFFFF : x)),
                         static_cast<u32>(y < 0 ? 0 : (y > 0xFFFF ? 0xFFFF : y))};
    return mtp_device_execute(device, MTP_COMMAND_Nikon_ChangeAfArea, parameters, 2);
}

bool mtp_nikon_focus_liveview(mtp_device_t& device, i32 step)
{
    u32 amount;
    switch (step < 0 ? -step : step)
    {
    case 1:
        amount = 20;
        break;
    case 2:
        amount = 80;
        break;
    case 3:
        amount = 800;
        break;
    default:
        // No defined amount: refused rather than driving the lens blindly.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Manual focus step out of range: %d", step);
        return false;
    }
    u32 parameters[2] = {step > 0 ? 1u : 2u, amount};
    return mtp_device_execute(device, MTP_COMMAND_Nikon_MfDrive, parameters, 2);
}

bool mtp_nikon_enable_dof(mtp_device_t& device, bool on)
{
    bool current = switch_state(device, MTP_PROPERTY_Nikon_LiveViewExposurePreview, on);
    device.liveview.dof_on = current;
    mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    return current == on;
}

// --- movies ----------------------------------------------------------------------------------------------

bool mtp_nikon_enable_video(mtp_device_t& device, bool on)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return false;
    bool current = device.video.recording;
    if (current != on)
    {
        bool ok = false;
        if (!on)
        {
            ok = mtp_device_execute(device, MTP_COMMAND_Nikon_EndMovieRec);
            if (state->liveview_for_movie)
            {
                state->liveview_for_movie = false;
                mtp_nikon_enable_liveview(device, false);
            }
        }
        else if (device.liveview.on)
        {
            state->liveview_for_movie = false;
            ok = start_movie(device, *state);
        }
        else
        {
            // The camera records from live view, which takes a moment to come
            // up: the movie starts when DeviceReady next answers OK.
            if (mtp_nikon_enable_liveview(device, true))
            {
                state->liveview_for_movie = true;
                device.video.vendor_flag0 = true;
                return true;
            }
        }
        if (ok)
            current = on;
    }
    if (!current)
        mtp_nikon_undo_storage_override(device, *state);
    device.video.recording = current;
    device.video.vendor_flag0 = false;
    device.video.vendor_flag1 = current == on;
    mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
    return current == on;
}

void mtp_nikon_start_pending_video(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return;
    bool ok = start_movie(device, *state);
    device.video.vendor_flag0 = false;
    device.video.recording = ok;
    device.video.vendor_flag1 = ok;
    mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
    device.fast_poll = false;
    if (!ok)
        mtp_nikon_undo_storage_override(device, *state);
}

void mtp_nikon_check_video(mtp_device_t& device)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return;
    if (!device.video.recording || !device.liveview.on)
    {
        mtp_nikon_undo_storage_override(device, *state);
        if (device.video.recording)
        {
            device.video.recording = false;
            mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
        }
    }
}
} // namespace orvo
