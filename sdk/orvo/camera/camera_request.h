// The contract between every requester and the camera processor: field ids
// and encodings, the 30 request types and 10 event types, the request encoder
// CameraMessageBuilder (one method per request, written into the sender's
// queue encoder), CameraMessageSender (requests without arguments, sent at
// once) and the checked field readers that the processor uses on requests.
// A reader accepts a field only with the expected type (and, for data, the
// expected element size); anything else counts as absent.
#pragma once

#include "orvo/camera/camera_types.h"
#include "orvo/core/core_message_encoder.h"
#include "orvo/core/core_time.h"

namespace orvo
{
class MessageProcessor;

// Field ids of the camera contract.
enum camerafield_t : i32
{
    CAMERAFIELD_REQUEST = 0,         // int
    CAMERAFIELD_EVENT = 1,           // int
    CAMERAFIELD_RESULT = 2,          // bool
    CAMERAFIELD_TEXT = 3,            // string: information
    CAMERAFIELD_CAMERAS = 4,         // data of camera_t
    CAMERAFIELD_CAMERA = 5,          // data of one cameraid_t
    CAMERAFIELD_PHOTOS = 6,          // data of photo_t
    CAMERAFIELD_PHOTO = 7,           // data, element 4: a photo index
    CAMERAFIELD_PROPERTY_TYPE = 8,   // data, element 4: CameraProperty::Type
    CAMERAFIELD_PROPERTY = 9,        // data of one CameraProperty
    CAMERAFIELD_PROPERTY_NAMES = 10, // data of string_t
    CAMERAFIELD_PROPERTY_VALUE = 12, // string
    CAMERAFIELD_LIVEVIEW = 13,       // bool
    CAMERAFIELD_LIVEVIEW_ZOOM = 14,  // bool
    CAMERAFIELD_LIVEVIEW_RECORD = 15, // bool
    CAMERAFIELD_LIVEVIEW_FOCUS = 16, // int
    CAMERAFIELD_LIVEVIEW_POSITION = 17, // data, element 4, count 2
    CAMERAFIELD_LIVEVIEW_FRAME = 18, // data, element 1
    CAMERAFIELD_LIVEVIEW_FPS = 19,   // int
    CAMERAFIELD_VIDEO_FPS = 20,      // int
    CAMERAFIELD_DOF = 21,            // bool
    CAMERAFIELD_VIDEO = 22,          // bool
    CAMERAFIELD_SEQUENCE = 23,       // int
    CAMERAFIELD_BATCH = 24,          // int
    CAMERAFIELD_DOWNLOAD_FOLDER = 25, // string
    CAMERAFIELD_BACKUP_FOLDER = 26,  // string
    CAMERAFIELD_LIVEVIEW_FOLDER = 27, // string
    CAMERAFIELD_LIVEVIEW_LIMIT = 28, // int, GiB
    CAMERAFIELD_BULB = 29,           // float, seconds
    CAMERAFIELD_FILENAME_EXPRESSION = 30, // string
    CAMERAFIELD_FILENAME_VALIDATION = 31, // string
    CAMERAFIELD_TEXT_A = 32,         // string
    CAMERAFIELD_TEXT_U = 33,         // string
    CAMERAFIELD_TEXT_Z = 34,         // string
    CAMERAFIELD_GENERATE_NAMES = 35, // bool
    CAMERAFIELD_AUTO_CONNECT = 36,   // bool
    CAMERAFIELD_SYNC_CLOCKS = 37,    // bool
    CAMERAFIELD_RESET_SEQUENCE = 38, // bool
    CAMERAFIELD_RESET_BATCH = 39,    // bool
    CAMERAFIELD_DEFAULT_STORAGE = 40, // string
    CAMERAFIELD_DEFAULT_FOCUS = 41,  // string
    CAMERAFIELD_ALL_CAMERAS = 42,    // bool
    CAMERAFIELD_CAMERA_NAME = 43,    // string
    CAMERAFIELD_PHOTO_NAME = 44,     // string
    CAMERAFIELD_ORIGIN = 45,         // string
    CAMERAFIELD_SERIAL = 46,         // string
    CAMERAFIELD_TIME = 47,           // int, milliseconds
    CAMERAFIELD_SHUTTER_BUTTON = 49, // int
    CAMERAFIELD_CAMERA_GROUP = 50,   // string
};

class CameraRequest
{
public:
    enum Type : i32
    {
        Synchronise = 0,
        DetectCameras = 1,
        Connect = 2,
        Disconnect = 3,
        TakePhoto = 4,
        Reshoot = 5,
        Autofocus = 6,
        Download = 7,
        DownloadAll = 8,
        Rename = 9,
        Delete = 10,
        EnableLiveview = 11,
        LiveviewZoom = 12,
        LiveviewRecord = 13,
        LiveviewFocus = 14,
        LiveviewPosition = 15,
        LiveviewFPS = 16,
        EnableDof = 17,
        EnableVideo = 18,
        SetProperty = 19,
        SetName = 20,
        SetOptions = 21,
        SetSequenceNum = 22,
        SetBatchNum = 23,
        QueryTime = 24,
        SetTime = 25,
        Rollback = 26,
        Format = 27,
        SetShutterButton = 28,
        RelinkPhoto = 29,
        Invalid = 30,
        // The type of the response to a request that could not be read.
        Unknown = 31,
    };
    // "Synchronise", ... "RelinkPhoto"; "invalid" for anything else.
    static const char* GetCStr(i32 type);
};

const i32 CAMERAREQUEST_COUNT = 30;

enum cameraevent_t : i32
{
    CAMERAEVENT_STATUS = 0,
    CAMERAEVENT_PHOTO_TAKEN = 1,
    CAMERAEVENT_PHOTO_DOWNLOADED = 2,
    CAMERAEVENT_LIVEVIEW = 3, // on "BROADCAST::CameraLiveview"
    CAMERAEVENT_CAMERA_LIST = 4, // not sent by the processor
    CAMERAEVENT_CAMERA_STATUS = 5,
    CAMERAEVENT_CAMERA_METRICS = 6,
    CAMERAEVENT_PHOTO_STATUS = 7,
    CAMERAEVENT_PROPERTY_STATUS = 8,
    CAMERAEVENT_INFORMATION = 9,
};

// Location names of the contract.
extern const char* const CAMERA_PROCESSOR_LOCATION; // "orvo::CameraProcessor"
extern const char* const CAMERA_EVENT_CHANNEL;      // "BROADCAST::CameraEvent"
extern const char* const CAMERA_LIVEVIEW_CHANNEL;   // "BROADCAST::CameraLiveview"

// Texts from outside longer than this are refused: no camera name, folder,
// expression or value name comes near it, and a longer one is an error.
const u64 CAMERAREQUEST_MAX_TEXT = 4096;

// --- checked readers of request fields -------------------------------------------------------
// True when a string field with the id is there but cannot be used (too
// long, no terminating zero, a zero inside): such a request is refused rather
// than read as if the text were absent.
bool camerarequest_text_refused(const Message& message, i32 id);
// Each is true with the value when the field is present with the right type
// and shape, false otherwise (value untouched).
bool camerarequest_get_int(const Message& message, i32 id, i32& value);
bool camerarequest_get_bool(const Message& message, i32 id, bool& value);
bool camerarequest_get_float(const Message& message, i32 id, float& value);
// A zero-terminated string field of at most CAMERAREQUEST_MAX_TEXT bytes with
// no zero byte inside; the view points into the message.
bool camerarequest_get_text(const Message& message, i32 id, string_t& text);
// A data field of exactly this element size; count 0 is allowed.
bool camerarequest_get_data(const Message& message, i32 id, u32 element_size, const void*& data, u32& count);
// Field 5 as one cameraid_t.
bool camerarequest_get_camera(const Message& message, cameraid_t& camera);
// Field 7 as one 4-byte element.
bool camerarequest_get_photo(const Message& message, photoid_t& photo);
// Field 8: one 4-byte element holding 0 to 11.
bool camerarequest_get_property_type(const Message& message, CameraProperty::Type& type);
// Field 17: 4-byte elements, at least two (x, y).
bool camerarequest_get_position(const Message& message, i32& x, i32& y);
// Field 49: an integer of 0 or more.
bool camerarequest_get_shutter_button(const Message& message, i32& state);

// --- the request encoder --------------------------------------------------------------------------
// Made on the stack for one request. Every method resets the encoder, writes
// field 0 and the request's fields (field 42 true in place of field 5 when the
// all-cameras flag is set) and returns the message, null when the first
// reservation fails. The caller sends it with SendRequest.
class CameraMessageBuilder
{
public:
    CameraMessageBuilder(MessageEncoder* encoder, photoid_t photo, const cameraid_t& camera, const string_t& origin,
                         bool all_cameras);

