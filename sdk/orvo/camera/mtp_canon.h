// The Canon EOS extension. EOS bodies describe their settings only through
// the records of the vendor GetEvent operation (PropValueChanged for values,
// AvailListChanged for allowed values, ObjectAddedEx and RequestObjectTransfer
// for new photos), take values through SetDevicePropValueEx, and release the
// shutter, focus and show live view through vendor operations. The vendor
// state below lives in the device record from connect to disconnect; every
// function runs on the "CAMERA" thread with the device lock held and does
// nothing (or answers false) without a vendor state unless it says otherwise.
// Connection and events: mtp_canon.cpp, mtp_canon_event.cpp; properties and
// storage: mtp_canon_property.cpp, mtp_canon_storage.cpp; capture and focus:
// mtp_canon_capture.cpp; live view and movies: mtp_canon_liveview.cpp.
#pragma once

#include "orvo/camera/mtp_device.h"
#include "orvo/camera/mtp_download.h"

namespace orvo
{
// Canon property codes the extension acts on that the vocabulary does not name.
const u32 MTP_CANON_PROPERTY_FOCUSINFOEX = 0xD1D3;
// The custom function that holds mirror lock-up, in CustomFuncEx.
const u32 MTP_CANON_MIRROR_FUNCTION = 0x60F;
// An autofocus that has not reported its end is released after this long.
const u64 MTP_CANON_AUTOFOCUS_LIMIT_US = 4000000;
// A release whose photo never arrives ends the capture as failed after this
// long (room for a 30 s exposure with as long a noise reduction).
const u64 MTP_CANON_CAPTURE_LIMIT_US = 90000000;
// GetViewFinderData's parameter: the size of the answer the camera may send.
const u32 MTP_CANON_VIEWFINDER_SIZE = 0x100000;
// GetViewFinderData's answer while live view is not ready yet.
const u32 MTP_CANON_RESPONSE_NOT_READY = 0xA102;

struct mtp_canon_state_t
{
    i32 status;                     // 0x2001
    mtp_buffer_t event_buffer;      // the data of every GetEvent; owned
    i32 shutter_state;              // mtp_shutterbutton_t, 0 released
    i32 storage_index;              // 4 until known; then 0 Card, 1 Disk, 2 Both (CaptureDestination)
    bool autofocus_by_doaf;         // the running autofocus was started by DoAf (else a half press)
    bool exposure_mode_bulb;        // AutoExposureMode reads "Bulb"
    bool movie_storage;             // the storage was switched to the card for a movie
    i32 requested_storage_index;    // the user's mode when CaptureDestination has no value for it; -1
    i32 first_capture_destination;  // the first CaptureDestination value after connecting; -1
    i32 saved_drive_mode;           // the drive mode the bulb override replaced; -1
    u32 camera_status;              // the last CameraStatusChanged value
    i32 available_shots;            // the last AvailableShots value; -1
    i32 mirror_function_id;         // 0x60F once found in CustomFuncEx; -1
    i32 mirror_function_group;      // its custom-function group; -1
    u32 default_frame_width;        // live-view sensor size of the model; 0 when unknown
    u32 default_frame_height;
    i32 zoom_x;                     // zoom position of the last live-view frame
    i32 zoom_y;
    u64 capture_started;            // ticks when the running capture was released; 0 none
};

// The device's Canon state, or null before connect and after disconnect.
mtp_canon_state_t* mtp_canon_state(mtp_device_t& device);

// --- connection and events -------------------------------------------------------------
// Vendor entry (maker Canon): protocol 1, hooks by what the camera lists after
// GetDeviceInfoEx, camera properties by listed codes.
void mtp_canon_parse_deviceinfo(mtp_device_t& device);
// GetDeviceInfoEx: its event and property codes widen DeviceInfo's lists.
void mtp_canon_read_deviceinfoex(mtp_device_t& device);
// Remote and event mode on, the first event reads, the computer's capacity,
// the drive-mode override and destination "Disk". False only when the vendor
// state cannot be allocated.
bool mtp_canon_connect(mtp_device_t& device);
// Cancels a running autofocus, releases the shutter button, leaves remote and
// event mode and frees the vendor state.
void mtp_canon_disconnect(mtp_device_t& device);
void mtp_canon_set_remotemode(mtp_device_t& device, bool on);
void mtp_canon_set_eventmode(mtp_device_t& device, bool on);
// One GetEvent and the decoding of its records.
void mtp_canon_getevent(mtp_device_t& device);
// Decodes a GetEvent answer. Records whose size is below 8 are skipped as
// 8-byte records, one that claims more than the bytes left is cut to them;
// every field is read only while its record holds it.
void mtp_canon_decode_events(mtp_device_t& device, const mtp_buffer_t& data);
// The poll hook: GetEvent, then the autofocus and capture time limits.
void mtp_canon_poll(mtp_device_t& device);
// A new object on a card: GetObjectInfo, the add_object callback and, when
// wanted, a download (JPEG only: JPEG formats only).
void mtp_canon_add_object(mtp_device_t& device, u32 handle, bool download, bool jpeg_only);
// An object waiting in the camera's memory: announced and downloaded into
// memory, or cancelled when it cannot be.
void mtp_canon_transfer_object(mtp_device_t& device, u32 handle, u32 size, u16 format);
void mtp_canon_transfercomplete(mtp_device_t& device, u32 handle);
void mtp_canon_canceltransfer(mtp_device_t& device, u32 handle);
void mtp_canon_acknowledge_download(mtp_device_t& device, mtp_downloadtask_t& task);
// PCHDDCapacity; unless forced only while the camera writes to the computer
// and is running out of shots.
void mtp_canon_set_capacity(mtp_device_t& device, bool force);
bool mtp_canon_record_error(mtp_device_t& device, mtp_command_t operation, mtp_response_t response);
void mtp_canon_check_battery(mtp_device_t& device);
// A zero-terminated string at the cursor into out; false when no terminator
// lies within the data (out and cursor unchanged).
bool mtp_canon_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringbuffer_t& out);

