// MICDevice: construction and connection, the requests, the update that copies
// the engine's changes into the camera record, and the engine's callbacks.
#include "orvo/camera/src/mic/camera_mic_device.h"

#include "orvo/camera/camera_processor.h"
#include "orvo/camera/mtp_download.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/camera/src/mic/camera_mic_driver.h"
#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
namespace
{
MICDevice* device_of(void* user)
{
    return static_cast<MICDevice*>(user);
}

// What reading the whole engine record copies: every state flag but the
// properties (synchronised on their own) and the live-view frame.
const u32 CONNECT_FLAGS = MTP_CHANGE_DEVICEINFO | MTP_CHANGE_CARDS | MTP_CHANGE_POWER | MTP_CHANGE_CLOCK |
                          MTP_CHANGE_AUTOFOCUS | MTP_CHANGE_LIVEVIEW | MTP_CHANGE_VIDEO | MTP_CHANGE_BULB |
                          MTP_CHANGE_MIRRORLOCKUP;
} // namespace

// --- transport and object callbacks ------------------------------------------------------------------

mtp_response_t mic_mtp_execute(mtp_protocol_t, mtp_command_t operation, const u32* parameters, u32 count, void* user)
{
    MICCameraDevice* camera = user ? device_of(user)->GetCameraDevice() : nullptr;
    if (!camera)
        return static_cast<mtp_response_t>(MIC_RESPONSE_SESSION_NOT_OPEN);
    return static_cast<mtp_response_t>(camera->Execute(static_cast<u16>(operation), parameters, count));
}

mtp_response_t mic_mtp_read(mtp_protocol_t, mtp_command_t operation, const u32* parameters, u32 count,
                            mtp_buffer_t& buffer, void* user)
{
    MICCameraDevice* camera = user ? device_of(user)->GetCameraDevice() : nullptr;
    if (!camera)
    {
        mtp_buffer_clear(buffer);
        return static_cast<mtp_response_t>(MIC_RESPONSE_SESSION_NOT_OPEN);
    }
    return static_cast<mtp_response_t>(camera->Read(static_cast<u16>(operation), parameters, count, buffer));
}

mtp_response_t mic_mtp_write(mtp_protocol_t, mtp_command_t operation, const u32* parameters, u32 count,
                             const mtp_buffer_t& buffer, void* user)
{
    MICCameraDevice* camera = user ? device_of(user)->GetCameraDevice() : nullptr;
    if (!camera)
        return static_cast<mtp_response_t>(MIC_RESPONSE_SESSION_NOT_OPEN);
    return static_cast<mtp_response_t>(camera->Write(static_cast<u16>(operation), parameters, count, buffer));
}

void* mic_mtp_add_object(const mtp_objectinfo_t& info, void* user)
{
    CameraPhoto* photo = device_of(user)->OnAddObject(info);
    return photo;
}

void mic_mtp_prepare_download(mtp_downloadtask_t& task, void* user)
{
    device_of(user)->OnPrepareDownload(task);
}

void mic_mtp_download_finished(const mtp_downloadtask_t& task, void* user)
{
    device_of(user)->OnDownloadFinished(task);
}

// --- construction --------------------------------------------------------------------------------------------

MICDevice::MICDevice(MICDriver* driver, const mic_usbinfo_t& camera, mtp_context_t& context)
    : CameraDevice(driver, new (std::nothrow) MICSettings()), m_camera(nullptr), m_mtp(), m_mtpInitialised(false),
      m_mtpConnected(false), m_frameVersion{0, 0}
{
    camera_text_set(name, string_make("MIC Camera"));
    camera_text_set(model, string_make("MIC Camera"));
    connected = false;
    busy = false;
    valid = false;
    if (!m_settings)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC camera");
        return;
    }
    m_camera = new (std::nothrow) MICCameraDevice(*driver->GetBackend(), camera, &m_mtp, &driver->GetTransportOptions());
    if (!m_camera)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC camera");
        return;
    }
    mtp_device_callbacks_t callbacks = {};
    callbacks.execute = mic_mtp_execute;
    callbacks.read = mic_mtp_read;
    callbacks.write = mic_mtp_write;
    callbacks.name = nullptr;
    callbacks.add_object = mic_mtp_add_object;
    callbacks.prepare_download = mic_mtp_prepare_download;
    callbacks.download_finished = mic_mtp_download_finished;
    callbacks.user = this;
    if (!mtp_device_initialise(m_mtp, &context, callbacks))
    {
        // Without its record the device can do nothing: it has no handle.
        delete m_camera;
        m_camera = nullptr;
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC camera");
        return;
    }
    m_mtpInitialised = true;
    valid = HandleInitialise();
}

