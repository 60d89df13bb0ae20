// The container-level adapter: a responder Camera seen as a USB still-image
// device on the loopback backend. Bulk-out bytes are cut into command and data
// containers, each transaction runs on the Camera, and its data and response
// go back as containers in packets of the endpoint's size (with or without the
// zero-length packet after a container that fills its last packet); events
// leave as event containers on the interrupt endpoint. The session, the
// transaction ids and the class requests are the adapter's; so are the faults
// that only exist on the wire (stall, silence, broken lengths, wrong ids,
// removal in the middle of a transfer).
#pragma once

#include "support/ptpsim/ptpsim_camera.h"

#include "orvo/camera/src/mic/camera_mic_backend.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ptpsim
{
struct UsbOptions
{
    uint16_t bulk_packet = 512;
    uint16_t interrupt_packet = 64;
    bool zlp = true; // a zero-length packet after a container that fills its last packet
    std::string manufacturer = "Lumivane Test";
    std::string product = "Responder Camera";
    std::string serial = "0001";
    bool session_open = false; // a session left open by an earlier program
};

// One wire fault, matched against each transaction (operation 0: any but the
// session operations), for `remaining` transactions (-1: always).
struct UsbFault
{
    enum class Kind
    {
        kStall,               // halt bulk-in instead of answering
        kNoAnswer,            // send nothing at all; Get Device Status then answers Device Busy `value` times
        kNoResponse,          // send the data, then nothing
        kDataLength,          // the data container's length field reads `value`
        kTruncateData,        // send only `value` bytes of the data container
        kOverlongData,        // `value` bytes of filler after the data container
        kDataTransaction,     // the data container carries the id plus `value`
        kResponseTransaction, // the response carries the id plus `value`
        kResponseLength,      // the response's length field reads `value`
        kResponseForData,     // the response alone where data was due
        kUnplugInData,        // the device goes after `value` bytes of the data container
    };
    Kind kind = Kind::kNoAnswer;
    uint16_t operation = 0;
    int remaining = 1;
    uint64_t value = 0;
};

class UsbCamera
{
public:
    // Attaches the device to a loopback backend and routes the camera's
    // events to its interrupt endpoint.
    UsbCamera(Camera& camera, orvo::mic_backend_t& backend, const UsbOptions& options = UsbOptions());
    ~UsbCamera(); // stops the events and unplugs
    UsbCamera(const UsbCamera&) = delete;
    UsbCamera& operator=(const UsbCamera&) = delete;

    orvo::mic_usbinfo_t info() const;
    void add_fault(const UsbFault& fault);
    void unplug();
    void set_busy(bool busy);
    // Returns once the camera's due events went through the interrupt
    // endpoint to the host's callback.
    void drain_events();

    // What the host did.
    struct Command
    {
        uint16_t operation;
        uint32_t transaction;
        std::vector<uint32_t> parameters;
    };
    std::vector<Command> commands();
    Bytes last_data_out();
    bool session_open();
    int cancels();
    int status_requests();
    int resets();
    // Broken wire rules (ids not counting up, containers of wrong length,
    // data-out without its command), one line each.
    std::vector<std::string> violations();

private:
    void on_bulk_out(const uint8_t* data, uint64_t length);
    void run(const Command& command, const Bytes* out);
    void send_container(uint16_t type, uint16_t code, uint32_t transaction, uint64_t length_field,
                        std::shared_ptr<DataIn> payload, uint64_t payload_size, uint64_t extra, uint64_t detach_at);
    void send_response(uint16_t code, uint32_t transaction, uint64_t length_field);
    bool take_fault(uint16_t operation, UsbFault& fault);
    orvo::mic_status_t on_control(uint8_t type, uint8_t request, uint8_t* data, uint16_t length, uint64_t& done);
    void on_event(uint16_t code, const std::vector<uint32_t>& parameters);

    Camera& m_camera;
    orvo::mic_backend_t& m_backend;
    UsbOptions m_options;
    orvo::mic_usbinfo_t m_info;
    uint64_t m_id = 0;
    std::mutex m_mutex;
    Bytes m_stream; // bulk-out bytes not yet a whole container
    bool m_have_pending = false;
    Command m_pending; // a command whose data-out container is due
    std::vector<UsbFault> m_faults;
    std::vector<Command> m_commands;
    Bytes m_last_out;
    bool m_session_open = false;
    bool m_have_last = false;
    uint32_t m_last_transaction = 0;
    int m_cancels = 0;
    int m_status_requests = 0;
    int m_resets = 0;
    uint64_t m_busy_polls = 0;
    uint32_t m_event_transaction = 0;
    std::vector<std::string> m_violations;
};
} // namespace ptpsim