// --- properties -------------------------------------------------------------------------
// Makes a Canon description of the code (datatype and form by code), with the
// allowed values of an AvailListChanged payload when data is given (count at
// the cursor). False (logged) when the description belongs to another code.
bool mtp_canon_devicepropdesc_parse(mtp_device_t& device, mtp_devicepropdesc_t& desc, mtp_property_t code,
                                    const mtp_buffer_t* data, u64& cursor);
// Decodes a PropValueChanged value into the description.
bool mtp_canon_devicepropdesc_update(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_buffer_t& data,
                                     u64& cursor);
// The fixes of allowed-value lists (MF, Disk, mirror lock-up, single values).
void mtp_canon_devicepropdesc_fill_enum(mtp_devicepropdesc_t& desc);
bool mtp_canon_read_devicepropdesc(mtp_device_t& device, mtp_devicepropdesc_t& desc);
bool mtp_canon_read_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc);
bool mtp_canon_write_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_datavalue_t& value);
void mtp_canon_compute_property_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                    mtp_property_t code);
// Gets a listed property with refresh.
void mtp_canon_requestdeviceprop(mtp_device_t& device, mtp_property_t code);

// Image formats: a record of N entries (type, size, compression) packed into
// a UINT64 (byte 0 the count, at most 2; bytes 1-2 types, 3-4 sizes, 5-6
// compressions). Decoding walks the whole record by its entries' sizes, so a
// record of more than two entries leaves the cursor at its true end.
bool mtp_canon_imageformat_decode(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& out);
bool mtp_canon_imageformat_encode(mtp_buffer_t& buffer, u64& cursor, const mtp_datavalue_t& value);
u64 mtp_canon_imageformat_num_bytes(const mtp_datavalue_t& value);
u8 mtp_canon_imageformat_photos_per_capture(const mtp_datavalue_t& value);
void mtp_canon_imageformat_compute_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                       mtp_property_t code);
// Custom functions: the walk finds the mirror lock-up function and its group.
bool mtp_canon_customfuncex_decode(mtp_device_t& device, const mtp_buffer_t& buffer, u64& cursor,
                                   mtp_datavalue_t& value);
bool mtp_canon_customfuncex_encode(mtp_device_t& device, mtp_buffer_t& buffer, u64& cursor, u32 group, u32 item,
                                   const mtp_datavalue_t& value);
u64 mtp_canon_customfuncex_num_bytes(u32 item, const mtp_datavalue_t& value);
bool mtp_canon_focusinfoex_decode(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& value);

// Storage mode over CaptureDestination: "Card", "Disk", "Both", "JPEG".
bool mtp_canon_get_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property);
bool mtp_canon_set_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
// Keeps a self-timer drive mode from holding a bulb exposure: bulb on swaps a
// timer mode for single frame, bulb off puts it back.
void mtp_canon_override_timer(mtp_device_t& device, bool bulb);
// The camera properties on the Canon codes the camera lists.
void mtp_canon_set_cameraproperties(mtp_device_t& device);

// --- capture and focus --------------------------------------------------------------------
bool mtp_canon_remotereleaseon(mtp_device_t& device, mtp_shutterbutton_t button, bool flag);
bool mtp_canon_remotereleaseoff(mtp_device_t& device, mtp_shutterbutton_t button);
bool mtp_canon_remoterelease(mtp_device_t& device);
bool mtp_canon_af_on(mtp_device_t& device);
bool mtp_canon_af_off(mtp_device_t& device);
bool mtp_canon_capture(mtp_device_t& device);
bool mtp_canon_legacy_capture(mtp_device_t& device);
bool mtp_canon_bulb_start(mtp_device_t& device);
bool mtp_canon_bulb_stop(mtp_device_t& device);
bool mtp_canon_shutterbutton(mtp_device_t& device, mtp_shutterbutton_t button);
bool mtp_canon_focus_v1(mtp_device_t& device);
bool mtp_canon_focus_v2(mtp_device_t& device);
// Ends a running autofocus: releases it, records whether it succeeded and,
// as the trigger asks, switches fast polling off and stops the countdown.
void mtp_canon_end_autofocus(mtp_device_t& device, bool succeeded, bool clear_fast_poll, bool stop_countdown);

// --- live view, preview and movies --------------------------------------------------------
bool mtp_canon_enable_liveview(mtp_device_t& device, bool on);
void mtp_canon_check_liveview(mtp_device_t& device);
void mtp_canon_download_liveview(mtp_device_t& device);
bool mtp_canon_zoom_liveview(mtp_device_t& device, bool zoomed);
bool mtp_canon_move_liveview(mtp_device_t& device, i32 dx, i32 dy);
bool mtp_canon_focus_liveview(mtp_device_t& device, i32 step);
bool mtp_canon_enable_dof(mtp_device_t& device, bool on);
bool mtp_canon_enable_video(mtp_device_t& device, bool on);
void mtp_canon_check_video(mtp_device_t& device);
// Decodes one GetViewFinderData answer from the cursor: the JPEG frame, zoom,
// position, focus state, zoom area and sensor size. A block whose size is
// below 8 or beyond the bytes left ends the decoding; what earlier blocks
// gave is kept.
void mtp_canon_liveview_decode(mtp_device_t& device, const mtp_buffer_t& buffer, u64 cursor);
} // namespace orvo
