// mtp_device_t, the engine's record of one camera: DeviceInfo and identity,
// timers, counters, capture/focus/live-view/movie/bulb state, event queues, the
// property table and the 12 camera properties. Transactions go through three
// driver callbacks; what differs between makers is the table of 30 vendor hooks
// (a capability is a non-null hook). The driver owns the record, the vendor its
// vendor state. Update and events: mtp_update.h; downloads: mtp_context.h.
#pragma once

#include "orvo/camera/mtp_cameraproperty.h"
#include "orvo/camera/mtp_codec.h"
#include "orvo/camera/mtp_codes.h"
#include "orvo/camera/mtp_dataset.h"
#include "orvo/camera/mtp_identify.h"
#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_mutex.h"
#include "orvo/core/core_time.h"
#include "orvo/core/core_version.h"

#include <atomic>

namespace orvo
{
struct mtp_context_t;      // mtp_context.h
struct mtp_downloadtask_t; // mtp_context.h
struct mtp_device_t;

// The property table is keyed by property code; each bucket stays sorted by it.
template <>
struct container_traits<mtp_devicepropdesc_t>
{
    typedef u32 key_type;
    static key_type key(const mtp_devicepropdesc_t& element) { return element.code; }
    static int compare(const key_type& a, const key_type& b) { return a < b ? -1 : (a > b ? 1 : 0); }
    static u64 hash(const key_type& key) { return key; }
};

// --- change flags: returned and cleared by mtp_device_update ---------------------
enum mtp_change_t : u32
{
    MTP_CHANGE_DEVICEINFO = 0x1,  // DeviceInfo changed: read again on the next update
    MTP_CHANGE_POWER = 0x2,       // battery level or power source
    MTP_CHANGE_PROPERTIES = 0x4,  // property values changed or must be refreshed
    MTP_CHANGE_CLOCK = 0x8,       // clock offset measured
    MTP_CHANGE_EVENTS = 0x10,     // events queued
    MTP_CHANGE_CAPTURE = 0x20,
    MTP_CHANGE_AUTOFOCUS = 0x40,
    MTP_CHANGE_LIVEVIEW_FRAME = 0x80,
    MTP_CHANGE_LIVEVIEW = 0x100,
    MTP_CHANGE_VIDEO = 0x200,
    MTP_CHANGE_BULB = 0x400,
    MTP_CHANGE_MIRRORLOCKUP = 0x800,
    MTP_CHANGE_CARDS = 0x1000,    // memory cards: counted again on the next update
    MTP_CHANGE_DOWNLOADS = 0x2000, // a download started or finished
    // Every state flag but DeviceInfo, clock, events and downloads: what reading
    // DeviceInfo reports, so that the driver copies the whole record.
    MTP_CHANGE_ALL_STATE = 0x1FC6,
};

enum mtp_shutterbutton_t : u32
{
    MTP_SHUTTERBUTTON_RELEASED = 0,
    MTP_SHUTTERBUTTON_HALF = 1, // focus
    MTP_SHUTTERBUTTON_FULL = 2,
};

enum mtp_powersource_t : i32
{
    MTP_POWERSOURCE_EXTERNAL = 0,
    MTP_POWERSOURCE_BATTERY = 1,
    MTP_POWERSOURCE_UNKNOWN = 2, // not reported
};

// One queued PTP event: its code and first parameter (0 when it had none).
struct mtp_device_event_t
{
    u32 code;
    u32 parameter;
};

// Two corners of the live-view zoom area in frame pixels, set by the vendor's
// frame decoder.
struct mtp_rectangle_t
{
    i32 left;
    i32 top;
    i32 right;
    i32 bottom;
};

struct mtp_autofocus_t
{
    bool supported;
    bool in_progress;
    bool succeeded;
};

struct mtp_powerinfo_t
{
    i32 source; // mtp_powersource_t
    u8 level;   // 0 to 100
};

struct mtp_liveview_t
{
    bool supported;
    bool dof_supported;
    bool on;
    bool zoomed;
    bool dof_on;
    bool requested;
    bool zoom_requested;
    i32 frames_per_second;       // 20
    i32 movie_frames_per_second; // 20, while a movie records
    i32 frame_width;
    i32 frame_height;
    mtp_rectangle_t zoom_area;
    version_t frame_version; // bumped for every new frame
    memorybuffer_t frame;    // the latest JPEG frame
};

struct mtp_video_t
{
    bool supported; // a vendor may follow the camera's movie mode with it
    bool recording;
    bool vendor_flag0; // kept by the vendor extensions
    bool vendor_flag1;
};

struct mtp_bulb_t
{
    bool supported;
    bool enabled; // the camera is set to bulb
    bool active;  // an exposure is open
};

struct mtp_mirrorlockup_t
{
    bool supported;
    bool mirror_up;   // capture and bulb capture are refused while set
    bool vendor_flag; // kept by the Canon extension
};

// --- transport and camera-layer callbacks ----------------------------------------
// Each transport callback performs one PTP transaction synchronously and answers
// the camera's response code: 0x2001 on success, 0x2002 for a transport error,
// 0x2003 when no session is open (also: camera not connected).
typedef mtp_response_t (*mtp_execute_t)(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters,
                                        u32 num_parameters, void* user);
// Data in: on 0x2001 the buffer holds exactly the received bytes.
typedef mtp_response_t (*mtp_read_t)(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters,
                                     u32 num_parameters, mtp_buffer_t& buffer, void* user);
// Data out: the buffer's bytes are sent.
typedef mtp_response_t (*mtp_write_t)(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters,
                                      u32 num_parameters, const mtp_buffer_t& buffer, void* user);
typedef const char* (*mtp_name_t)(void* user);
// A new object on the camera; the answer (the camera layer's photo, or null)
// goes into the download task.
typedef void* (*mtp_add_object_t)(const mtp_objectinfo_t& object, void* user);
// Fills the task's photo name, file type, download folder and fallback folder.
typedef void (*mtp_prepare_download_t)(mtp_downloadtask_t& task, void* user);
// The task is saved or failed; called with the device lock held.
typedef void (*mtp_download_finished_t)(const mtp_downloadtask_t& task, void* user);

struct mtp_device_callbacks_t
{
    mtp_execute_t execute;
    mtp_read_t read;
    mtp_write_t write;
    mtp_name_t name; // optional, never called by the engine
    mtp_add_object_t add_object;
    mtp_prepare_download_t prepare_download;
    mtp_download_finished_t download_finished;
    void* user; // the driver's device, handed to every callback
};

// --- vendor hooks, in slot order (0 to 29) -----------------------------------------
// Every hook takes the device first and runs with the device lock held. A null
// hook makes the matching operation answer false.
struct mtp_device_hooks_t
{
    bool (*connect)(mtp_device_t& device);    // false aborts the connection
    void (*disconnect)(mtp_device_t& device); // last step of disconnecting
    bool (*read_devicepropdesc)(mtp_device_t& device, mtp_devicepropdesc_t& desc);
    bool (*read_devicepropvalue)(mtp_device_t& device, mtp_devicepropdesc_t& desc);
    bool (*write_devicepropvalue)(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_datavalue_t& value);
    void (*poll)(mtp_device_t& device);
    void (*handle_event)(mtp_device_t& device, mtp_event_t code, u32 parameter);
    bool (*capture)(mtp_device_t& device);
    bool (*bulb_start)(mtp_device_t& device);
    bool (*bulb_stop)(mtp_device_t& device); // true ends the exposure
    bool (*download)(mtp_device_t& device, mtp_downloadtask_t& task);
    bool (*download_file)(mtp_device_t& device, mtp_downloadtask_t& task); // movies and large objects
    void (*acknowledge_download)(mtp_device_t& device, mtp_downloadtask_t& task);
    bool (*delete_object)(mtp_device_t& device, const mtp_objectinfo_t& object); // slot "delete"
    bool (*focus)(mtp_device_t& device);
    void (*check_battery)(mtp_device_t& device);
    bool (*enable_liveview)(mtp_device_t& device, bool on);
    void (*check_liveview)(mtp_device_t& device);
    void (*download_liveview)(mtp_device_t& device);
    bool (*zoom_liveview)(mtp_device_t& device, bool zoomed);
    bool (*move_liveview)(mtp_device_t& device, i32 x, i32 y);
    bool (*focus_liveview)(mtp_device_t& device, i32 step);
    bool (*enable_dof)(mtp_device_t& device, bool on);
    bool (*enable_video)(mtp_device_t& device, bool on);
    void (*check_video)(mtp_device_t& device);
    bool (*format)(mtp_device_t& device);
    bool (*shutterbutton)(mtp_device_t& device, mtp_shutterbutton_t button);
    bool (*get_storage_ids)(mtp_device_t& device, vector_t<u32>& ids);
    void (*compute_property_str)(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                 mtp_property_t code);
    // Every failed transaction; true when the failure is to be logged.
    bool (*record_error)(mtp_device_t& device, mtp_command_t operation, mtp_response_t response);
};

const u32 MTP_DEVICE_NUM_HOOKS = 30;
const u64 MTP_DEVICE_QUEUE_CAPACITY = 10;
const u64 MTP_DEVICE_PROPERTY_BUCKETS = 100;
const u64 MTP_CHECK_PERIOD_VIDEO_MS = 1000; // the video check period while a movie records
const i32 MTP_LIVEVIEW_FRAMES_PER_SECOND = 20;
// Health: a device has failed past these counts (or on any fatal error).
const i32 MTP_MAX_ZERO_LENGTH_READS = 4;
const i32 MTP_MAX_SIZE_MISMATCH_READS = 2;

// --- the record -------------------------------------------------------------------
// Members marked (atomic) are read or written by more than one thread without
// the device lock; everything else belongs to the holder of the device lock.
struct mtp_device_t
{
    mtp_context_t* context; // the shared PTP context; its transfer buffer serves the "CAMERA" thread
    void* user;             // the driver's device (callbacks.user)
    void* vendor_state;     // owned by the vendor extension, freed by mtp_device_release
    // Frees a vendor state that holds storage of its own; null: a plain heap_free.
    void (*vendor_state_release)(void* state);
    mutex_t* lock;          // the device lock: around every hook and state change
    mutex_t* event_lock;    // guards the property queue and the event queue only
    mtp_device_callbacks_t callbacks;
    mtp_device_hooks_t hooks;
    mtp_deviceinfo_t deviceinfo; // with the object properties supported per capture format
    mtp_manufacturer_t manufacturer;
    mtp_model_t model;
    mtp_protocol_t protocol; // set by the vendor extension; passed with every transaction
    i64 clock_offset;        // milliseconds, camera clock minus computer clock
    bool fast_poll;          // a capture or autofocus has started and not yet been seen to end
    u64 poll_period;         // milliseconds, 0 until the first poll
    u64 video_check_period;  // milliseconds, 1000
    countdown_t poll_countdown;
    countdown_t battery_countdown;
    countdown_t liveview_check_countdown;
    countdown_t liveview_frame_countdown;
    countdown_t video_check_countdown;
    countdown_t bulb_countdown;
    countdown_t autofocus_countdown; // Canon only
    float download_rate;             // MB/s of the last successful download
    i32 pending_downloads;           // tasks created and not yet acknowledged
    i32 minor_errors;
    i32 fatal_errors;
    i32 zero_length_reads;
    i32 size_mismatch_reads;
    i32 cards;          // memory cards, -1 until first counted
    i32 files_per_shot; // 1, or 2 when the quality stores RAW and JPEG
    bool capture_in_progress;
    bool capture_failed;
    mtp_autofocus_t autofocus;
    mtp_powerinfo_t power;
    mtp_liveview_t liveview;
    mtp_video_t video;
    mtp_bulb_t bulb;
    mtp_mirrorlockup_t mirrorlockup;
    // (atomic) The vendor reads events itself; the transport's event thread
    // reads this to ignore the interrupt events.
    std::atomic<bool> events_by_polling;
    bool camera_storage_mode; // the storage mode is a camera property (Canon, Nikon)
    // Storage flags.
    bool download;              // new objects are downloaded (on by default)
    bool jpeg_only;             // only JPEG-family objects are downloaded
    bool delete_after_download; // the camera's copy is deleted once saved
    bool host_only;             // the camera writes to the computer only
    // (atomic) Set by mtp_device_handle holding only the event lock, read and
    // cleared by the update under the device lock.
    std::atomic<u32> change_flags;
    vector_t<mtp_property_t> property_queue;    // event lock
    vector_t<mtp_device_event_t> event_queue;   // event lock
    vector_t<mtp_device_event_t> event_work;    // update only
    hashtable_t<mtp_devicepropdesc_t> properties; // by property code
    mtp_cameraproperty_t cameraproperties[MTP_CAMERAPROPERTY_COUNT];
    bool registered;       // counted by the context
    i32 controller_slot;   // id of the download controller, -1
    // The response of the last transaction (device lock), for the hooks that
    // treat one answer specially (a listed property the camera refuses).
    mtp_response_t last_response;
};

// --- lifecycle ----------------------------------------------------------------------
// Stores context and callbacks, creates both locks, the queues, the property
// table and the camera properties, then mtp_device_clear_state. False (logged)
// when a lock or table cannot be had; the record is then released.
bool mtp_device_initialise(mtp_device_t& device, mtp_context_t* context, const mtp_device_callbacks_t& callbacks);
// Default hooks (slots 2, 3, 4, 28, 29 generic, the rest null), maker and model
// not recognised, counters, flags and state back to their defaults, camera
// properties cleared. The countdowns, the frame and the vendor state stay.
void mtp_device_clear_state(mtp_device_t& device);
// Frees everything the record holds, vendor state included. Safe twice and on
// a zeroed record.
void mtp_device_release(mtp_device_t& device);
// Frees the vendor state through vendor_state_release (a plain heap_free when
// that is null) and clears both members. Safe on a record without one.
void mtp_device_free_vendor_state(mtp_device_t& device);

// --- the locks --------------------------------------------------------------------
// The device lock is non-recursive. try_lock answers at once.
void mtp_device_lock(mtp_device_t& device);
bool mtp_device_try_lock(mtp_device_t& device);
void mtp_device_unlock(mtp_device_t& device);

// --- transactions (with error accounting through record_error) ---------------------
bool mtp_device_execute(mtp_device_t& device, mtp_command_t operation, const u32* parameters = nullptr,
                        u32 num_parameters = 0);
// On success the buffer holds exactly the bytes received. An empty answer is
// counted as a zero-length read but still succeeds.
bool mtp_device_read(mtp_device_t& device, mtp_buffer_t& buffer, mtp_command_t operation,
                     const u32* parameters = nullptr, u32 num_parameters = 0);
bool mtp_device_write(mtp_device_t& device, const mtp_buffer_t& buffer, mtp_command_t operation,
                      const u32* parameters = nullptr, u32 num_parameters = 0);
// The buffer for transactions on the "CAMERA" thread: the context's. A device
// that transacts needs a context.
mtp_buffer_t& mtp_device_transfer_buffer(mtp_device_t& device);
// The generic error accounting, default of every device: a General Error to
// InitiateCapture is neither counted nor logged (cameras answer it when they
// cannot focus); every other failure counts as minor, and 0x2002 and 0x2003
// as fatal too.
bool mtp_generic_record_error(mtp_device_t& device, mtp_command_t operation, mtp_response_t response);

// --- connection and identification ----------------------------------------------------
// Reads DeviceInfo, picks the vendor, registers with the context, runs the first
// update, then applies the context's default values and clock settings. False
// when DeviceInfo cannot be read or the vendor's connect hook refuses.
bool mtp_device_connect(mtp_device_t& device);
// Reads and parses DeviceInfo and the object properties per capture format,
// identifies the camera and lets its vendor fill the record. The caller holds
// the device lock. False, with identification and hooks unchanged, when the
// DeviceInfo cannot be read.
bool mtp_device_read_deviceinfo(mtp_device_t& device);
// Lets the vendor extension of the identified maker fill protocol, hooks and
// camera properties, then derives the capabilities. Device lock held.
void mtp_device_select_vendor(mtp_device_t& device);
void mtp_device_disconnect(mtp_device_t& device);
// Waits for the device lock. True (logged) when fatal errors, more than 4
// zero-length reads or more than 2 size-mismatch reads were counted.
bool mtp_device_has_failed(mtp_device_t& device);
// Counts the storage ids with media; device lock held.
bool mtp_device_compute_num_cards(mtp_device_t& device);

// --- user operations ---------------------------------------------------------------------
// Each tries the device lock and answers false at once when it is busy, when
// downloads are pending or when the vendor has no hook for it.
bool mtp_device_capture(mtp_device_t& device);
bool mtp_device_bulb_capture(mtp_device_t& device, u64 duration, timeunit_t unit);
bool mtp_device_focus(mtp_device_t& device);
bool mtp_device_enable_liveview(mtp_device_t& device, bool on);
bool mtp_device_zoom_liveview(mtp_device_t& device, bool zoomed);
bool mtp_device_move_liveview(mtp_device_t& device, i32 x, i32 y);
bool mtp_device_focus_liveview(mtp_device_t& device, i32 step);
bool mtp_device_enable_dof(mtp_device_t& device, bool on);
bool mtp_device_enable_video(mtp_device_t& device, bool on);
bool mtp_device_format(mtp_device_t& device);
bool mtp_device_shutterbutton(mtp_device_t& device, mtp_shutterbutton_t button);
// The delete hook for a caller that already holds the device lock.
bool mtp_device_delete_locked(mtp_device_t& device, const mtp_objectinfo_t& object);

// --- change flags ----------------------------------------------------------------------
inline void mtp_device_set_changed(mtp_device_t& device, u32 flags)
{
    device.change_flags.fetch_or(flags, std::memory_order_acq_rel);
}
} // namespace orvo
