// The four abstract classes that every camera driver implements: CameraDriver
// (finds cameras), CameraDevice (one camera: a camera_t followed by its links
// and its operations), CameraSettings (its 12 properties with their ranges and
// the versions last broadcast) and CameraPhoto (a photo_t the processor holds);
// and cameratracker_t, the reference-counted context of one camera request.
// The camera processor owns every object and calls them only on the "CAMERA"
// thread. Tracker-taking operations end exactly once with cameratracker_decref.
#pragma once

#include "orvo/camera/camera_types.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_message.h"
#include "orvo/core/core_time.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
class CameraProcessor;
class CameraDevice;
class CameraDriver;
class CameraPhoto;
struct mtp_downloadtask_t;

// The context of one camera request. Created by cameratracker_create with one
// reference, freed by the cameratracker_decref that drops the last one, which
// also sends the request's one response.
struct cameratracker_t
{
    i32 references;
    i32 type;         // CameraRequest::Type of the request
    bool success;     // false once any part failed; never true again
    bool all_cameras; // field 42
    MessageHeader header; // the request's, to address the response
    stringid_t origin;    // field 45; empty when none
    CameraProcessor* processor;
    CameraDevice* camera; // field 5, or null
    CameraPhoto* photo;   // field 7, or null
    // The camera's identity as it was when the tracker took it, so that the
    // response names it even if the device has left the list meanwhile.
    cameraid_t camera_id;
};

// Before each tracker-taking operation: one more reference, and a device that
// was not busy becomes busy and has its status broadcast. Null is ignored.
void cameratracker_incref(cameratracker_t* tracker, CameraDevice* device);
// Ends one operation (see CameraProcessor). Null is ignored.
void cameratracker_decref(cameratracker_t* tracker, bool ok, CameraDevice* device);
// Makes the tracker's camera the device (or none) and remembers its identity.
void cameratracker_set_camera(cameratracker_t* tracker, CameraDevice* device);

// The values of one property and their names.
struct camerarange_t
{
    vector_t<i32> values;       // the driver's own codes; may be empty
    vector_t<stringid_t> names; // one reference held on each
};

// The value and range versions last broadcast for a property; -1: never.
struct cameraversion_t
{
    i32 value_version;
    i32 range_version;
};

class CameraSettings
{
public:
    // Device null; every property unsupported, value 0, versions 0, empty
    // ranges with room for 4, version pairs (-1, -1).
    CameraSettings();
    virtual ~CameraSettings();
    CameraSettings(const CameraSettings&) = delete;
    CameraSettings& operator=(const CameraSettings&) = delete;

    static bool IsValid(u32 type) { return type < CameraProperty::NumProperties; }

    // The type must be valid.
    CameraProperty& GetProperty(CameraProperty::Type type) { return m_properties[type]; }
    const CameraProperty& GetProperty(CameraProperty::Type type) const { return m_properties[type]; }
    camerarange_t& GetRange(CameraProperty::Type type) { return m_ranges[type]; }
    const camerarange_t& GetRange(CameraProperty::Type type) const { return m_ranges[type]; }
    cameraversion_t& GetVersion(CameraProperty::Type type) { return m_versions[type]; }
    const cameraversion_t& GetVersion(CameraProperty::Type type) const { return m_versions[type]; }

    CameraDevice* GetDevice() const { return m_device; }
    void SetDevice(CameraDevice& device) { m_device = &device; }

    // Back to the state after construction; the range storage stays.
    void ClearAll();
    // Appends one value and its name to a range. False (logged) when the
    // range cannot grow; it is then unchanged.
    bool AddValue(CameraProperty::Type type, i32 value, const string_t& name);

private:
    CameraDevice* m_device;
    CameraProperty m_properties[CameraProperty::NumProperties];
    camerarange_t m_ranges[CameraProperty::NumProperties];
    cameraversion_t m_versions[CameraProperty::NumProperties];
};

// One camera. Its camera_t comes first, so the processor copies the record
// straight out of the device.
class CameraDevice : public camera_t
{
public:
    // The record takes its construction values with the driver's name as the
    // make; the device owns the settings (whose device becomes this one).
    CameraDevice(CameraDriver* driver, CameraSettings* settings);
    // Frees the byte buffer, deletes the settings, releases the texts.
    virtual ~CameraDevice();
    CameraDevice(const CameraDevice&) = delete;
    CameraDevice& operator=(const CameraDevice&) = delete;