    Message TakePhoto(float bulb_seconds);
    Message MultiShot();
    Message Reshoot(float bulb_seconds);
    Message Autofocus();
    Message Connect();
    Message Disconnect();
    Message Download();
    Message Rename(const string_t& name);
    Message Delete();
    Message Rollback();
    Message RelinkPhoto(const cameraid_t& camera);
    Message EnableLiveview(bool on);
    Message EnableLiveviewZoom(bool on);
    Message EnableLiveviewRecord(bool on);
    Message FocusLiveview(int step);
    Message PositionLiveview(int x, int y);
    Message SetLiveviewFPS(int liveview, int video);
    Message EnableDof(bool on);
    Message EnableVideo(bool on);
    Message SetProperty(CameraProperty::Type type, const string_t& value);
    Message SetName(const string_t& name, const string_t& group, const string_t& serial);
    Message SetOptions(const string_t& download_folder, const string_t& backup_folder, const string_t& liveview_folder,
                       int liveview_limit, const string_t& expression, const string_t& validation,
                       const string_t& text_a, const string_t& text_u, const string_t& text_z, bool generate_names,
                       bool auto_connect, bool synchronise_clocks, bool reset_sequence, bool reset_batch,
                       const string_t& default_storage, const string_t& default_focus);
    Message SetSequenceNum(int sequence);
    Message SetBatchNum(int batch);
    Message SetTime(long long value, timeunit_t unit);
    Message SetShutterButton(int state);

