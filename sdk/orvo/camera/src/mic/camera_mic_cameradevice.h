// MICCameraDevice: one USB camera's connection, the object the camera device
// of the camera layer owns. Connecting opens the USB device, the PTP session
// and the event transfer (events go to the camera's mtp_device_t); every send
// is one transaction of the transport and answers its response code: 0x2003
// when not connected, 0x2002 when the camera went away or the transfer broke.
#pragma once

#include "orvo/camera/mtp_codec.h"
#include "orvo/camera/mtp_device.h"
#include "orvo/camera/src/mic/camera_mic_backend.h"
#include "orvo/camera/src/mic/camera_mic_transport.h"

namespace orvo
{
class MICCameraDevice
{
public:
    // Stores the device and the PTP record the events go to (not owned; it
    // must outlive the connection). Nothing is opened yet.
    MICCameraDevice(mic_backend_t& backend, const mic_usbinfo_t& camera, mtp_device_t* mtp,
                    const mic_transport_options_t* options = nullptr);
    ~MICCameraDevice(); // disconnects
    MICCameraDevice(const MICCameraDevice&) = delete;
    MICCameraDevice& operator=(const MICCameraDevice&) = delete;

    // Opens the device and the session and starts the events. False (logged)
    // when another program holds the camera, access is denied, the camera is
    // gone or refuses the session.
    bool Connect();
    // Stops the events (waiting for the transfer's end), closes the session
    // and the device.
    void Disconnect();

    // One transaction: input is the data to send (null or empty for none),
    // output receives the data the camera sends (null when none is wanted;
    // cleared first).
    int Send(u16 operation, const u32* parameters, u32 count, const mtp_buffer_t* input, mtp_buffer_t* output);
    int Execute(u16 operation, const u32* parameters, u32 count);
    int Read(u16 operation, const u32* parameters, u32 count, mtp_buffer_t& buffer);
    int Write(u16 operation, const u32* parameters, u32 count, const mtp_buffer_t& buffer);

    // Connected and not removed since.
    bool IsConnected() const;
    const mic_usbinfo_t& GetCamera() const { return m_camera; }
    const char* GetName() const { return m_name.c_str(); }
    // The response code of the last send; 0x2003 before any.
    int GetResponse() const { return m_response; }
    mic_transport_t& GetTransport() { return m_transport; }

private:
    mic_backend_t& m_backend;
    mic_usbinfo_t m_camera;
    std::string m_name;
    mtp_device_t* m_mtp;
    mic_transport_options_t m_options;
    mic_transport_t m_transport;
    bool m_isOpen;      // the transport holds the device
    bool m_isConnected; // the session is open
    int m_response;
};
} // namespace orvo
