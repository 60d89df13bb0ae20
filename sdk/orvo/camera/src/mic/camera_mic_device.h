// The camera layer's objects for a USB camera: MICDevice (a CameraDevice that
// embeds the camera's mtp_device_t and owns its MICCameraDevice connection),
// MICPhoto (a CameraPhoto made from a PTP ObjectInfo) and MICSettings (the 12
// properties filled from the engine's camera properties). Each camera request
// becomes a call of the PTP device interface; after every engine update the
// device copies what changed into its camera record and tells the processor.
// Everything runs on the "CAMERA" thread except the object downloads, which
// reach back through the download callbacks with the device lock held.
#pragma once

#include "orvo/camera/camera_device.h"
#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_device.h"
#include "orvo/camera/src/mic/camera_mic_cameradevice.h"

namespace orvo
{
class MICDriver;
class MICDevice;

class MICPhoto : public CameraPhoto
{
public:
    // The base photo, then the ObjectInfo's values; the camera's file name
    // becomes the photo's name unless keep_name is set.
    MICPhoto(MICDevice* device, const cameratracker_t* tracker, const mtp_objectinfo_t& info, bool keep_name);
    ~MICPhoto() override;

    // Reuses the photo for the new object of a reshot: name and path stay.
    void Reshoot(MICDevice* device, const cameratracker_t* tracker, const mtp_objectinfo_t& info);
    void ExtractFromMTP(const mtp_objectinfo_t& info, bool keep_name);
    const mtp_objectinfo_t& GetObjectInfo() const { return m_object; }

private:
    mtp_objectinfo_t m_object; // the photo's own copy
};

// CameraProperty::Type to the engine's camera property; above 11: none.
u32 mic_settings_engine_property(u32 type);

class MICSettings : public CameraSettings
{
public:
    MICSettings();
    // Copies the ranges and values whose engine versions moved. Always true.
    bool SyncAll(MICDevice* device);

private:
    version_t m_valueVersions[CameraProperty::NumProperties];
    version_t m_rangeVersions[CameraProperty::NumProperties];
};

class MICDevice : public CameraDevice
{
public:
    // Opens the session and reads the camera; the device is valid only when
    // that worked (the detection deletes it otherwise).
    MICDevice(MICDriver* driver, const mic_usbinfo_t& camera, mtp_context_t& context);
    ~MICDevice() override;

    bool IsEqual(const CameraDevice* other) const override;
    void Update() override;

    void Connect() override;
    void Disconnect() override;
    void Download(CameraPhoto* photo) override;
    void SetProperty(CameraProperty::Type type, unsigned long value) override;
    void SetTime(long long value, timeunit_t unit) override;

    void Connect(cameratracker_t* t) override;
    void Disconnect(cameratracker_t* t) override;
    void TakePhoto(cameratracker_t* t, float bulb_seconds) override;
    void Autofocus(cameratracker_t* t) override;
    void Download(cameratracker_t* t, CameraPhoto* photo) override;
    void EnableLiveview(cameratracker_t* t, bool on) override;
    void EnableLiveviewZoom(cameratracker_t* t, bool on) override;
    void SetLiveviewFocus(cameratracker_t* t, int step) override;
    void SetLiveviewPosition(cameratracker_t* t, int x, int y) override;
    void EnableDof(cameratracker_t* t, bool on) override;
    void EnableVideo(cameratracker_t* t, bool on) override;
    void SetProperty(cameratracker_t* t, CameraProperty::Type type, unsigned long value) override;
    void QueryTime(cameratracker_t* t) override;
    void SetTime(cameratracker_t* t, long long value, timeunit_t unit) override;
    void Format(cameratracker_t* t) override;
    void SetShutterButton(cameratracker_t* t, int state) override;

    // The engine's callbacks (through the mic_mtp_* functions).
    CameraPhoto* OnAddObject(const mtp_objectinfo_t& info);
    void OnPrepareDownload(mtp_downloadtask_t& task);
    void OnDownloadFinished(const mtp_downloadtask_t& task);

    // Ends the pending tracker with false (a failed photo for a capture).
    void RejectPending();

    // Null when the connection object could not be made.
    MICCameraDevice* GetCameraDevice() const { return m_camera; }
    // The USB device the camera is, or null without a connection object.
    const mic_usbinfo_t* GetICCameraDevice() const { return m_camera ? &m_camera->GetCamera() : nullptr; }
    mtp_device_t& GetMTPDevice() { return m_mtp; }
    // Connected: the connection object exists and holds an open session.
    bool IsSessionOpen() const { return m_camera && m_camera->IsConnected(); }

private:
    bool HandleInitialise();
    bool HandleConnect();
    void HandleDisconnect();
    void HandleUpdate();
    void HandleDownload(cameratracker_t* t, CameraPhoto* photo);
    bool HandleSetProperty(CameraProperty::Type type, unsigned long index);
    bool HandleSetTime(long long value, timeunit_t unit);
    void ApplyRecord(u32 flags);
    void EndPending(bool ok);
    bool PendingIs(i32 type) const;
    MICSettings& Settings() { return *static_cast<MICSettings*>(m_settings); }

    MICCameraDevice* m_camera; // owned
    mtp_device_t m_mtp;
    bool m_mtpInitialised;
    // The engine holds a connection to end: set from its connect on, cleared
    // by the one disconnect that ends it (a deleted device disconnects again).
    bool m_mtpConnected;
    version_t m_frameVersion; // the live-view frame last broadcast
};

// The engine's transport callbacks: the user pointer is the MICDevice, whose
// connection carries the transaction. 0x2003 when it has none.
mtp_response_t mic_mtp_execute(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters, u32 count,
                               void* user);
mtp_response_t mic_mtp_read(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters, u32 count,
                            mtp_buffer_t& buffer, void* user);
mtp_response_t mic_mtp_write(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters, u32 count,
                             const mtp_buffer_t& buffer, void* user);
// The engine's object callbacks, with the MICDevice as user pointer.
void* mic_mtp_add_object(const mtp_objectinfo_t& info, void* user);
void mic_mtp_prepare_download(mtp_downloadtask_t& task, void* user);
void mic_mtp_download_finished(const mtp_downloadtask_t& task, void* user);
} // namespace orvo