MICDevice::~MICDevice()
{
    if (m_camera)
    {
        HandleDisconnect();
        // The event transfer ends before the record it feeds is released.
        m_camera->Disconnect();
        mtp_device_release(m_mtp);
        delete m_camera;
        m_camera = nullptr;
    }
    else
        RejectPending();
}

bool MICDevice::IsEqual(const CameraDevice* other) const
{
    if (!other || other->GetDriver() != m_driver)
        return false;
    const MICDevice* device = static_cast<const MICDevice*>(other);
    return m_camera && device->m_camera && m_camera->GetCamera().id == device->m_camera->GetCamera().id;
}

// --- the pending tracker -----------------------------------------------------------------------------------

bool MICDevice::PendingIs(i32 type) const
{
    return m_pendingTracker && m_pendingTracker->type == type;
}

void MICDevice::EndPending(bool ok)
{
    cameratracker_t* t = m_pendingTracker;
    m_pendingTracker = nullptr;
    cameratracker_decref(t, ok, this);
}

void MICDevice::RejectPending()
{
    if (!m_pendingTracker)
        return;
    if (PendingIs(CameraRequest::TakePhoto) || PendingIs(CameraRequest::Reshoot))
        ++photos_failed;
    EndPending(false);
}

// --- connection ----------------------------------------------------------------------------------------------

bool MICDevice::HandleInitialise()
{
    camera_text_set(name, string_make(m_camera->GetName()));
    return HandleConnect();
}

bool MICDevice::HandleConnect()
{
    if (!m_camera)
        return false;
    RejectPending();
    if (!m_camera->IsConnected())
    {
        if (!m_camera->Connect())
            return false;
        // Even a connect that fails half-way leaves state for the disconnect.
        m_mtpConnected = true;
        if (!mtp_device_connect(m_mtp))
        {
            HandleDisconnect();
            valid = false;
            return false;
        }
    }
    m_frameVersion = version_t{0, 0};
    const mtp_deviceinfo_t& info = m_mtp.deviceinfo;
    camera_text_set(make, info.manufacturer);
    camera_text_set(model, info.model);
    camera_text_set(serial, info.serial_number);
    ApplyRecord(CONNECT_FLAGS);
    focused = false;
    Settings().SyncAll(this);
    return true;
}

void MICDevice::HandleDisconnect()
{
    RejectPending();
    if (!m_camera)
        return;
    // Once per connection: switching live view off again through a session
    // that is already closed only fails and logs.
    if (m_mtpInitialised && m_mtpConnected)
    {
        mtp_device_disconnect(m_mtp);
        m_mtpConnected = false;
    }
    const bool was_open = m_camera->IsConnected();
    // A camera that went away still holds its device and event transfer:
    // they are let go here either way.
    m_camera->Disconnect();
    if (!was_open)
        return;
    m_settings->ClearAll();
    focused = false;
    bulb_enabled = false;
    mirror_lockup_enabled = false;
    liveview_enabled = false;
    liveview_zoom_enabled = false;
    dof_enabled = false;
    video_recording = false;
}

void MICDevice::Connect()
{
    GetProcessor()->SetConnected(HandleConnect(), this);
}

void MICDevice::Disconnect()
{
    HandleDisconnect();
    GetProcessor()->SetDisconnected(true, this);
}

void MICDevice::Connect(cameratracker_t* t)
{
    const bool ok = HandleConnect();
    GetProcessor()->SetConnected(ok, this);
    cameratracker_decref(t, ok, this);
}

void MICDevice::Disconnect(cameratracker_t* t)
{
    HandleDisconnect();
    GetProcessor()->SetDisconnected(true, this);
    cameratracker_decref(t, true, this);
}

// --- the update ---------------------------------------------------------------------------------------------

