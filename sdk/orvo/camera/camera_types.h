// The plain records of the camera control layer: the identities cameraid_t and
// photoid_t, the camera and photo states camera_t and photo_t, and the state of
// one camera property (CameraProperty). The records hold no pointers other than
// interned string ids and no virtual functions: the camera processor copies
// them byte for byte into camera events and every consumer keeps copies. Each
// record owns one reference on each of its texts.
#pragma once

#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_stringid.h"

#include <type_traits>

namespace orvo
{
// A camera's identity: the id is given once per newly detected camera and
// never reused (-1: no camera); the index is its position in the processor's
// device list and may change at every detection pass. A lookup accepts a
// device only when both match.
struct cameraid_t
{
    i32 id;
    i64 index;
};

const i32 CAMERAID_NONE = -1;

inline bool cameraid_equal(const cameraid_t& a, const cameraid_t& b)
{
    return a.id == b.id && a.index == b.index;
}

// A photo's position in the processor's photo list.
typedef i32 photoid_t;

struct camera_t
{
    cameraid_t id;
    stringid_t name;
    stringid_t group;
    stringid_t make; // the driver's name
    stringid_t model;
    stringid_t serial;
    bool valid;     // found by the latest detection pass
    bool connected;
    bool busy;      // a request is being carried out (drivers also set it while downloads are pending)
    bool focused;   // the last autofocus succeeded
    bool bulb_enabled;
    bool bulb_supported;
    bool mirror_lockup_enabled;
    bool mirror_lockup_supported;
    bool driver_flag0; // true after construction; for drivers, not read by the camera layer
    bool liveview_supported;
    bool liveview_enabled;
    bool liveview_zoom_enabled;
    bool dof_supported;
    bool dof_enabled;
    bool autofocus_supported;
    bool video_supported;
    bool video_recording;
    bool driver_flag1; // false after construction; for drivers, not read by the camera layer
    float battery;       // 0 to 1; 2 means external power; -1 no reading
    float download_rate; // MB/s of the last download
    i32 liveview_fps;
    i32 video_fps;
    i32 sensor_width;
    i32 sensor_height;
    float sensor_region[4]; // the live-view zoom region: two corners
    i32 photos_taken;       // photos (not videos) added for this camera
    i32 photos_failed;
    i32 downloads_complete;
    i32 downloads_failed;
    i32 connection_changes; // connect attempts, disconnects and removals
    i32 liveview_frames;    // frames broadcast
    i32 autofocus_count;
    i32 batch_number;    // the batch number of the camera's next photo
    i32 photos_per_shot; // files one shot produces (2 for RAW plus JPEG)
    i32 photos_in_batch;
    i32 name_changes;
    i32 liveview_changes;
    i32 clock_offset; // camera clock minus computer clock, milliseconds
    i32 cards;
};

struct photo_t
{
    i32 index;        // position in the processor's photo list; -1 until added
    cameraid_t owner; // the taking camera; id -1 once orphaned
    stringid_t path;  // the saved file; before saving a driver keeps the camera's file name here
    stringid_t type;  // extension with its dot: ".JPG"
    stringid_t origin; // the request's origin text, or "manual"
    stringid_t date;
    stringid_t uuid;
    stringid_t camera_file_name;
    stringid_t name; // the computed file name, extension included
    stringid_t hash;
    i64 size;
    bool valid;
    bool downloaded;
    bool orphaned;
    bool deleted;
    bool video;
    bool name_valid;
    i32 sequence;
    i32 batch;
    i32 width;
    i32 height;
    imageformat_t format;
};

// Events carry these records as raw bytes.
static_assert(std::is_trivially_copyable<camera_t>::value, "camera_t travels byte for byte");
static_assert(std::is_trivially_copyable<photo_t>::value, "photo_t travels byte for byte");
static_assert(std::is_trivially_copyable<cameraid_t>::value, "cameraid_t travels byte for byte");

// The scope of the property types and the state of one property as it
// travels in events. The grid and the PTP engine order focus mode (7) and
// drive mode (8) the other way round; drivers translate.
class CameraProperty
{
public:
    enum Type : u32
    {
        Aperture = 0,
        ShutterSpeed = 1,
        Iso = 2,
        Exposure = 3,
        Quality = 4,
        ProgramMode = 5,
        MeteringMode = 6,
        DriveMode = 7,
        FocusMode = 8,
        WhiteBalance = 9,
        Storage = 10,
        MirrorLockup = 11,
        NumProperties = 12,
        None = 13,
    };

    // Exact, case-sensitive match of one of the twelve names ("Aperture",
    // "ShutterSpeed", "Iso", ...); null or anything else gives None.
    static Type GetType(const char* name);
    // The name of a type; "" for 12 and above.
    static const char* GetName(u32 type);

    u64 value;          // position of the current value in the property's range
    bool supported;
    i32 value_version;  // raised by the driver whenever the value changes
    i32 range_version;  // raised by the driver whenever the range changes
};

static_assert(std::is_trivially_copyable<CameraProperty>::value, "CameraProperty travels byte for byte");

// --- camera_t ------------------------------------------------------------------------
// The values after construction: id -1 and index 0, empty texts (the make is
// the given text, one reference taken), the first driver flag set, battery -1,
// frame rates 20, batch number 1, one photo per shot, everything else 0.
void camera_initialise(camera_t& camera, const stringid_t& make);
// Releases the five texts and leaves each empty. Safe twice.
void camera_release(camera_t& camera);
// Releases the texts of to, copies every field and takes a reference on each text.
void camera_copy(camera_t& to, const camera_t& from);

// --- photo_t ---------------------------------------------------------------------------
// Index -1, the owner given, empty texts, valid and name-valid set, sequence
// and batch -1, format Unknown. No uuid and no origin: CameraPhoto sets them.
void photo_initialise(photo_t& photo, const cameraid_t& owner);
// Releases the eight texts and leaves each empty. Safe twice.
void photo_release(photo_t& photo);
// Releases the texts of to, copies every field of from and takes one
// reference on each of the eight texts.
void photo_copy(photo_t& to, const photo_t& from);

// --- texts --------------------------------------------------------------------------------
// The id takes the text (old reference dropped). False (logged by the string
// ids) when it cannot be stored; the id is then empty.
bool camera_text_set(stringid_t& id, const string_t& text);
// The id takes another id's text: one more reference on it.
void camera_text_copy(stringid_t& id, const stringid_t& from);
} // namespace orvo
