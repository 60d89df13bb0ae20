// Canon EOS events: GetEvent and the walk over its records (property values
// and allowed values, new objects on a card, transfer requests from the
// camera's memory, camera status, anything else through the generic event
// path), the poll with its autofocus and capture time limits, and what a new
// object or transfer request becomes. Every record is read from a view of the
// event buffer bounded by the record's own size.
#include "orvo/camera/mtp_canon.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_log.h"

#include <strings.h>

namespace orvo
{
namespace
{
const u32 MAX_GENERIC_PARAMETERS = 5;

// Reads a u32 of the payload when it is there; a missing field reads 0 and
// stops every later read of the record.
struct field_reader_t
{
    const mtp_buffer_t& payload;
    u64 cursor;
    bool ok;

    // The value at the offset; once a read falls outside the payload, every
    // later read answers 0 and ok stays false.
    template <typename T>
    T at(u64 offset)
    {
        T value = 0;
        if (!ok)
            return 0;
        cursor = offset;
        if (!mtp_buffer_extract(payload, cursor, value))
        {
            ok = false;
            return 0;
        }
        return value;
    }
    u32 u32_at(u64 offset) { return at<u32>(offset); }
    u16 u16_at(u64 offset) { return at<u16>(offset); }
};

const char* event_name(const mtp_device_t& device, u32 type)
{
    return mtp_event_to_cstr(device.protocol, type);
}

const char* property_name(const mtp_device_t& device, u32 code)
{
    return mtp_property_to_cstr(device.protocol, code);
}

// A capture ends with its new object (or transfer request), even one whose
// record could not be read.
void end_capture_step(mtp_device_t& device)
{
    if (device.liveview.zoomed)
    {
        device.liveview.zoomed = false;
        mtp_device_set_changed(device, MTP_CHANGE_LIVEVIEW);
    }
    if (device.capture_in_progress)
    {
        device.capture_in_progress = false;
        device.capture_failed = false;
        device.fast_poll = false;
        mtp_device_set_changed(device, MTP_CHANGE_CAPTURE);
    }
    if (mtp_canon_state_t* state = mtp_canon_state(device))
        state->capture_started = 0;
}

void object_added(mtp_device_t& device, mtp_canon_state_t& state, u32 type, const mtp_buffer_t& payload)
{
    if (payload.length < 4)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event invalid: %s", event_name(device, type));
        end_capture_step(device);
        return;
    }
    field_reader_t fields{payload, 0, true};
    u32 handle = fields.u32_at(0);
    u32 size = fields.u32_at(20);
    stringbuffer_t name;
    stringbuffer_initialise(name);
    if (fields.ok)
    {
        u64 cursor = type == MTP_EVENT_Canon_ObjectAddedEx2 ? 36 : 32;
        mtp_canon_buffer_extract(payload, cursor, name);
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon event: %s (num_bytes: %u, name: '%s')",
               event_name(device, type), size, name.length ? name.str : "");
    stringbuffer_release(name);

    // Where the camera itself writes to the computer, the photo comes as a
    // transfer request instead; a card object is only a copy of it.
    if (state.storage_index == 4)
        mtp_canon_add_object(device, handle, device.download, device.jpeg_only);
    else if (state.requested_storage_index == 3)
        mtp_canon_add_object(device, handle, false, true);
    else if (state.requested_storage_index == 2)
        mtp_canon_add_object(device, handle, true, false);
    else if (state.storage_index == 0)
        mtp_canon_add_object(device, handle, false, false);
    end_capture_step(device);
}

void transfer_requested(mtp_device_t& device, u32 type, const mtp_buffer_t& payload)
{
    if (payload.length < 4)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event invalid: %s", event_name(device, type));
        end_capture_step(device);
        return;
    }
    field_reader_t fields{payload, 0, true};
    u32 handle = fields.u32_at(0);
    u16 format = fields.u16_at(4);
    u32 size = fields.u32_at(12);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon event: %s (num_bytes: %u)", event_name(device, type), size);
    mtp_canon_transfer_object(device, handle, size, format);
    end_capture_step(device);
}

