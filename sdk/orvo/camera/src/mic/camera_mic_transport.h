// The PTP transport over one USB still-image interface: opens the device
// through a backend, opens and closes the PTP session, numbers transactions
// from 1 upward and checks the number of every data and response container,
// carries one transaction at a time (command, optional data phase, response),
// recovers from stalls, time-outs and broken framing with the still-image
// class requests, and hands interrupt events to mtp_device_handle. Every wait
// ends at a time-out; a removed device answers 0x2002 at once.
#pragma once

#include "orvo/camera/mtp_codec.h"
#include "orvo/camera/mtp_device.h"
#include "orvo/camera/src/mic/camera_mic_backend.h"
#include "orvo/camera/src/mic/camera_mic_container.h"

#include <atomic>
#include <mutex>
#include <string>

namespace orvo
{
// Response codes the transport itself answers.
const u16 MIC_RESPONSE_OK = 0x2001;
const u16 MIC_RESPONSE_GENERAL_ERROR = 0x2002;
const u16 MIC_RESPONSE_SESSION_NOT_OPEN = 0x2003;
const u16 MIC_RESPONSE_SESSION_ALREADY_OPEN = 0x201E;
const u16 MIC_RESPONSE_DEVICE_BUSY = 0x2019;

// Still-image class requests.
const u8 MIC_REQUEST_CANCEL = 0x64;
const u8 MIC_REQUEST_RESET = 0x66;
const u8 MIC_REQUEST_DEVICE_STATUS = 0x67;

// A zeroed record is valid: each zero takes the default named.
struct mic_transport_options_t
{
    u32 timeout_ms;       // every transfer; 0: 10000
    u32 short_timeout_ms; // speculative reads while recovering; 0: 100
    u64 chunk_bytes;      // bulk reads and writes; 0: 1 MiB (rounded to whole packets)
};

struct mic_transport_t
{
    mic_backend_t* backend;
    void* handle; // the opened device, null when closed
    mic_usbinfo_t info;
    std::string name;
    mic_transport_options_t options; // resolved
    std::mutex* lock;                // one transaction at a time
    u32 next_transaction;            // of the next command after OpenSession
    bool session_open;
    std::atomic<bool> removed;
    std::atomic<mtp_device_t*> device; // where events go; null: dropped
    bool events_running;
    mic_eventparser_t events; // event thread only
    u8* staging;              // chunk_bytes of bulk buffer
    // Counted for the tests and the log: recoveries run, events passed on.
    std::atomic<u32> recoveries;
    std::atomic<u32> events_delivered;
};

// --- lifecycle ------------------------------------------------------------------
// Opens the device and claims its interface. False (logged) when the device is
// gone, another program holds it (the log says how to release it) or access
// is denied; the record is then released.
bool mic_transport_initialise(mic_transport_t& transport, mic_backend_t& backend, const mic_usbinfo_t& info,
                              const mic_transport_options_t* options = nullptr);
// Stops events, closes a session still open (unless the device is gone) and
// closes the device. Safe twice and on a zeroed record.
void mic_transport_release(mic_transport_t& transport);

// --- session --------------------------------------------------------------------
// OpenSession (session id 1, transaction 0); a camera that answers
// SessionAlreadyOpen is taken as open. Transactions then count from 1.
bool mic_transport_open_session(mic_transport_t& transport);
// CloseSession when open; the session counts as closed afterwards either way.
void mic_transport_close_session(mic_transport_t& transport);

// --- transactions ---------------------------------------------------------------
// One transaction: the command, `out_length` bytes of data out when out is
// given and not empty, the data in into `in` when given (cleared first; on
// return it holds exactly the bytes that arrived), then the response. Answers
// the camera's response code, 0x2003 without a session, 0x2002 on any
// transport failure (after recovery) or when the device is gone.
u16 mic_transport_transact(mic_transport_t& transport, u16 operation, const u32* parameters, u32 count,
                           const u8* out, u64 out_length, mtp_buffer_t* in);

// The engine's transport callbacks with the transport as user.
mtp_response_t mic_transport_execute(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters,
                                     u32 count, void* user);
mtp_response_t mic_transport_read(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters, u32 count,
                                  mtp_buffer_t& buffer, void* user);
mtp_response_t mic_transport_write(mtp_protocol_t protocol, mtp_command_t operation, const u32* parameters,
                                   u32 count, const mtp_buffer_t& buffer, void* user);

// --- events ---------------------------------------------------------------------
// Starts the interrupt transfer; events go to mtp_device_handle of the device
// (unless it reads its events by polling). The device must stay alive until
// mic_transport_stop_events returns.
bool mic_transport_start_events(mic_transport_t& transport, mtp_device_t* device);
// Cancels the interrupt transfer and waits for its end.
void mic_transport_stop_events(mic_transport_t& transport);

// --- state ----------------------------------------------------------------------
bool mic_transport_is_removed(const mic_transport_t& transport);
// Marks the device gone (the browser saw it leave): every later transaction
// answers 0x2002 at once. A transfer in flight ends through the backend, which
// fails it as soon as the device is gone.
void mic_transport_set_removed(mic_transport_t& transport);
} // namespace orvo
