// CameraProcessor: the one object that talks to cameras. It is the message
// processor "orvo::CameraProcessor" of the "CAMERA" message thread, owns the
// camera drivers, the detected devices, every photo, the download queue, the
// naming options, the serial table and the PTP context, turns each request
// into a cameratracker_t, answers it exactly once when its last camera
// operation has ended, and broadcasts what the cameras do on
// "BROADCAST::CameraEvent" and "BROADCAST::CameraLiveview". Everything here
// runs on the "CAMERA" thread and takes no lock of its own. What each request
// type does lives in its handler (SetRequestHandler); the types this module
// serves itself are listed in camera_handlers.h.
#pragma once

#include "orvo/camera/camera_device.h"
#include "orvo/camera/camera_naming.h"
#include "orvo/camera/camera_request.h"
#include "orvo/camera/mtp_context.h"
#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_message_processor.h"

#include <atomic>

namespace orvo
{
// A name and group that SetName gave to a serial number; given back to a
// camera of that serial when it is added or connects.
struct camera_serial_entry_t
{
    stringid_t serial; // the key: interned texts compare by address
    stringbuffer_t name;
    stringbuffer_t group;
};

template <>
struct container_traits<camera_serial_entry_t>
{
    typedef const char* key_type;
    static key_type key(const camera_serial_entry_t& entry) { return entry.serial.str; }
    static int compare(key_type a, key_type b) { return a < b ? -1 : (b < a ? 1 : 0); }
    static u64 hash(key_type key) { return static_cast<u64>(reinterpret_cast<uintptr_t>(key) >> 4); }
};

const u64 CAMERA_SERIAL_BUCKETS = 100;
// Live-view recording stops once this many GiB were recorded (SetOptions 28).
const i32 CAMERA_LIVEVIEW_LIMIT_GIB = 10;
// A request still owed this long after it arrived (plus its bulb time) is
// answered with failure and its cameras are free again.
const u64 CAMERA_REQUEST_TIMEOUT_SECONDS = 60;
// Bulb times of a request beyond this are refused (24 hours).
const float CAMERA_MAX_BULB_SECONDS = 86400.0f;
// Environment variable that adds the four simulated cameras when set to "1".
extern const char* const CAMERA_SIMULATED_ENVIRONMENT; // "LUMIVANE_SIMULATED_CAMERAS"

// One request type's work: run by cameratracker_handle with the tracker and
// the request; false fails the request.
typedef bool (*camerarequest_handler_t)(CameraProcessor& processor, cameratracker_t* tracker, const Message& request);
// The completion notice broadcast by the last cameratracker_decref before the
// response; null does nothing.
typedef void (*camerarequest_notice_t)(CameraProcessor& processor, cameratracker_t* tracker);
// Makes the USB camera driver; installed by the USB layer.
typedef CameraDriver* (*cameradriver_factory_t)(CameraProcessor* processor);
// One non-blocking pass over the platform's pending system events.
typedef void (*camera_os_event_pump_t)(void* user);

// The options and counters of the processor, read and changed by the request
// handlers. Texts are owned.
struct cameraoptions_t
{
    i32 next_camera_id;    // 0; every new camera takes it and it grows
    i32 sequence_number;   // 1: the number of the next photo
    i32 batch_number;      // 1: the highest batch number of any camera
    i32 liveview_limit;    // 10, in GiB
    u64 liveview_recorded; // bytes recorded; never reset
    i64 folder_stamp;      // the download folder's time seen by the last reset check
    bool generate_names;
    bool auto_connect;
    bool synchronise_clocks;
    bool reset_sequence;
    bool reset_batch;
    bool detection_pending;
    bool liveview_recording;
    stringbuffer_t download_folder; // empty: photos are not saved, they stay on the camera
    stringbuffer_t fallback_folder;
    stringbuffer_t liveview_folder;
    stringbuffer_t filename_expression; // "LVP_[S]"
    stringbuffer_t validation_text;
    stringbuffer_t text_a; // "Group1"
    stringbuffer_t text_u; // "Custom1"
    stringbuffer_t text_z;
    stringbuffer_t default_storage; // "Disk"
    stringbuffer_t default_focus_mode;
};

class CameraProcessor : public MessageProcessor
{
public:
    CameraProcessor();
    ~CameraProcessor() override;

    // The message thread's calls.
    bool ProcessorInitialise() override;
    void ProcessorRelease() override;
    void ProcessorUpdate() override;
    // Steps the downloads that wait for this thread (see WakeForDownloads).
    void ProcessorWake() override;
    void ReceiveRequest(const Message& message) override;
    void ReceiveResponse(const Message& message) override;
    void ReceiveEvent(const Message& message) override;