void MICDevice::ApplyRecord(u32 flags)
{
    if (flags & MTP_CHANGE_DEVICEINFO)
    {
        bulb_supported = m_mtp.bulb.supported;
        mirror_lockup_supported = m_mtp.mirrorlockup.supported;
        autofocus_supported = m_mtp.autofocus.supported;
        liveview_supported = m_mtp.liveview.supported;
        video_supported = m_mtp.video.supported;
        photos_per_shot = m_mtp.files_per_shot;
    }
    if (flags & MTP_CHANGE_CARDS)
        cards = m_mtp.cards;
    if (flags & MTP_CHANGE_POWER)
    {
        switch (m_mtp.power.source)
        {
        case MTP_POWERSOURCE_EXTERNAL:
            battery = 2.0f;
            break;
        case MTP_POWERSOURCE_BATTERY:
            battery = static_cast<float>(m_mtp.power.level / 100.0);
            break;
        case MTP_POWERSOURCE_UNKNOWN:
            battery = -1.0f;
            break;
        default:
            break;
        }
    }
    if (flags & MTP_CHANGE_PROPERTIES)
    {
        photos_per_shot = m_mtp.files_per_shot;
        Settings().SyncAll(this);
    }
    if (flags & MTP_CHANGE_CLOCK)
        clock_offset = static_cast<i32>(m_mtp.clock_offset);
    if (flags & MTP_CHANGE_CAPTURE)
    {
        if ((PendingIs(CameraRequest::TakePhoto) || PendingIs(CameraRequest::Reshoot)) &&
            !m_mtp.capture_in_progress && m_mtp.capture_failed)
        {
            ++photos_failed;
            EndPending(false);
        }
    }
    if (flags & MTP_CHANGE_AUTOFOCUS)
    {
        focused = m_mtp.autofocus.succeeded;
        autofocus_supported = m_mtp.autofocus.supported;
        if (PendingIs(CameraRequest::Autofocus) && !m_mtp.autofocus.in_progress)
        {
            ++autofocus_count;
            EndPending(focused);
        }
    }
    if (flags & MTP_CHANGE_LIVEVIEW)
    {
        const mtp_liveview_t& lv = m_mtp.liveview;
        liveview_supported = lv.supported;
        liveview_enabled = lv.on;
        liveview_zoom_enabled = lv.zoomed;
        dof_supported = lv.dof_supported;
        dof_enabled = lv.dof_on;
        sensor_width = lv.frame_width;
        sensor_height = lv.frame_height;
        sensor_region[0] = static_cast<float>(lv.zoom_area.left);
        sensor_region[1] = static_cast<float>(lv.zoom_area.top);
        sensor_region[2] = static_cast<float>(lv.zoom_area.right);
        sensor_region[3] = static_cast<float>(lv.zoom_area.bottom);
    }
    if (flags & MTP_CHANGE_VIDEO)
    {
        video_supported = m_mtp.video.supported;
        video_recording = m_mtp.video.recording;
        if (PendingIs(CameraRequest::EnableVideo) && !m_mtp.video.vendor_flag0)
            EndPending(m_mtp.video.vendor_flag1);
    }
    if (flags & MTP_CHANGE_BULB)
    {
        bulb_supported = m_mtp.bulb.supported;
        bulb_enabled = m_mtp.bulb.enabled;
    }
    if (flags & MTP_CHANGE_MIRRORLOCKUP)
    {
        mirror_lockup_supported = m_mtp.mirrorlockup.supported;
        mirror_lockup_enabled = m_mtp.mirrorlockup.mirror_up;
    }
}

void MICDevice::HandleUpdate()
{
    if (!m_camera || !connected)
        return;
    CameraProcessor* processor = GetProcessor();
    if (!m_camera->IsConnected())
    {
        log_write(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "MIC camera connection state mismatch");
        HandleDisconnect();
        processor->CameraDisconnected(this);
        return;
    }
    m_mtp.liveview.frames_per_second = liveview_fps;
    m_mtp.liveview.movie_frames_per_second = video_fps;
    const u32 flags = mtp_device_update(m_mtp);
    if (!flags)
        return;
    if (mtp_device_has_failed(m_mtp))
    {
        HandleDisconnect();
        processor->CameraDisconnected(this);
        return;
    }
    ApplyRecord(flags & ~MTP_CHANGE_LIVEVIEW_FRAME);
    bool new_frame = false;
    if ((flags & MTP_CHANGE_LIVEVIEW_FRAME) && !version_equal(m_mtp.liveview.frame_version, m_frameVersion))
    {
        m_frameVersion = m_mtp.liveview.frame_version;
        new_frame = true;
    }
    busy = m_mtp.pending_downloads > 0;

    processor->BroadcastCameraStatus(this);
    if (flags & MTP_CHANGE_LIVEVIEW)
        processor->BroadcastLiveviewStatus(this);
    if (flags & MTP_CHANGE_PROPERTIES)
        processor->BroadcastPropertyStatus(this, false);
    if (new_frame)
    {
        const memorybuffer_t& frame = m_mtp.liveview.frame;
        processor->BroadcastLiveview(this, memory_t{frame.data, frame.num_bytes});
    }
}

