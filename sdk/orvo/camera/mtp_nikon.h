// The Nikon extension of the PTP engine: the vendor entry that fills a Nikon
// camera's hooks and camera properties, the vendor state with its per-model
// values, connecting (camera mode, ApplicationMode, storage to the computer),
// the DeviceReady check that gates polling and ends autofocus and failed
// captures, the GetEvent poll, capture into the card or the camera's memory,
// bulb, storage modes, value texts, and live view with movie recording.
// The state is owned through the device's vendor-state pointer; every function
// runs on the "CAMERA" thread with the device lock held.
#pragma once

#include "orvo/camera/mtp_device.h"

namespace orvo
{
// The storage index of the vendor state: what the camera stores to.
enum mtp_nikon_storage_t : i32
{
    MTP_NIKON_STORAGE_CARD = 0,
    MTP_NIKON_STORAGE_DISK = 1, // the camera's memory (SDRAM), read by the computer
    MTP_NIKON_STORAGE_BOTH = 2,
    MTP_NIKON_STORAGE_JPEG = 3, // a mode of the program only: card, JPEG objects downloaded
    MTP_NIKON_STORAGE_UNKNOWN = 4,
};

// Bytes of the live-view header kept from each frame.
const u32 MTP_NIKON_LIVEVIEW_HEADER_SIZE = 42;
// Positions of a frame tried when the JPEG offset has to be searched.
const u32 MTP_NIKON_LIVEVIEW_SEARCH_LIMIT = 512;
// One GetEvent entry: u16 event code, u32 parameter.
const u32 MTP_NIKON_EVENT_SIZE = 6;
// How long a camera may answer DeviceBusy to DeviceReady while a capture,
// an autofocus or a movie start waits on it. The longest timed exposure (30 s)
// with an equally long noise reduction and the card write fit well inside;
// past it the waiting operation is failed so the camera is not held for ever.
const u64 MTP_NIKON_BUSY_LIMIT_MS = 90000;

struct mtp_nikon_state_t
{
    i32 liveview_jpeg_offset;    // by model; -1: search the next frame for it
    i32 liveview_header_offset;  // by model
    bool liveview_for_movie;     // live view was switched on to record a movie
    bool storage_override;       // storage switched for live view or a movie
    i32 requested_storage_index; // mode chosen where RecordingMedia has no value for it, -1
    i32 storage_index;           // mtp_nikon_storage_t, 4 until determined
    i32 device_state;            // the last answer to DeviceReady
    u32 memory_object_handle;    // handle of objects in the camera's memory; 0: the event's
    i32 saved_liveview_af_mode;  // AfAtLiveView before live view changed it, -1
    i32 liveview_image_size;     // LiveViewImageSize to select (2 VGA, 3 XGA)
    i32 liveview_zoom_ratio;     // LiveViewImageZoomRatio for zooming in; -1 the largest
    // The last frame's header; its first eight 16-bit fields in host order.
    u16 liveview_header[MTP_NIKON_LIVEVIEW_HEADER_SIZE / 2];
    // Ticks of the first DeviceBusy answer of the current run of them, 0 when
    // the camera is not busy.
    u64 busy_since;
    // Ticks the busy limit is stretched by: a long exposure is followed by a
    // noise reduction as long as itself. Cleared when the camera is ready.
    u64 busy_allowance;
};

// The per-model values of the vendor state.
struct mtp_nikon_model_values_t
{
    i32 liveview_jpeg_offset;
    i32 liveview_header_offset;
    i32 liveview_image_size;
    i32 liveview_zoom_ratio;
    u32 memory_object_handle;
};

// --- vendor entry and connection --------------------------------------------------
// Fills protocol, hooks and camera properties of a camera identified as Nikon
// (called by the vendor selection with the device lock held). Reads the vendor
// property codes into DevicePropertiesSupported and applies the model fixes.
void mtp_nikon_parse_deviceinfo(mtp_device_t& device);
// The values of a model's row (any model, recognised or not).
mtp_nikon_model_values_t mtp_nikon_model_values(u32 model);
// Creates the vendor state (false, logged, when it cannot be allocated), puts
// the camera in ApplicationMode and stores to the camera's memory.
bool mtp_nikon_connect(mtp_device_t& device);
// Frees the vendor state; nothing is sent.
void mtp_nikon_disconnect(mtp_device_t& device);
void mtp_nikon_enable_applicationmode(mtp_device_t& device, bool on);
// True when the camera answers DeviceReady with OK; other answers end what was
// waiting on the camera (see the source for the table).
bool mtp_nikon_check_deviceready(mtp_device_t& device);

// --- events and objects ------------------------------------------------------------------
void mtp_nikon_poll(mtp_device_t& device);
// Reads one GetEvent block (u16 count, then 6-byte entries) and hands each
// entry to mtp_device_handle. A count that disagrees with the length is logged
// and only the entries really present are read. Returns the entries handed on.
u64 mtp_nikon_read_events(mtp_device_t& device, const mtp_buffer_t& block);
void mtp_nikon_handle_event(mtp_device_t& device, mtp_event_t code, u32 parameter);
void mtp_nikon_add_object(mtp_device_t& device, u32 handle, bool download, bool jpeg_only);

// --- capture, focus, battery, cards -------------------------------------------------------
bool mtp_nikon_capture_v2(mtp_device_t& device); // InitiateCaptureRecInMedia
bool mtp_nikon_capture_v1(mtp_device_t& device); // InitiateCaptureRecInSdram or InitiateCapture
bool mtp_nikon_bulb_start(mtp_device_t& device);
bool mtp_nikon_bulb_stop(mtp_device_t& device);
bool mtp_nikon_focus(mtp_device_t& device);
void mtp_nikon_check_battery(mtp_device_t& device);
bool mtp_nikon_format(mtp_device_t& device);
bool mtp_nikon_get_storage_ids(mtp_device_t& device, vector_t<u32>& ids);

// --- camera properties and value texts -------------------------------------------------------
bool mtp_nikon_get_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property);
bool mtp_nikon_set_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
bool mtp_nikon_get_shutterspeed(mtp_device_t& device, mtp_cameraproperty_t& property);
bool mtp_nikon_set_shutterspeed(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
bool mtp_nikon_get_focusmode(mtp_device_t& device, mtp_cameraproperty_t& property);
void mtp_nikon_compute_property_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                    mtp_property_t code);

// --- live view and movies -----------------------------------------------------------------------
bool mtp_nikon_enable_liveview(mtp_device_t& device, bool on);
void mtp_nikon_check_liveview(mtp_device_t& device);
void mtp_nikon_download_liveview(mtp_device_t& device);
// Takes one GetLiveViewImage block: finds the JPEG (searching when the model's
// offset does not hold one), decodes the header when the frame holds it whole,
// and stores the frame. Flags 0x100 when the size or zoom area changed.
void mtp_nikon_read_liveview_frame(mtp_device_t& device, const mtp_buffer_t& block);
bool mtp_nikon_zoom_liveview(mtp_device_t& device, bool zoomed);
bool mtp_nikon_move_liveview(mtp_device_t& device, i32 dx, i32 dy);
bool mtp_nikon_focus_liveview(mtp_device_t& device, i32 step);
bool mtp_nikon_enable_dof(mtp_device_t& device, bool on);
bool mtp_nikon_enable_video(mtp_device_t& device, bool on);
void mtp_nikon_check_video(mtp_device_t& device);
void mtp_nikon_enable_liveview_af(mtp_device_t& device, bool on);
// The movie start that waited for the camera to be ready (DeviceReady OK).
void mtp_nikon_start_pending_video(mtp_device_t& device);
} // namespace orvo