void bulb_changed(mtp_device_t& device, mtp_canon_state_t& state, bool shutter_bulb)
{
    bool bulb = state.exposure_mode_bulb || shutter_bulb;
    if (bulb == device.bulb.enabled)
        return;
    device.bulb.enabled = bulb;
    mtp_device_set_changed(device, MTP_CHANGE_BULB);
    mtp_canon_override_timer(device, bulb);
}

bool text_is_bulb(const stringbuffer_t& text)
{
    return text.length == 4 && strncasecmp(text.str, "Bulb", 4) == 0;
}

void apply_property_effect(mtp_device_t& device, mtp_canon_state_t& state, const mtp_devicepropdesc_t& desc,
                           const stringbuffer_t& text)
{
    const mtp_datavalue_t& value = desc.current_value;
    i32 number = mtp_datavalue_to_int(value);
    switch (desc.code)
    {
    case MTP_PROPERTY_Canon_ShutterSpeed:
        bulb_changed(device, state, text_is_bulb(text));
        break;
    case MTP_PROPERTY_Canon_AutoExposureMode:
        state.exposure_mode_bulb = text_is_bulb(text);
        bulb_changed(device, state, false);
        break;
    case MTP_PROPERTY_Canon_AvailableShots:
        state.available_shots = number;
        break;
    case MTP_PROPERTY_Canon_CaptureDestination:
        if (state.first_capture_destination == -1)
            state.first_capture_destination = number;
        break;
    case MTP_PROPERTY_Canon_ImageFormat:
    case MTP_PROPERTY_Canon_ImageFormatCF:
    case MTP_PROPERTY_Canon_ImageFormatSD:
    case MTP_PROPERTY_Canon_ImageFormatExtHD:
        device.files_per_shot = mtp_canon_imageformat_photos_per_capture(value);
        if (device.files_per_shot < 1)
            device.files_per_shot = 1;
        mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
        break;
    case MTP_PROPERTY_Canon_CustomFuncEx:
        device.mirrorlockup.supported = state.mirror_function_id != -1;
        mtp_device_set_changed(device, MTP_CHANGE_MIRRORLOCKUP);
        break;
    case MTP_PROPERTY_Canon_SerialNumber:
        if (value.datatype == MTP_DATATYPE_STR && value.str.length > 0)
        {
            stringbuffer_copy(device.deviceinfo.serial_number, value.str);
            mtp_trim_serial_number(device.deviceinfo.serial_number);
        }
        break;
    case MTP_PROPERTY_Canon_EVFMode:
        if (number == 2)
        {
            device.video.supported = true;
            mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
        }
        break;
    case MTP_PROPERTY_Canon_EVFRecordStatus:
        device.video.recording = number == 4;
        device.video.supported = number != 0;
        mtp_device_set_changed(device, MTP_CHANGE_VIDEO);
        break;
    case MTP_PROPERTY_Canon_MirrorLockupState:
        device.mirrorlockup.mirror_up = number > 0;
        device.mirrorlockup.vendor_flag = number == 2;
        device.mirrorlockup.supported = state.mirror_function_id != -1;
        mtp_device_set_changed(device, MTP_CHANGE_MIRRORLOCKUP);
        break;
    case MTP_CANON_PROPERTY_FOCUSINFOEX:
        if (device.autofocus.in_progress && number >= 1)
            mtp_canon_end_autofocus(device, true, true, true);
        break;
    default:
        break;
    }
}

void property_changed(mtp_device_t& device, mtp_canon_state_t& state, u32 type, const mtp_buffer_t& payload)
{
    field_reader_t fields{payload, 0, true};
    u32 code = fields.u32_at(0);
    if (!fields.ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event invalid: %s", event_name(device, type));
        return;
    }
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, code);
    if (!desc)
        return;
    u64 cursor = 0;
    if (!desc->valid)
        mtp_canon_devicepropdesc_parse(device, *desc, static_cast<mtp_property_t>(code), nullptr, cursor);
    cursor = 4;
    mtp_canon_devicepropdesc_update(device, *desc, payload, cursor);
    if (!desc->valid)
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon event: %s - %s", event_name(device, type),
                   property_name(device, code));
        return;
    }
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
    stringbuffer_t text;
    stringbuffer_initialise(text);
    if (device.hooks.compute_property_str)
        device.hooks.compute_property_str(device, text, desc->current_value, static_cast<mtp_property_t>(code));
    apply_property_effect(device, state, *desc, text);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon event: %s - %s - %s", event_name(device, type),
               property_name(device, code), text.length ? text.str : "");
    stringbuffer_release(text);
}