void MICDevice::Update()
{
    HandleUpdate();
}

// --- requests ---------------------------------------------------------------------------------------------------

void MICDevice::TakePhoto(cameratracker_t* t, float bulb_seconds)
{
    if (IsSessionOpen() && !m_pendingTracker && !mirror_lockup_enabled)
    {
        // Pending before the engine runs, so that an object reported while
        // the capture is still in the engine finds its request.
        m_pendingTracker = t;
        bool ok;
        if (bulb_enabled)
        {
            const double ms = bulb_seconds > 0.0f ? static_cast<double>(bulb_seconds) * 1000.0 : 0.0;
            ok = mtp_device_bulb_capture(m_mtp, static_cast<u64>(ms), TIMEUNIT_MILLISECONDS);
        }
        else
            ok = mtp_device_capture(m_mtp);
        if (ok)
        {
            photos_per_shot = m_mtp.files_per_shot;
            return;
        }
        if (m_pendingTracker != t)
            return; // the tracker already ended inside the engine
        m_pendingTracker = nullptr;
    }
    ++photos_failed;
    cameratracker_decref(t, false, this);
}

void MICDevice::Autofocus(cameratracker_t* t)
{
    if (IsSessionOpen() && !m_pendingTracker)
    {
        m_pendingTracker = t;
        if (mtp_device_focus(m_mtp))
            return;
        if (m_pendingTracker != t)
            return;
        m_pendingTracker = nullptr;
    }
    focused = false;
    ++autofocus_count;
    cameratracker_decref(t, false, this);
}

void MICDevice::EnableVideo(cameratracker_t* t, bool on)
{
    if (IsSessionOpen() && !m_pendingTracker)
    {
        m_pendingTracker = t;
        if (mtp_device_enable_video(m_mtp, on))
            return;
        if (m_pendingTracker != t)
            return;
        m_pendingTracker = nullptr;
    }
    cameratracker_decref(t, false, this);
}

void MICDevice::HandleDownload(cameratracker_t* t, CameraPhoto* photo)
{
    MICPhoto* mic = dynamic_cast<MICPhoto*>(photo);
    if (IsSessionOpen() && mic && mic->name_valid && mtp_objectinfo_is_valid(mic->GetObjectInfo()) &&
        (!t || !m_pendingTracker))
    {
        if (t)
            m_pendingTracker = t;
        // The result comes back through OnDownloadFinished.
        if (mtp_device_download(m_mtp, mic->GetObjectInfo(), false, static_cast<CameraPhoto*>(mic)))
            return;
        if (t && m_pendingTracker == t)
            m_pendingTracker = nullptr;
        else if (t)
            return; // already ended by the finished callback
    }
    if (t)
        cameratracker_decref(t, false, this);
    else
        GetProcessor()->DownloadAttempt(photo, false);
}

void MICDevice::Download(CameraPhoto* photo)
{
    HandleDownload(nullptr, photo);
}

void MICDevice::Download(cameratracker_t* t, CameraPhoto* photo)
{
    HandleDownload(t, photo);
}

bool MICDevice::HandleSetProperty(CameraProperty::Type type, unsigned long index)
{
    if (!CameraSettings::IsValid(type))
        return false;
    CameraProcessor* processor = GetProcessor();
    const u32 engine = mic_settings_engine_property(type);
    if (IsSessionOpen() && engine < MTP_CAMERAPROPERTY_COUNT && index <= 0x7FFFFFFFul &&
        mtp_device_set_cameraproperty(m_mtp, static_cast<mtp_camerapropertytype_t>(engine), static_cast<i32>(index)))
    {
        processor->BroadcastPropertyStatus(this, true);
        return true;
    }
    // Consumers see the unchanged value again.
    ++m_settings->GetProperty(type).value_version;
    processor->BroadcastPropertyStatus(this, false);
    return false;
}

void MICDevice::SetProperty(CameraProperty::Type type, unsigned long value)
{
    HandleSetProperty(type, value);
}

void MICDevice::SetProperty(cameratracker_t* t, CameraProperty::Type type, unsigned long value)
{
    cameratracker_decref(t, HandleSetProperty(type, value), this);
}

bool MICDevice::HandleSetTime(long long value, timeunit_t unit)
{
    return IsSessionOpen() && mtp_device_set_datetime(m_mtp, value, unit);
}

void MICDevice::SetTime(long long value, timeunit_t unit)
{
    HandleSetTime(value, unit);
}

