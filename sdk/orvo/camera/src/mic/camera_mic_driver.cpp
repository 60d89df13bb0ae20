// MICDriver: the browser's life, the per-pass tick and camera detection.
#include "orvo/camera/src/mic/camera_mic_driver.h"

#include "orvo/camera/camera_processor.h"
#include "orvo/camera/src/mic/camera_mic_detect.h"
#include "orvo/camera/src/mic/camera_mic_device.h"
#include "orvo/camera/src/mic/camera_mic_libusb.h"
#include "orvo/core/core_log.h"

#include <new>
#include <vector>

namespace orvo
{
namespace
{
const char* text_or_unknown(const std::string& text)
{
    return text.empty() ? "unknown" : text.c_str();
}
} // namespace

CameraDriver* mic_driver_create(CameraProcessor* processor)
{
    return new (std::nothrow) MICDriver(processor);
}

MICDriver::MICDriver(CameraProcessor* processor, mic_backend_factory_t backend_factory)
    : CameraDriver(processor), m_factory(backend_factory ? backend_factory : mic_libusb_initialise), m_ownBackend(),
      m_backend(nullptr), m_ownsBackend(true), m_browser(nullptr), m_options()
{
    camera_text_set(m_name, string_make("MIC"));
}

MICDriver::MICDriver(CameraProcessor* processor, mic_backend_t* backend)
    : CameraDriver(processor), m_factory(nullptr), m_ownBackend(), m_backend(backend), m_ownsBackend(false),
      m_browser(nullptr), m_options()
{
    camera_text_set(m_name, string_make("MIC"));
}

MICDriver::~MICDriver()
{
    Release();
}

bool MICDriver::Initialise()
{
    if (m_browser)
        return true;
    if (m_ownsBackend && !m_backend)
    {
        if (!m_factory(m_ownBackend))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC browser");
            Release();
            return false;
        }
        m_backend = &m_ownBackend;
    }
    if (!m_backend)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC browser");
        return false;
    }
    m_browser = new (std::nothrow) MICBrowser(*m_backend);
    if (!m_browser)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC browser");
        Release();
        return false;
    }
    return true;
}

void MICDriver::Release()
{
    if (m_browser)
    {
        m_browser->Stop();
        delete m_browser;
        m_browser = nullptr;
    }
    // The processor deletes every device before it releases its drivers, so
    // no connection is left on the backend here.
    if (m_ownsBackend && m_backend)
    {
        mic_backend_release(m_ownBackend);
        m_backend = nullptr;
    }
}

void MICDriver::Update()
{
    if (m_browser && m_browser->Tick())
        m_processor->BroadcastCameraAttached();
}

bool MICDriver::HasNativeSupport(const string_t&, const string_t&)
{
    return false;
}

void MICDriver::DetectCameras()
{
    if (!m_browser)
        return;
    m_browser->Start();
    m_browser->Tick();
    const std::vector<mic_usbinfo_t> cameras = m_browser->GetCameras();
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Number of PTP devices: %d", static_cast<int>(cameras.size()));

    std::vector<const mic_usbinfo_t*> found;
    const vector_t<CameraDevice*>& devices = m_processor->GetDevices();
    for (size_t i = 0; i < cameras.size(); ++i)
    {
        const mic_usbinfo_t& camera = cameras[i];
        const bool connected = m_browser->IsConnected(camera.id);
        std::string name;
        const char* type = "";
        const char* location = "";
        const char* transport = "";
        mic_detect_status_t status = MIC_DETECT_NOT_CONNECTED;
        if (connected)
        {
            name = mic_usbinfo_name(camera);
            const u32 bits = mic_usbinfo_type(camera);
            type = mic_devicetype_to_cstr(bits);
            location = mic_locationtype_to_cstr(bits);
            transport = mic_usbinfo_transport(camera);
            const char* shown = text_or_unknown(name);
            const string_t text = string_make(shown);
            const bool native = m_processor->HasNativeSupport(text, text);
            MICDevice* existing = nullptr;
            for (u64 d = 0; d < devices.count && !existing; ++d)
            {
                CameraDevice* device = devices.data[d];
                if (device->GetDriver() != this)
                    continue;
                MICCameraDevice* link = static_cast<MICDevice*>(device)->GetCameraDevice();
                if (link && link->GetCamera().id == camera.id)
                    existing = static_cast<MICDevice*>(device);
            }
            // Every device the backend lists is a still-image interface, so
            // it is a camera that takes PTP commands.
            status = mic_detect_classify(true, shown, bits, true, native, existing != nullptr);
            if (status == MIC_DETECT_ALREADY_DETECTED)
                existing->valid = true;
            if (status == MIC_DETECT_NEW)
                found.push_back(&camera);
        }
        mic_detect_log_device(static_cast<int>(i), connected ? text_or_unknown(name) : "", type, location, transport,
                              mic_detect_status_to_cstr(status));
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Found %llu new PTP cameras",
               static_cast<unsigned long long>(found.size()));

    for (const mic_usbinfo_t* camera : found)
    {
        MICDevice* device = new (std::nothrow) MICDevice(this, *camera, m_processor->GetMTPContext());
        if (!device)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MIC camera: %s",
                       mic_usbinfo_name(*camera).c_str());
            continue;
        }
        if (device->valid)
            m_processor->AddDevice(device);
        else
            delete device;
    }
}
} // namespace orvo