    // Whole milliseconds as SetTime writes them: ticks and microseconds / 1000,
    // seconds x 1000, milliseconds kept, any other unit 0; as a 32-bit integer.
    static i32 ToMilliseconds(long long value, timeunit_t unit);

protected:
    bool Begin(i32 type);
    // Field 42 true, or field 5.
    void AddTarget();
    void AddCamera(const cameraid_t& camera);
    void AddPhoto();
    void AddText(i32 id, const string_t& text);
    Message End();

    MessageEncoder* m_encoder;
    photoid_t m_photo;
    cameraid_t m_camera;
    string_t m_origin;
    bool m_allCameras;
    bool m_begun;
};

// The requests without arguments, encoded and sent at once from the sender
// to the destination (the camera processor's location) as SendRequest does.
class CameraMessageSender : public CameraMessageBuilder
{
public:
    CameraMessageSender(MessageEncoder* encoder, photoid_t photo, const cameraid_t& camera, const string_t& origin,
                        bool all_cameras, MessageProcessor* sender, u16 destination);

    bool Synchronise();
    bool DetectCameras();
    bool DownloadAll();
    bool QueryTime();
    bool Format();

private:
    bool Send(i32 type);

    MessageProcessor* m_sender;
    u16 m_destination;
};
} // namespace orvo
