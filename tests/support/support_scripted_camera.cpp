// The scripted driver, its cameras and their photos.
#include "support/support_scripted_camera.h"

#include <cstdio>

using namespace orvo;

namespace lumivane_test
{
// --- photos ------------------------------------------------------------------------------------------

ScriptedPhoto::ScriptedPhoto(CameraDevice* device, const cameratracker_t* tracker, const std::string& file_name)
    : CameraPhoto(device, tracker)
{
    camera_text_set(camera_file_name, string_make(file_name.c_str()));
    camera_text_set(path, string_make(file_name.c_str()));
    camera_text_set(type, string_make(".JPG"));
    format = IMAGEFORMAT_JPEG;
}

// --- cameras -----------------------------------------------------------------------------------------

ScriptedCamera::ScriptedCamera(ScriptedDriver* driver, const CameraScript& script)
    : CameraDevice(driver, new CameraSettings()), m_scripted(driver), m_calls(driver->Calls(script.serial)),
      m_shots(0)
{
    camera_text_set(model, string_make(script.model.c_str()));
    camera_text_set(serial, string_make(script.serial.c_str()));
    camera_text_set(name, string_make(script.name.c_str()));
    photos_per_shot = script.photos_per_shot;
    liveview_supported = true;
    valid = true;
    // Two settable properties with a range each, so property events carry names.
    m_settings->AddValue(CameraProperty::Aperture, 0, string_make("F/4"));
    m_settings->AddValue(CameraProperty::Aperture, 1, string_make("F/5.6"));
    m_settings->AddValue(CameraProperty::Iso, 0, string_make("100"));
    m_settings->AddValue(CameraProperty::Iso, 1, string_make("200"));
    m_settings->GetProperty(CameraProperty::Aperture).supported = true;
    m_settings->GetProperty(CameraProperty::Iso).supported = true;
}

ScriptedCamera::~ScriptedCamera()
{
    m_calls->deleted.fetch_add(1);
}

CameraScript ScriptedCamera::Script() const
{
    return m_scripted->GetScript(serial.str);
}

void ScriptedCamera::Run(Kind kind, cameratracker_t* t, CameraPhoto* photo)
{
    const CameraScript script = Script();
    const int passes = kind == DOWNLOAD ? script.download_passes : script.passes;
    Pending pending{kind, t, photo, passes, script.succeed};
    if (passes <= 0)
    {
        Finish(pending, script.succeed);
        return;
    }
    m_pending.push_back(pending);
    m_pendingTracker = t;
}

void ScriptedCamera::Finish(const Pending& pending, bool ok)
{
    CameraProcessor* processor = GetProcessor();
    switch (pending.kind)
    {
    case CONNECT:
        processor->SetConnected(ok, this);
        break;
    case DISCONNECT:
        processor->SetDisconnected(ok, this);
        break;
    case DOWNLOAD:
        if (ok)
            pending.photo->downloaded = true;
        // A download of a request is reported by the request's notice.
        if (!pending.tracker)
            processor->DownloadAttempt(pending.photo, ok);
        break;
    case OPERATION:
        break;
    }
    cameratracker_decref(pending.tracker, ok, this);
}

void ScriptedCamera::Update()
{
    // Finish what is due; finishing may queue nothing new, but be safe about it.
    std::vector<Pending> due;
    for (size_t i = 0; i < m_pending.size();)
    {
        if (--m_pending[i].passes <= 0)
        {
            due.push_back(m_pending[i]);
            m_pending.erase(m_pending.begin() + static_cast<long>(i));
        }
        else
            ++i;
    }
    m_pendingTracker = m_pending.empty() ? nullptr : m_pending.back().tracker;
    for (const Pending& pending : due)
        Finish(pending, pending.succeed);

    // A camera unplugged since the last pass reports itself gone once.
    if (valid && !m_scripted->IsAttached(serial.str))
        GetProcessor()->CameraDisconnected(this);
    // What changed on the camera goes out, as a driver does after its update.
    GetProcessor()->BroadcastPropertyStatus(this, false);

    size_t bytes = 0;
    if (m_scripted->TakeFrame(serial.str, bytes))
    {
        std::vector<u8> frame(bytes, 0);
        if (bytes >= 4)
        {
            frame[0] = 0xFF;
            frame[1] = 0xD8;
            frame[bytes - 2] = 0xFF;
            frame[bytes - 1] = 0xD9;
        }
        GetProcessor()->BroadcastLiveview(this, memory_t{frame.data(), frame.size()});
    }
}

void ScriptedCamera::Connect()
{
    m_calls->connect.fetch_add(1);
    Run(CONNECT, nullptr, nullptr);
}

void ScriptedCamera::Disconnect()
{
    m_calls->disconnect.fetch_add(1);
    // Whatever is in flight ends now, as a camera that is shut down does:
    // downloads are reported failed, requests fail.
    std::vector<Pending> pending;
    pending.swap(m_pending);
    m_pendingTracker = nullptr;
    for (const Pending& p : pending)
        Finish(p, false);
    if (connected)
        GetProcessor()->SetDisconnected(true, this);
}

void ScriptedCamera::Download(CameraPhoto* photo)
{
    m_calls->download.fetch_add(1);
    Run(DOWNLOAD, nullptr, photo);
}

void ScriptedCamera::SetProperty(CameraProperty::Type type, unsigned long value)
{
    CameraProperty& property = m_settings->GetProperty(type);
    property.value = value;
    ++property.value_version;
}

void ScriptedCamera::Connect(cameratracker_t* t)
{
    m_calls->connect.fetch_add(1);
    Run(CONNECT, t, nullptr);
}

void ScriptedCamera::Disconnect(cameratracker_t* t)
{
    m_calls->disconnect.fetch_add(1);
    Run(DISCONNECT, t, nullptr);
}

void ScriptedCamera::TakePhoto(cameratracker_t* t, float)
{
    m_calls->take_photo.fetch_add(1);
    const CameraScript script = Script();
    if (script.succeed)
    {
        for (int i = 0; i < photos_per_shot; ++i)
        {
            char file_name[32];
            std::snprintf(file_name, sizeof(file_name), "IMG_%04d.JPG", ++m_shots);
            GetProcessor()->AddPhoto(this, new ScriptedPhoto(this, t, file_name));
        }
    }
    else
        ++photos_failed;
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::Autofocus(cameratracker_t* t)
{
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::Download(cameratracker_t* t, CameraPhoto* photo)
{
    m_calls->download.fetch_add(1);
    Run(DOWNLOAD, t, photo);
}

void ScriptedCamera::EnableLiveview(cameratracker_t* t, bool on)
{
    liveview_enabled = on;
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::EnableLiveviewZoom(cameratracker_t* t, bool on)
{
    liveview_zoom_enabled = on;
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::SetLiveviewFocus(cameratracker_t* t, int)
{
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::SetLiveviewPosition(cameratracker_t* t, int x, int y)
{
    m_calls->position.fetch_add(1);
    m_calls->last_x.store(x);
    m_calls->last_y.store(y);
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::EnableDof(cameratracker_t* t, bool on)
{
    dof_enabled = on;
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::EnableVideo(cameratracker_t* t, bool on)
{
    video_recording = on;
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::SetProperty(cameratracker_t* t, CameraProperty::Type type, unsigned long value)
{
    m_calls->property.fetch_add(1);
    if (Script().succeed)
        SetProperty(type, value);
    Run(OPERATION, t, nullptr);
}

void ScriptedCamera::SetShutterButton(cameratracker_t* t, int state)
{
    m_calls->shutter.fetch_add(1);
    m_calls->last_shutter.store(state);
    Run(OPERATION, t, nullptr);
}

// --- the driver ----------------------------------------------------------------------------------------

ScriptedDriver::ScriptedDriver(CameraProcessor* processor, bool fail_initialise, const char* name)
    : CameraDriver(processor), m_failInitialise(fail_initialise)
{
    camera_text_set(m_name, string_make(name));
}

ScriptedDriver::~ScriptedDriver() = default;

bool ScriptedDriver::Initialise()
{
    initialised.fetch_add(1);
    return !m_failInitialise;
}

void ScriptedDriver::Release()
{
    released.fetch_add(1);
}

void ScriptedDriver::Update()
{
}

void ScriptedDriver::DetectCameras()
{
    std::vector<CameraScript> attached;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_attached)
            attached.push_back(entry.second);
    }
    for (const CameraScript& script : attached)
        GetProcessor()->AddDevice(new ScriptedCamera(this, script));
}

bool ScriptedDriver::HasNativeSupport(const string_t&, const string_t&)
{
    return false;
}

void ScriptedDriver::Attach(const CameraScript& script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attached[script.serial] = script;
    if (!m_calls.count(script.serial))
        m_calls[script.serial] = std::make_shared<CameraCalls>();
}

void ScriptedDriver::Detach(const std::string& serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attached.erase(serial);
}

void ScriptedDriver::SetScript(const CameraScript& script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_attached.find(script.serial);
    if (found != m_attached.end())
        found->second = script;
}

CameraScript ScriptedDriver::GetScript(const std::string& serial) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_attached.find(serial);
    if (found != m_attached.end())
        return found->second;
    CameraScript gone;
    gone.serial = serial;
    gone.succeed = false;
    return gone;
}

std::shared_ptr<CameraCalls> ScriptedDriver::Calls(const std::string& serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<CameraCalls>& calls = m_calls[serial];
    if (!calls)
        calls = std::make_shared<CameraCalls>();
    return calls;
}

bool ScriptedDriver::IsAttached(const std::string& serial) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_attached.count(serial) != 0;
}

bool ScriptedDriver::TakeFrame(const std::string& serial, size_t& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_attached.find(serial);
    if (found == m_attached.end() || found->second.frames_left <= 0)
        return false;
    --found->second.frames_left;
    bytes = found->second.frame_bytes;
    return true;
}
} // namespace lumivane_test
