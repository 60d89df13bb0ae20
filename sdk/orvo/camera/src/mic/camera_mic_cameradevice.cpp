// MICCameraDevice over the transport.
#include "orvo/camera/src/mic/camera_mic_cameradevice.h"

#include "orvo/core/core_log.h"

namespace orvo
{
MICCameraDevice::MICCameraDevice(mic_backend_t& backend, const mic_usbinfo_t& camera, mtp_device_t* mtp,
                                 const mic_transport_options_t* options)
    : m_backend(backend), m_camera(camera), m_name(mic_usbinfo_name(camera)), m_mtp(mtp),
      m_options(options ? *options : mic_transport_options_t()), m_transport(), m_isOpen(false),
      m_isConnected(false), m_response(MIC_RESPONSE_SESSION_NOT_OPEN)
{
}

MICCameraDevice::~MICCameraDevice()
{
    Disconnect();
}

bool MICCameraDevice::Connect()
{
    if (IsConnected())
        return true;
    Disconnect();
    if (!mic_transport_initialise(m_transport, m_backend, m_camera, &m_options))
        return false;
    m_isOpen = true;
    if (!mic_transport_open_session(m_transport))
    {
        Disconnect();
        return false;
    }
    if (m_mtp && !mic_transport_start_events(m_transport, m_mtp))
    {
        Disconnect();
        return false;
    }
    m_isConnected = true;
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MIC camera ready: %s", m_name.c_str());
    return true;
}

void MICCameraDevice::Disconnect()
{
    if (!m_isOpen)
        return;
    // The event transfer ends before the session and the device go, so that
    // no event reaches a record that is about to be released.
    mic_transport_release(m_transport);
    m_isOpen = false;
    m_isConnected = false;
}

bool MICCameraDevice::IsConnected() const
{
    return m_isConnected && !mic_transport_is_removed(m_transport);
}

int MICCameraDevice::Send(u16 operation, const u32* parameters, u32 count, const mtp_buffer_t* input,
                          mtp_buffer_t* output)
{
    if (output)
        mtp_buffer_clear(*output);
    if (!IsConnected())
    {
        if (m_isConnected)
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MIC camera removed: %s", m_name.c_str());
        m_isConnected = false;
        m_response = m_isOpen && mic_transport_is_removed(m_transport) ? MIC_RESPONSE_GENERAL_ERROR
                                                                        : MIC_RESPONSE_SESSION_NOT_OPEN;
        return m_response;
    }
    const u8* out = input && input->length ? input->data : nullptr;
    u64 out_length = input ? input->length : 0;
    m_response = mic_transport_transact(m_transport, operation, parameters, count, out, out_length, output);
    if (m_response == MIC_RESPONSE_OK)
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA, "Sent PTP command to camera: %s", m_name.c_str());
    return m_response;
}

int MICCameraDevice::Execute(u16 operation, const u32* parameters, u32 count)
{
    return Send(operation, parameters, count, nullptr, nullptr);
}

int MICCameraDevice::Read(u16 operation, const u32* parameters, u32 count, mtp_buffer_t& buffer)
{
    return Send(operation, parameters, count, nullptr, &buffer);
}

int MICCameraDevice::Write(u16 operation, const u32* parameters, u32 count, const mtp_buffer_t& buffer)
{
    return Send(operation, parameters, count, &buffer, nullptr);
}
} // namespace orvo