    // --- drivers and devices ------------------------------------------------------
    // The processor owns the driver from now on; null is ignored.
    void AddDriver(CameraDriver* driver);
    // A device found by a driver's detection: a known camera is marked valid
    // again (and the new object deleted), a new one takes the next id. The
    // processor owns the device from now on, or has deleted it.
    void AddDevice(CameraDevice* device);
    // One detection pass.
    void DetectCameras();
    // The device at the identity's index when it has the identity's id.
    bool FindDevice(const cameraid_t& id, CameraDevice*& device) const;
    // The photo at the index, or null.
    bool FindPhoto(photoid_t id, CameraPhoto*& photo) const;
    const vector_t<CameraDevice*>& GetDevices() const { return m_devices; }
    const vector_t<CameraPhoto*>& GetPhotos() const { return m_photos; }
    mtp_context_t& GetMTPContext() { return m_context; }
    const string_t& GetDownloadPath() const { return m_options.download_folder; }
    const string_t& GetFallbackPath() const { return m_options.fallback_folder; }
    // The scratch block a driver saving a photo from memory fills.
    memorybuffer_t& GetDownloadBuffer() { return m_downloadBuffer; }
    // Whether a photo may be saved: false (logged, naming the photo, which
    // stays on the camera) while no download folder is set, so that an empty
    // folder never turns into a path at the file-system root.
    bool CanSavePhoto(const photo_t* photo) const;
    bool HasNativeSupport(const string_t& make, const string_t& model) const;
    void BroadcastCameraAttached();
    void BroadcastCameraDetached();

    // --- photos --------------------------------------------------------------------
    // Registers a new photo (the processor owns it from now on), names and
    // numbers it, checks the name and broadcasts it. Null is ignored.
    void AddPhoto(CameraDevice* device, CameraPhoto* photo);
    // Announces a photo that a reshot has refilled (the driver has already
    // called its Reshoot and kept its name): checked and broadcast like a new
    // photo, without new numbers.
    void ReshootPhoto(CameraDevice* device, CameraPhoto* photo);
    // The end of a download of the photo (possibly null).
    void DownloadAttempt(CameraPhoto* photo, bool ok);
    // Appends a photo to the download queue, emptied at the next pass.
    bool QueueDownload(CameraPhoto* photo);
    u64 GetNumQueuedDownloads() const { return m_downloadQueue.count - m_downloadQueueHead; }

    // --- connection callbacks --------------------------------------------------------
    void SetConnected(bool ok, CameraDevice* device);
    void SetDisconnected(bool ok, CameraDevice* device);
    // The camera has gone: flags cleared, broadcast, detection pending.
    void CameraDisconnected(CameraDevice* device);

    // --- events ------------------------------------------------------------------------
    void BroadcastStatus();
    void BroadcastPhotoTaken(CameraPhoto* photo);
    void BroadcastPhotoDownloaded(CameraPhoto* photo);
    void BroadcastPhotoDownloading(CameraPhoto* photo);
    void BroadcastLiveview(CameraDevice* device, const memory_t& frame);
    void BroadcastLiveviewStatus(CameraDevice* device);
    void BroadcastCameraStatus(CameraDevice* device);
    void BroadcastCameraMetrics(CameraDevice* device);
    // The camera's id and whole record under the event type (status or metrics).
    void BroadcastCameraRecord(CameraDevice* device, i32 event);
    void BroadcastPhotoStatus(CameraPhoto* photo);
    void BroadcastPropertyStatus(CameraDevice* device, bool force);
    // Logged at level Info, then sent with the sequence and batch numbers.
    void BroadcastInformation(const string_t& text);
    void BroadcastInformation(const char* text);
    void BroadcastInformationf(const char* format, ...) ORVO_PRINTF_FORMAT(2, 3);
    // Sends a message built in the queue's encoder to "BROADCAST::CameraEvent".
    void Broadcast(Message& message);

    // --- responses ------------------------------------------------------------------------
    // Logs, addresses the response to the request's sender and sends it.
    void Notify(Message& response, const MessageHeader& request);
    // Type 31, result false.
    void NotifyUnknownRequest(const MessageHeader& request);
    void HandleUnknownRequest(const Message& request);

    // --- request handlers -----------------------------------------------------------------
    // Installs the work and the completion notice of a request type (0 to 29);
    // false for another type. A type without a handler fails its requests.
    bool SetRequestHandler(i32 type, camerarequest_handler_t handler, camerarequest_notice_t notice);
    camerarequest_handler_t GetRequestHandler(i32 type) const;
    camerarequest_notice_t GetRequestNotice(i32 type) const;

    // --- options, naming and the serial table ------------------------------------------------
    cameraoptions_t& GetOptions() { return m_options; }
    const cameraoptions_t& GetOptions() const { return m_options; }
    // Canonical folder texts; an empty text clears the folder. False (logged)
    // when the path has no usable form; the folder is then empty.
    bool SetDownloadFolder(const string_t& path);
    bool SetFallbackFolder(const string_t& path);
    bool SetLiveviewFolder(const string_t& path);
    // Compiles and installs a validation expression; an empty text switches
    // validation off. A text that does not compile is logged, switches
    // validation off and returns false.
    bool SetValidation(const string_t& text);
    // True when validation is off or the whole name matches.
    bool IsNameValid(const string_t& name) const;
    // The serial's stored name and group, or null.
    const camera_serial_entry_t* FindSerial(const stringid_t& serial);
    // Stores (or replaces) the name and group of a serial. False (logged).
    bool SetSerial(const string_t& serial, const string_t& name, const string_t& group);
    // Sets the processor's and every camera's batch number; a camera whose
    // number changes has its status broadcast.
    void SetBatchNumber(i32 batch);