void MICDevice::SetTime(cameratracker_t* t, long long value, timeunit_t unit)
{
    cameratracker_decref(t, HandleSetTime(value, unit), this);
}

void MICDevice::QueryTime(cameratracker_t* t)
{
    cameratracker_decref(t, IsSessionOpen() && mtp_device_get_datetime(m_mtp), this);
}

void MICDevice::EnableLiveview(cameratracker_t* t, bool on)
{
    bool ok = false;
    if (IsSessionOpen())
    {
        ok = mtp_device_enable_liveview(m_mtp, on);
        liveview_enabled = m_mtp.liveview.on;
    }
    cameratracker_decref(t, ok, this);
}

void MICDevice::EnableLiveviewZoom(cameratracker_t* t, bool on)
{
    bool ok = false;
    if (IsSessionOpen())
    {
        ok = mtp_device_zoom_liveview(m_mtp, on);
        liveview_zoom_enabled = m_mtp.liveview.zoomed;
    }
    cameratracker_decref(t, ok, this);
}

void MICDevice::SetLiveviewFocus(cameratracker_t* t, int step)
{
    cameratracker_decref(t, IsSessionOpen() && mtp_device_focus_liveview(m_mtp, step), this);
}

void MICDevice::SetLiveviewPosition(cameratracker_t* t, int x, int y)
{
    cameratracker_decref(t, IsSessionOpen() && mtp_device_move_liveview(m_mtp, x, y), this);
}

void MICDevice::EnableDof(cameratracker_t* t, bool on)
{
    cameratracker_decref(t, IsSessionOpen() && mtp_device_enable_dof(m_mtp, on), this);
}

void MICDevice::Format(cameratracker_t* t)
{
    cameratracker_decref(t, IsSessionOpen() && mtp_device_format(m_mtp), this);
}

void MICDevice::SetShutterButton(cameratracker_t* t, int state)
{
    const bool ok = IsSessionOpen() && state >= 0 && state <= static_cast<int>(MTP_SHUTTERBUTTON_FULL) &&
                    mtp_device_shutterbutton(m_mtp, static_cast<mtp_shutterbutton_t>(state));
    cameratracker_decref(t, ok, this);
}

// --- the engine's object callbacks ------------------------------------------------------------------------------

CameraPhoto* MICDevice::OnAddObject(const mtp_objectinfo_t& info)
{
    CameraProcessor* processor = GetProcessor();
    CameraPhoto* result = nullptr;
    MICPhoto* reshot = PendingIs(CameraRequest::Reshoot) ? dynamic_cast<MICPhoto*>(m_pendingTracker->photo) : nullptr;
    if (reshot)
    {
        reshot->Reshoot(this, m_pendingTracker, info);
        processor->ReshootPhoto(this, reshot);
        result = reshot;
    }
    else
    {
        MICPhoto* photo = new (std::nothrow) MICPhoto(this, m_pendingTracker, info, m_mtp.host_only);
        if (!photo)
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create photo: %s", info.filename.str);
        else
        {
            const u64 before = processor->GetPhotos().count;
            processor->AddPhoto(this, photo);
            // A photo the processor could not register is already deleted:
            // the download task must not keep it.
            if (processor->GetPhotos().count > before)
                result = photo;
        }
    }
    if (PendingIs(CameraRequest::TakePhoto) || PendingIs(CameraRequest::Reshoot))
        EndPending(true);
    return result;
}

void MICDevice::OnPrepareDownload(mtp_downloadtask_t& task)
{
    CameraPhoto* photo = static_cast<CameraPhoto*>(task.photo);
    if (!photo)
        return;
    CameraProcessor* processor = GetProcessor();
    stringbuffer_set(task.file_type, photo->type);
    stringbuffer_set(task.photo_name, photo->name);
    stringbuffer_set(task.download_folder, processor->GetDownloadPath());
    stringbuffer_set(task.fallback_folder, processor->GetFallbackPath());
}

void MICDevice::OnDownloadFinished(const mtp_downloadtask_t& task)
{
    CameraPhoto* photo = static_cast<CameraPhoto*>(task.photo);
    if (task.success)
        download_rate = task.rate;
    if (task.success && photo)
        photo->Save(task);
    // A waiting Download request ends only with its own photo; any other
    // finished download (an automatic one, say) is reported as usual.
    if (cameratracker_end_download(*this, photo, task.success))
        return;
    GetProcessor()->DownloadAttempt(photo, task.success);
}
} // namespace orvo