void allowed_values_changed(mtp_device_t& device, u32 type, const mtp_buffer_t& payload)
{
    field_reader_t fields{payload, 0, true};
    u32 code = fields.u32_at(0);
    if (!fields.ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event invalid: %s", event_name(device, type));
        return;
    }
    u32 flags = fields.u32_at(4);
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA, "Canon event: %s - %s (flags: %x)", event_name(device, type),
               property_name(device, code), flags);
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, code);
    if (!desc)
        return;
    u64 cursor = payload.length < 8 ? 4 : 8;
    mtp_canon_devicepropdesc_parse(device, *desc, static_cast<mtp_property_t>(code), &payload, cursor);
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
    if (log_is_enabled(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA) && log_lock(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA))
    {
        log_print("MTP property info:");
        mtp_devicepropdesc_print(*desc, 2);
        log_print("\n");
        log_unlock();
    }
}

void camera_status_changed(mtp_device_t& device, mtp_canon_state_t& state, u32 type, const mtp_buffer_t& payload)
{
    field_reader_t fields{payload, 0, true};
    u32 status = fields.u32_at(0);
    if (!fields.ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event invalid: %s", event_name(device, type));
        return;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon event: %s - %u", event_name(device, type), status);
    state.camera_status = status;
}

void handle_record(mtp_device_t& device, mtp_canon_state_t& state, u32 type, const mtp_buffer_t& payload)
{
    switch (type)
    {
    case MTP_EVENT_Canon_ObjectAddedEx:
    case MTP_EVENT_Canon_ObjectAddedEx2:
        object_added(device, state, type, payload);
        break;
    case MTP_EVENT_Canon_RequestObjectTransfer:
    case MTP_EVENT_Canon_RequestObjectTransfer2:
        transfer_requested(device, type, payload);
        break;
    case MTP_EVENT_Canon_PropValueChanged:
        property_changed(device, state, type, payload);
        break;
    case MTP_EVENT_Canon_AvailListChanged:
        allowed_values_changed(device, type, payload);
        break;
    case MTP_EVENT_Canon_CameraStatusChanged:
        camera_status_changed(device, state, type, payload);
        break;
    default:
    {
        // Standard events (cards, DeviceInfo) and the rest take the generic
        // path; only the first parameters can matter to it.
        u32 parameters[MAX_GENERIC_PARAMETERS] = {};
        u64 count = payload.length / 4;
        if (count > MAX_GENERIC_PARAMETERS)
            count = MAX_GENERIC_PARAMETERS;
        u64 cursor = 0;
        for (u64 i = 0; i < count; ++i)
            mtp_buffer_extract(payload, cursor, parameters[i]);
        mtp_device_handle(device, static_cast<mtp_event_t>(type), parameters, count);
        break;
    }
    }
}
} // namespace

// --- GetEvent ----------------------------------------------------------------------------------------

void mtp_canon_getevent(mtp_device_t& device)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return;
    if (!mtp_device_read(device, state->event_buffer, MTP_COMMAND_Canon_GetEvent) || state->event_buffer.length < 4)
        return;
    mtp_canon_decode_events(device, state->event_buffer);
}

void mtp_canon_decode_events(mtp_device_t& device, const mtp_buffer_t& data)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state || !data.data)
        return;
    u64 position = 0;
    while (data.length - position >= 8)
    {
        u64 left = data.length - position;
        u64 cursor = position;
        u32 size = 0;
        u32 type = 0;
        mtp_buffer_extract(data, cursor, size);
        mtp_buffer_extract(data, cursor, type);
        u64 record = size;
        if (size < 8)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event size mismatch: %u (expected >= 8)", size);
            record = 8;
        }
        else if (size > left)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon event size mismatch: %u (expected <= %u)", size,
                       static_cast<u32>(left));
            record = left;
        }
        if (type == 0)
        {
            // The terminator; a camera may pad after it.
            if (left < 12)
                break;
            position += 8;
            continue;
        }
        // The payload is viewed in place and bounded by the record.
        const mtp_buffer_t payload = {data.data + position + 8, record - 8, record - 8, false};
        handle_record(device, *state, type, payload);
        position += record;
    }
}