    // --- requests ---------------------------------------------------------------------------
    // Live requests: those whose response is still owed, and those answered
    // at their deadline whose cameras have not ended yet.
    u64 GetNumTrackers() const { return m_trackers.count; }
    // How long a request may wait for its cameras before it is answered with
    // failure (a bulb exposure adds its time); CAMERA_REQUEST_TIMEOUT_SECONDS
    // by default. Any thread may set it; requests arriving later take it.
    void SetRequestTimeout(u64 ticks) { m_requestTimeout.store(ticks); }
    u64 GetRequestTimeout() const { return m_requestTimeout.load(); }
    // Class-wide request and response counters (log lines only).
    static i32 GetRequestCount();
    static i32 GetResponseCount();
    // The name of a request type in log lines; "invalid" outside 0 to 29.
    static const char* GetRequestName(i32 type);

    // Class-wide: the location ids of the two event channels.
    static u16 BroadcastEventId;
    static u16 BroadcastLiveviewId;
    // The processor creates the USB driver only while this is true.
    static bool SupportPTP;
    static void SetPTPDriverFactory(cameradriver_factory_t factory);
    static void SetOSEventPump(camera_os_event_pump_t pump, void* user);

    // Internal to the request path (cameratracker_*): tracker bookkeeping.
    bool AddTracker(cameratracker_t* tracker);
    void RemoveTracker(cameratracker_t* tracker);

private:
    // Deletes a device, first ending the request it completes later and
    // unhooking it from every live request.
    void DeleteDevice(CameraDevice* device);
    // Deletes every device whose valid flag is false, closing the gaps.
    void RemoveInvalidDevices();
    void EmptyDownloadQueue();
    // Answers with failure every request whose deadline has passed.
    void ExpireTrackers();
    // One step of the engine: downloads acknowledged, finished and started,
    // attachments reported.
    void UpdateContext();
    // The context's download waker: any thread, context lock held.
    static void WakeForDownloads(void* user);
    // Answers (with failure) every request still owed, at release.
    void FailTrackers();
    void ReleaseSerialTable();
    bool SetFolder(stringbuffer_t& folder, const string_t& path);
    // Builds the start of an event: field 1. False when it cannot.
    bool BeginEvent(i32 type);
    // The camera's id and whole record under the event type; null when it
    // cannot be built.
    Message EncodeCameraRecord(CameraDevice* device, i32 event);
    void SendToChannel(Message& message, u16 channel);
    void RecordLiveview(CameraDevice* device, const memory_t& frame);

    cameraoptions_t m_options;
    photo_validation_t m_validation;
    memorybuffer_t m_downloadBuffer; // scratch for a driver saving a photo from memory
    vector_t<CameraPhoto*> m_photos;
    vector_t<CameraDevice*> m_devices;
    vector_t<CameraDriver*> m_drivers;
    vector_t<CameraPhoto*> m_downloadQueue;
    u64 m_downloadQueueHead;
    vector_t<cameratracker_t*> m_trackers;
    mtp_context_t m_context;
    bool m_contextInitialised;
    hashtable_t<camera_serial_entry_t> m_serials;
    camerarequest_handler_t m_handlers[CAMERAREQUEST_COUNT];
    camerarequest_notice_t m_notices[CAMERAREQUEST_COUNT];
    std::atomic<u64> m_requestTimeout;
};

// --- request handling ----------------------------------------------------------------------
// A tracker for the request: one reference, type from field 0 (which the
// caller has found), success, the request's header. Null (logged) when it
// cannot be allocated or registered.
cameratracker_t* cameratracker_create(CameraProcessor& processor, const Message& request);
// Reads fields 42, 5 and 7, runs the type's handler and drops the
// creation's reference. A field 5 that names no listed camera fails the
// request at once (unless it is for all cameras).
void cameratracker_handle(cameratracker_t* tracker, const Message& request);
// Moves the tracker's deadline later by the seconds (a bulb exposure).
void cameratracker_extend(cameratracker_t* tracker, float seconds);
// Sends the request's completion notice and its one response now, even if
// operations are still in flight; they only drop their references later.
void cameratracker_answer(cameratracker_t* tracker);
// A device's pending request that waits for a download ends only with the
// download of its own photo: true when the pending tracker was a Download
// request for this photo and has been ended (and cleared) with ok. Any other
// finished download leaves it waiting, and the caller reports the download
// as usual (DownloadAttempt).
bool cameratracker_end_download(CameraDevice& device, CameraPhoto* photo, bool ok);

// One non-blocking drain of the platform's system events (the installed pump;
// nothing on a platform without one).
void process_os_events();
} // namespace orvo