    // True when make, model and serial are the same interned texts.
    virtual bool IsEqual(const CameraDevice* other) const;
    // One pass of the device's own work.
    virtual void Update() = 0;

    // Operations without a request.
    virtual void Connect() = 0;
    virtual void Disconnect() = 0;
    virtual void Download(CameraPhoto* photo) = 0;
    virtual void SetProperty(CameraProperty::Type type, unsigned long value) = 0;
    virtual void SetTime(long long value, timeunit_t unit);

    // Operations of a request: each ends exactly once with
    // cameratracker_decref(t, ok, this), now or on a later pass. A null
    // tracker completes nothing.
    virtual void Connect(cameratracker_t* t) = 0;
    virtual void Disconnect(cameratracker_t* t) = 0;
    virtual void TakePhoto(cameratracker_t* t, float bulb_seconds) = 0;
    virtual void Autofocus(cameratracker_t* t) = 0;
    virtual void Download(cameratracker_t* t, CameraPhoto* photo) = 0;
    virtual void EnableLiveview(cameratracker_t* t, bool on) = 0;
    virtual void EnableLiveviewZoom(cameratracker_t* t, bool on) = 0;
    virtual void SetLiveviewFocus(cameratracker_t* t, int step) = 0;
    virtual void SetLiveviewPosition(cameratracker_t* t, int x, int y) = 0;
    // Stores each rate of 0 or more, broadcasts the live-view status and succeeds.
    virtual void SetLiveviewFPS(cameratracker_t* t, int liveview, int video);
    virtual void EnableDof(cameratracker_t* t, bool on) = 0;
    virtual void EnableVideo(cameratracker_t* t, bool on) = 0;
    virtual void SetProperty(cameratracker_t* t, CameraProperty::Type type, unsigned long value) = 0;
    // These four fail, fail, fail and succeed unless a driver has them.
    virtual void QueryTime(cameratracker_t* t);
    virtual void SetTime(cameratracker_t* t, long long value, timeunit_t unit);
    virtual void Format(cameratracker_t* t);
    virtual void SetShutterButton(cameratracker_t* t, int state);

    CameraDriver* GetDriver() const { return m_driver; }
    CameraSettings* GetSettings() const { return m_settings; }
    CameraProcessor* GetProcessor() const;

    // The request this device completes on a later pass, or null.
    cameratracker_t* m_pendingTracker;
    // A scratch block of the device's own.
    memorybuffer_t m_buffer;

protected:
    CameraDriver* m_driver;
    CameraSettings* m_settings;
};

class CameraDriver
{
public:
    explicit CameraDriver(CameraProcessor* processor);
    // Releases the name.
    virtual ~CameraDriver();
    CameraDriver(const CameraDriver&) = delete;
    CameraDriver& operator=(const CameraDriver&) = delete;

    virtual bool Initialise() = 0;
    virtual void Release() = 0;
    // Once per pass.
    virtual void Update() = 0;
    // Hands every camera found to the processor's AddDevice.
    virtual void DetectCameras() = 0;
    virtual bool HasNativeSupport(const string_t& make, const string_t& model) = 0;

    CameraProcessor* GetProcessor() const { return m_processor; }
    const stringid_t& GetName() const { return m_name; }

protected:
    // Set by the concrete driver; the make of its devices and its log name.
    stringid_t m_name;
    CameraProcessor* m_processor;
};

class CameraPhoto : public photo_t
{
public:
    // Owner is the device's identity; origin the tracker's (or "manual"); a
    // new lower-case UUID.
    CameraPhoto(CameraDevice* device, const cameratracker_t* tracker);
    // Releases the texts.
    virtual ~CameraPhoto();
    CameraPhoto(const CameraPhoto&) = delete;
    CameraPhoto& operator=(const CameraPhoto&) = delete;

    // Reuses the record for its reshot: a downloaded file is deleted; owner,
    // origin, device and driver are set anew; valid again, not downloaded,
    // not orphaned, not a video. Deleted, name, name-valid, numbers and uuid stay.
    void Reshoot(CameraDevice* device, const cameratracker_t* tracker);

    CameraDevice* GetDevice() const { return m_device; }
    CameraDriver* GetDriver() const { return m_driverOfDevice; }
    // The processor drops the links when it deletes the photo's device.
    void DetachDevice()
    {
        m_device = nullptr;
        m_driverOfDevice = nullptr;
    }

protected:
    CameraDevice* m_device;
    CameraDriver* m_driverOfDevice;

private:
    void SetOrigin(const cameratracker_t* tracker);
};
} // namespace orvo
