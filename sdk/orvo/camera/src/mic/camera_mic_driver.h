// MICDriver: the camera driver of USB still-image cameras. It owns a backend
// (libusb for the program, loopback in tests) and a MICBrowser over it, ticks
// the browser every pass (a new arrival asks for a detection), and on each
// detection turns every newly attached PTP camera into a connected MICDevice
// that it hands to the processor. The processor makes it through
// mic_driver_create unless told otherwise (CameraProcessor::SetPTPDriverFactory).
#pragma once

#include "orvo/camera/camera_device.h"
#include "orvo/camera/src/mic/camera_mic_backend.h"
#include "orvo/camera/src/mic/camera_mic_browser.h"
#include "orvo/camera/src/mic/camera_mic_transport.h"

namespace orvo
{
// Makes the backend a driver uses; false (logged) when it cannot.
typedef bool (*mic_backend_factory_t)(mic_backend_t& backend);

class MICDriver : public CameraDriver
{
public:
    // Name "MIC". Without a factory the driver uses libusb.
    MICDriver(CameraProcessor* processor, mic_backend_factory_t backend_factory = nullptr);
    // Uses a backend that the caller owns and keeps alive (tests).
    MICDriver(CameraProcessor* processor, mic_backend_t* backend);
    ~MICDriver() override;

    bool Initialise() override;
    void Release() override;
    void Update() override;
    void DetectCameras() override;
    bool HasNativeSupport(const string_t& make, const string_t& model) override;

    // Null before Initialise and after Release.
    MICBrowser* GetMICDriver() const { return m_browser; }
    mic_backend_t* GetBackend() const { return m_backend; }
    // Transfer limits of the connections made from now on (zeros: defaults).
    void SetTransportOptions(const mic_transport_options_t& options) { m_options = options; }
    const mic_transport_options_t& GetTransportOptions() const { return m_options; }

private:
    mic_backend_factory_t m_factory;
    mic_backend_t m_ownBackend;
    mic_backend_t* m_backend; // m_ownBackend once made, or the caller's
    bool m_ownsBackend;
    MICBrowser* m_browser;
    mic_transport_options_t m_options;
};

// The processor's default factory for the USB driver (libusb backend).
CameraDriver* mic_driver_create(CameraProcessor* processor);
} // namespace orvo