void mtp_canon_poll(mtp_device_t& device)
{
    mtp_canon_getevent(device);
    mtp_canon_state_t* state = mtp_canon_state(device);
    // An autofocus that never reports its end is released: a half press has
    // focused as far as it could, a DoAf that stayed silent has not.
    const timer_t& autofocus = device.autofocus_countdown.timer;
    if (state && device.autofocus.in_progress && autofocus.start != 0 &&
        timer_elapsed(autofocus) > MTP_CANON_AUTOFOCUS_LIMIT_US)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Canon autofocus timed out: %s",
                   device.deviceinfo.serial_number.length ? device.deviceinfo.serial_number.str : "");
        mtp_canon_end_autofocus(device, !state->autofocus_by_doaf, true, true);
    }
    // A release whose photo never comes must not leave the camera capturing
    // (fast polling, no live view) for ever.
    if (state && device.capture_in_progress && state->capture_started != 0 &&
        time_get_ticks() - state->capture_started > MTP_CANON_CAPTURE_LIMIT_US)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon capture timed out: %s",
                   device.deviceinfo.serial_number.length ? device.deviceinfo.serial_number.str : "");
        device.capture_in_progress = false;
        device.capture_failed = true;
        device.fast_poll = false;
        state->capture_started = 0;
        mtp_device_set_changed(device, MTP_CHANGE_CAPTURE);
    }
}

// --- new objects -----------------------------------------------------------------------------------------

void mtp_canon_add_object(mtp_device_t& device, u32 handle, bool download, bool jpeg_only)
{
    mtp_generic_add_object(device, handle, download, jpeg_only);
}

void mtp_canon_transfer_object(mtp_device_t& device, u32 handle, u32 size, u16 format)
{
    if (format == MTP_FORMAT_Association || format == MTP_FORMAT_Script)
    {
        mtp_canon_canceltransfer(device, handle);
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Ignoring new object of type: %s",
                   mtp_format_to_cstr(device.protocol, format));
        return;
    }
    mtp_objectinfo_t object;
    mtp_objectinfo_initialise(object, device.protocol, handle);
    object.storage_id = 0;
    object.format = format;
    object.size = size;
    object.thumb_format = MTP_FORMAT_Undefined;
    const char* extension;
    switch (format)
    {
    case MTP_FORMAT_EXIF_JPEG:
        extension = "JPG";
        break;
    case MTP_FORMAT_TIFF_EP:
    case MTP_FORMAT_TIFF_IT:
        extension = "TIFF";
        break;
    case MTP_FORMAT_JP2:
        extension = "JP2";
        break;
    case MTP_FORMAT_JPX:
        extension = "JPX";
        break;
    case MTP_FORMAT_Canon_CRW:
        extension = "CRW";
        break;
    case MTP_FORMAT_Canon_CR2:
        extension = "CR2";
        break;
    case MTP_FORMAT_Canon_MOV:
        extension = "MOV";
        break;
    case MTP_FORMAT_Canon_MOV2:
        extension = "MOV2";
        break;
    default:
        extension = mtp_format_to_cstr(device.protocol, format);
        break;
    }
    stringbuffer_format(object.filename, "IMG_0000.%s", extension);
    if (log_is_enabled(LOGLEVEL_INFO, LOGMODULE_CAMERA) && log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA))
    {
        log_print("MTP object info:");
        mtp_objectinfo_print(object, 2);
        log_unlock();
    }
    // Held in the camera's memory: downloaded there and then, or let go.
    if (!mtp_generic_announce_object(device, object, true, true))
        mtp_canon_canceltransfer(device, handle);
    mtp_objectinfo_release(object);
}
} // namespace orvo
