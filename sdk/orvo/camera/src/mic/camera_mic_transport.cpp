// One PTP transaction at a time over a still-image interface. Data in is read
// in chunks of whole packets straight into the caller's buffer, which grows by
// what arrived (the container's length field only bounds the reads); the
// response may arrive in the same transfer as the data's last packet when the
// camera sends no zero-length packet. Broken framing, stalls and time-outs end
// in the class requests Cancel and Get Device Status, a drain of stale bytes,
// and 0x2002.
#include "orvo/camera/src/mic/camera_mic_transport.h"

#include "orvo/camera/mtp_codes.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <cstdlib>
#include <cstring>

namespace orvo
{
namespace
{
const u16 kOpenSession = 0x1002;
const u16 kCloseSession = 0x1003;
const u32 kDefaultTimeoutMs = 10000;
const u32 kDefaultShortTimeoutMs = 100;
const u64 kDefaultChunk = 1u << 20;
// A caller whose buffer already holds this much expects a large data phase
// (a photo): the first read then takes one packet, the header and the first
// bytes, and everything after it lands straight in the caller's buffer
// instead of passing through the staging buffer.
const u64 kDirectReadCapacity = 256u << 10;
// Zero-length packets skipped before a container starts: the one a camera may
// send after a data phase that ended on a packet boundary, and a spare.
const int kMaxZeroLengthReads = 3;
// Get Device Status polls while a recovering camera still reports busy.
const int kMaxStatusPolls = 10;
// Reads that empty the pipe of a broken transaction.
const int kMaxDrainReads = 64;

u16 packet_size(const mic_transport_t& t)
{
    return t.info.bulk_packet_size ? t.info.bulk_packet_size : 512;
}

u64 round_up(u64 n, u64 packet)
{
    return (n + packet - 1) / packet * packet;
}

const char* op_name(u16 operation)
{
    return mtp_command_to_cstr(MTP_PROTOCOL_GENERIC, operation);
}

void mark_removed(mic_transport_t& t)
{
    if (!t.removed.exchange(true))
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "USB camera removed: %s", t.name.c_str());
}

mic_status_t bulk_in(mic_transport_t& t, u8* data, u64 capacity, u32 timeout_ms, u64& received)
{
    received = 0;
    if (t.removed.load())
        return MIC_STATUS_NO_DEVICE;
    mic_status_t status = t.backend->bulk_in(t.handle, data, capacity, timeout_ms, received);
    if (status == MIC_STATUS_NO_DEVICE)
        mark_removed(t);
    return status;
}

mic_status_t bulk_out(mic_transport_t& t, const u8* data, u64 length, u64& sent)
{
    sent = 0;
    if (t.removed.load())
        return MIC_STATUS_NO_DEVICE;
    mic_status_t status = t.backend->bulk_out(t.handle, data, length, t.options.timeout_ms, sent);
    if (status == MIC_STATUS_NO_DEVICE)
        mark_removed(t);
    return status;
}

mic_status_t control(mic_transport_t& t, u8 request_type, u8 request, u8* data, u16 length, u64& done)
{
    done = 0;
    if (t.removed.load())
        return MIC_STATUS_NO_DEVICE;
    mic_status_t status =
        t.backend->control(t.handle, request_type, request, 0, data, length, t.options.timeout_ms, done);
    if (status == MIC_STATUS_NO_DEVICE)
        mark_removed(t);
    return status;
}

void clear_halt(mic_transport_t& t, u8 endpoint)
{
    if (!t.removed.load() && t.backend->clear_halt(t.handle, endpoint) == MIC_STATUS_NO_DEVICE)
        mark_removed(t);
}

// Brings the interface back to idle after a broken transaction: clear a
// halted pipe, cancel the transaction, wait until the camera reports OK
// (resetting it when it never does), then read and drop whatever is left.
void recover(mic_transport_t& t, u32 transaction, u8 stalled_endpoint)
{
    if (t.removed.load())
        return;
    t.recoveries.fetch_add(1);
    u64 done = 0;
    if (stalled_endpoint)
        clear_halt(t, stalled_endpoint);
    else
    {
        u8 cancel[6] = {0x01, 0x40, static_cast<u8>(transaction), static_cast<u8>(transaction >> 8),
                        static_cast<u8>(transaction >> 16), static_cast<u8>(transaction >> 24)};
        control(t, 0x21, MIC_REQUEST_CANCEL, cancel, sizeof(cancel), done);
    }
    bool idle = false;
    for (int poll = 0; poll < kMaxStatusPolls && !t.removed.load(); ++poll)
    {
        u8 status[20] = {};
        if (control(t, 0xA1, MIC_REQUEST_DEVICE_STATUS, status, sizeof(status), done) != MIC_STATUS_OK || done < 4)
            break;
        u16 code = static_cast<u16>(status[2] | (status[3] << 8));
        // Endpoints the camera halted follow the code, one 32-bit word each.
        for (u64 i = 4; i + 4 <= done; i += 4)
            clear_halt(t, status[i]);
        if (code == MIC_RESPONSE_OK)
        {
            idle = true;
            break;
        }
        thread_sleep(t.options.short_timeout_ms, TIMEUNIT_MILLISECONDS);
    }
    if (!idle && !t.removed.load())
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "USB camera did not report ready after a cancel, resetting: %s",
                   t.name.c_str());
        control(t, 0x21, MIC_REQUEST_RESET, nullptr, 0, done);
    }
    for (int i = 0; i < kMaxDrainReads && !t.removed.load(); ++i)
    {
        u64 n = 0;
        mic_status_t status = bulk_in(t, t.staging, t.options.chunk_bytes, t.options.short_timeout_ms, n);
        if (status == MIC_STATUS_STALL)
            clear_halt(t, t.info.bulk_in);
        if (status != MIC_STATUS_OK)
            break;
    }
}

// Logs a failed transfer or broken framing, recovers and answers 0x2002.
u16 fail(mic_transport_t& t, u16 operation, u32 transaction, const char* what, mic_status_t status,
         u8 stalled_endpoint = 0)
{
    if (status == MIC_STATUS_NO_DEVICE || t.removed.load())
    {
        mark_removed(t);
        return MIC_RESPONSE_GENERAL_ERROR;
    }
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "USB transaction failed: %s - %s (transaction %u): %s - %s",
               t.name.c_str(), op_name(operation), transaction, what, mic_status_to_cstr(status));
    recover(t, transaction, status == MIC_STATUS_STALL ? stalled_endpoint : 0);
    return MIC_RESPONSE_GENERAL_ERROR;
}

u16 fail_framing(mic_transport_t& t, u16 operation, u32 transaction, const char* what)
{
    return fail(t, operation, transaction, what, MIC_STATUS_ERROR);
}

// Makes room for `need` bytes keeping the first `have`; grows geometrically
// so that a long data phase copies each byte at most about twice.
bool reserve(mtp_buffer_t& buffer, u64 have, u64 need)
{
    if (need == 0 || (buffer.owned && buffer.capacity >= need))
        return true;
    u64 capacity = buffer.capacity * 2 > need ? buffer.capacity * 2 : need;
    mtp_buffer_t bigger;
    mtp_buffer_initialise(bigger);
    if (!mtp_buffer_allocate(bigger, capacity))
        return false;
    if (have)
        std::memcpy(bigger.data, buffer.data, have);
    mtp_buffer_release(buffer);
    buffer = bigger;
    buffer.length = have;
    return true;
}

// Sends the data container: header and payload in transfers of whole packets
// but the last, and a zero-length packet when the container ends on a
// packet boundary, so that the camera sees where it ends.
u16 send_data(mic_transport_t& t, u16 operation, u32 transaction, const u8* out, u64 length)
{
    u64 chunk = t.options.chunk_bytes;
    u64 total = length + MIC_CONTAINER_HEADER_SIZE;
    mic_container_write_data_header(t.staging, operation, transaction, length);
    u64 first = total < chunk ? total : chunk;
    std::memcpy(t.staging + MIC_CONTAINER_HEADER_SIZE, out, first - MIC_CONTAINER_HEADER_SIZE);
    u64 sent = 0;
    mic_status_t status = bulk_out(t, t.staging, first, sent);
    if (status != MIC_STATUS_OK || sent != first)
        return fail(t, operation, transaction, "sending data", status == MIC_STATUS_OK ? MIC_STATUS_ERROR : status,
                    t.info.bulk_out);
    u64 offset = first - MIC_CONTAINER_HEADER_SIZE;
    while (offset < length)
    {
        u64 n = length - offset < chunk ? length - offset : chunk;
        status = bulk_out(t, out + offset, n, sent);
        if (status != MIC_STATUS_OK || sent != n)
            return fail(t, operation, transaction, "sending data",
                        status == MIC_STATUS_OK ? MIC_STATUS_ERROR : status, t.info.bulk_out);
        offset += n;
    }
    if (total % packet_size(t) == 0)
    {
        status = bulk_out(t, t.staging, 0, sent);
        if (status != MIC_STATUS_OK)
            return fail(t, operation, transaction, "ending data", status, t.info.bulk_out);
    }
    return MIC_RESPONSE_OK;
}

// Reads until a container starts, skipping zero-length packets. A transfer
// that timed out after some bytes came is taken as ended there: a camera
// whose container filled its last packet and that sent no zero-length packet
// leaves the read open.
mic_status_t read_start(mic_transport_t& t, u8* data, u64 capacity, u64& received)
{
    mic_status_t status = MIC_STATUS_OK;
    for (int i = 0; i < kMaxZeroLengthReads; ++i)
    {
        status = bulk_in(t, data, capacity, t.options.timeout_ms, received);
        if (status == MIC_STATUS_TIMEOUT && received > 0)
            return MIC_STATUS_OK;
        if (status != MIC_STATUS_OK || received > 0)
            return status;
    }
    return status;
}

// Reads the response container, starting with `have` bytes already in the
// staging buffer (what followed the data in the same transfer).
u16 read_response(mic_transport_t& t, u16 operation, u32 transaction, u64 have, bool ended)
{
    u64 packet = packet_size(t);
    u64 chunk = t.options.chunk_bytes;
    for (;;)
    {
        if (have >= MIC_CONTAINER_HEADER_SIZE)
        {
            mic_container_header_t header;
            mic_container_read_header(t.staging, have, header);
            if (header.type != MIC_CONTAINER_RESPONSE)
                return fail_framing(t, operation, transaction, "expected a response container");
            if (header.length < MIC_CONTAINER_HEADER_SIZE || header.length > MIC_MAX_COMMAND_SIZE)
                return fail_framing(t, operation, transaction, "response container of impossible length");
            if (have > header.length)
                return fail_framing(t, operation, transaction, "bytes beyond the response container");
            if (have == header.length)
                break;
        }
        if (ended && have > 0)
            return fail_framing(t, operation, transaction, "response container cut short");
        u64 n = 0;
        mic_status_t status = have == 0 ? read_start(t, t.staging, chunk, n)
                                        : bulk_in(t, t.staging + have, (chunk - have) / packet * packet,
                                                  t.options.timeout_ms, n);
        if (status == MIC_STATUS_TIMEOUT && n > 0)
            status = MIC_STATUS_OK;
        if (status != MIC_STATUS_OK)
            return fail(t, operation, transaction, "reading the response", status, t.info.bulk_in);
        if (n == 0)
            return fail_framing(t, operation, transaction, "no response container");
        have += n;
        ended = n % packet != 0;
    }
    mic_response_t response;
    if (!mic_container_read_response(t.staging, have, response))
        return fail_framing(t, operation, transaction, "malformed response container");
    if (response.transaction != transaction)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "USB camera answered transaction %u, expected %u: %s - %s",
                   response.transaction, transaction, t.name.c_str(), op_name(operation));
        return fail_framing(t, operation, transaction, "wrong transaction id in the response");
    }
    return response.code;
}

u16 receive_data(mic_transport_t& t, u16 operation, u32 transaction, const mic_container_header_t& header, u64 got,
                 u64 asked, mtp_buffer_t& data);

// The data-in phase, or the response that came in its place, then the
// response.
u16 receive(mic_transport_t& t, u16 operation, u32 transaction, mtp_buffer_t* in)
{
    u64 packet = packet_size(t);
    u64 chunk = t.options.chunk_bytes;
    u64 got = 0;
    const bool direct = in && in->owned && in->capacity >= kDirectReadCapacity;
    const u64 asked = direct ? packet : chunk;
    mic_status_t status = read_start(t, t.staging, asked, got);
    if (status != MIC_STATUS_OK)
        return fail(t, operation, transaction, "reading", status, t.info.bulk_in);
    if (got == 0)
        return fail_framing(t, operation, transaction, "nothing but zero-length packets");
    if (got < MIC_CONTAINER_HEADER_SIZE)
        return fail_framing(t, operation, transaction, "container shorter than its header");
    mic_container_header_t header;
    mic_container_read_header(t.staging, got, header);
    if (header.type == MIC_CONTAINER_RESPONSE)
        return read_response(t, operation, transaction, got, got % packet != 0);
    if (header.type != MIC_CONTAINER_DATA)
        return fail_framing(t, operation, transaction, "unexpected container type");
    if (!in)
    {
        // Data nobody asked for (an operation sent without output that
        // answers with data anyway) is read and dropped.
        mtp_buffer_t scratch;
        mtp_buffer_initialise(scratch);
        u16 response = receive_data(t, operation, transaction, header, got, asked, scratch);
        mtp_buffer_release(scratch);
        return response;
    }
    return receive_data(t, operation, transaction, header, got, asked, *in);
}

// The data container whose header and first bytes are in the staging buffer
// (got bytes of a read of asked bytes), then the response.
u16 receive_data(mic_transport_t& t, u16 operation, u32 transaction, const mic_container_header_t& header, u64 got,
                 u64 asked, mtp_buffer_t& data)
{
    u64 packet = packet_size(t);
    u64 chunk = t.options.chunk_bytes;
    mtp_buffer_t* in = &data;
    mic_status_t status;
    if (header.transaction != transaction)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "USB camera sent data of transaction %u, expected %u: %s - %s",
                   header.transaction, transaction, t.name.c_str(), op_name(operation));
        return fail_framing(t, operation, transaction, "wrong transaction id in the data container");
    }
    if (header.length < MIC_CONTAINER_HEADER_SIZE)
        return fail_framing(t, operation, transaction, "data container length below its header");

    bool unknown = header.length == MIC_CONTAINER_LENGTH_UNKNOWN;
    u64 expected = unknown ? ~0ull : header.length - MIC_CONTAINER_HEADER_SIZE;
    u64 received = got - MIC_CONTAINER_HEADER_SIZE;
    u64 trailing = 0; // bytes after the data container, moved to the staging start
    if (received > expected)
    {
        trailing = received - expected;
        received = expected;
    }
    // A buffer the caller sized for this very object still lacks the room
    // that reads of whole packets need past its end: it gets that room now,
    // while empty, rather than growing (and copying the object) at the last
    // read. Only the caller's own sizing is trusted here, never the length
    // field alone.
    if (!unknown && in->owned && in->capacity >= kDirectReadCapacity && in->capacity >= expected &&
        in->capacity < expected + packet)
    {
        if (!mtp_buffer_allocate(*in, expected + packet))
            return fail_framing(t, operation, transaction, "no memory for the data");
        mtp_buffer_clear(*in);
    }
    if (!reserve(*in, 0, received))
        return fail_framing(t, operation, transaction, "no memory for the data");
    if (received)
        std::memcpy(in->data, t.staging + MIC_CONTAINER_HEADER_SIZE, received);
    if (trailing)
        std::memmove(t.staging, t.staging + MIC_CONTAINER_HEADER_SIZE + expected, trailing);
    bool ended = got < asked || trailing > 0 || received == expected;
    bool short_end = got % packet != 0; // the transfer ended with a short packet
    while (!ended)
    {
        u64 want = unknown ? chunk : (expected - received < chunk ? expected - received : chunk);
        u64 request = round_up(want, packet);
        if (!reserve(*in, received, received + request))
        {
            in->length = received;
            return fail_framing(t, operation, transaction, "no memory for the data");
        }
        u64 n = 0;
        status = bulk_in(t, in->data + received, request, t.options.timeout_ms, n);
        received += n;
        if (status != MIC_STATUS_OK)
        {
            in->length = received;
            return fail(t, operation, transaction, "reading data", status, t.info.bulk_in);
        }
        short_end = n % packet != 0;
        if (n < request)
            ended = true;
        if (received > expected)
        {
            trailing = received - expected;
            std::memcpy(t.staging, in->data + expected, trailing);
            received = expected;
        }
        if (received == expected)
            ended = true;
    }
    in->length = received;
    if (!unknown && received < expected)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA,
                   "USB camera sent %llu of the %llu data bytes it announced: %s - %s",
                   static_cast<unsigned long long>(received), static_cast<unsigned long long>(expected),
                   t.name.c_str(), op_name(operation));
    return read_response(t, operation, transaction, trailing, trailing > 0 && short_end);
}

// Command, data out, data in, response, under the transaction lock.
u16 run(mic_transport_t& t, u16 operation, u32 transaction, const u32* parameters, u32 count, const u8* out,
        u64 out_length, mtp_buffer_t* in)
{
    u8 command[MIC_MAX_COMMAND_SIZE];
    u32 size = mic_container_write_command(command, operation, transaction, parameters, count);
    if (size == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Too many parameters for a USB command: %s - %s (%u)",
                   t.name.c_str(), op_name(operation), count);
        return MIC_RESPONSE_GENERAL_ERROR;
    }
    u64 sent = 0;
    mic_status_t status = bulk_out(t, command, size, sent);
    if (status != MIC_STATUS_OK || sent != size)
        return fail(t, operation, transaction, "sending the command",
                    status == MIC_STATUS_OK ? MIC_STATUS_ERROR : status, t.info.bulk_out);
    if (out && out_length)
    {
        u16 result = send_data(t, operation, transaction, out, out_length);
        if (result != MIC_RESPONSE_OK)
            return result;
    }
    return receive(t, operation, transaction, in);
}

u32 take_transaction(mic_transport_t& t)
{
    u32 id = t.next_transaction;
    // 0 belongs to OpenSession and 0xFFFFFFFF is reserved.
    t.next_transaction = id >= 0xFFFFFFFEu ? 1 : id + 1;
    return id;
}

void on_event(const mic_event_t& event, void* user)
{
    mic_transport_t& t = *static_cast<mic_transport_t*>(user);
    mtp_device_t* device = t.device.load(std::memory_order_acquire);
    if (!device)
        return;
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA, "Received PTP event from MIC camera: %s - %d - %s",
               t.name.c_str(), event.code, mtp_event_to_cstr(device->protocol, event.code));
    // A vendor that reads its events with its own operation gets them there.
    if (device->events_by_polling.load(std::memory_order_acquire))
        return;
    mtp_device_handle(*device, static_cast<mtp_event_t>(event.code), event.parameters, event.num_parameters);
    t.events_delivered.fetch_add(1);
}

void on_interrupt(const u8* bytes, u64 length, mic_status_t status, void* user)
{
    mic_transport_t& t = *static_cast<mic_transport_t*>(user);
    if (status == MIC_STATUS_NO_DEVICE)
    {
        mark_removed(t);
        return;
    }
    if (status != MIC_STATUS_OK)
    {
        mic_eventparser_reset(t.events);
        return;
    }
    mic_eventparser_feed(t.events, bytes, length, on_event, &t);
}
} // namespace

// --- lifecycle ---------------------------------------------------------------------

bool mic_transport_initialise(mic_transport_t& t, mic_backend_t& backend, const mic_usbinfo_t& info,
                              const mic_transport_options_t* options)
{
    t.backend = &backend;
    t.handle = nullptr;
    t.info = info;
    t.name = mic_usbinfo_name(info);
    t.options = options ? *options : mic_transport_options_t();
    if (!t.options.timeout_ms)
        t.options.timeout_ms = kDefaultTimeoutMs;
    if (!t.options.short_timeout_ms)
        t.options.short_timeout_ms = kDefaultShortTimeoutMs;
    u64 packet = packet_size(t);
    u64 chunk = t.options.chunk_bytes ? t.options.chunk_bytes : kDefaultChunk;
    t.options.chunk_bytes = chunk < packet * 2 ? packet * 2 : chunk / packet * packet;
    t.lock = nullptr;
    t.next_transaction = 1;
    t.session_open = false;
    t.removed.store(false);
    t.device.store(nullptr);
    t.events_running = false;
    mic_eventparser_initialise(t.events);
    t.recoveries.store(0);
    t.events_delivered.store(0);
    t.staging = static_cast<u8*>(std::malloc(t.options.chunk_bytes));
    t.lock = new (std::nothrow) std::mutex;
    if (!t.staging || !t.lock)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to allocate the USB transport of camera: %s",
                   t.name.c_str());
        mic_transport_release(t);
        return false;
    }

    mic_status_t status = backend.open(backend.user, info, &t.handle);
    if (status == MIC_STATUS_OK)
        return true;
    t.handle = nullptr;
    switch (status)
    {
    case MIC_STATUS_BUSY:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA,
                   "USB camera is held by another program (its still-image interface is busy): %s. Close the "
                   "program that uses it - on desktops usually the volume monitor that mounts cameras: unmount "
                   "the camera in the file manager - then connect again",
                   t.name.c_str());
        break;
    case MIC_STATUS_ACCESS:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA,
                   "No permission to open USB camera: %s. Install the udev rule from packaging/ (see the README) "
                   "and plug the camera in again",
                   t.name.c_str());
        break;
    case MIC_STATUS_NO_DEVICE:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "USB camera was removed before it could be opened: %s",
                   t.name.c_str());
        break;
    default:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to open USB camera: %s - %s", t.name.c_str(),
                   mic_status_to_cstr(status));
        break;
    }
    mic_transport_release(t);
    return false;
}

void mic_transport_release(mic_transport_t& t)
{
    mic_transport_stop_events(t);
    if (t.handle)
    {
        mic_transport_close_session(t);
        t.backend->close(t.backend->user, t.handle);
        t.handle = nullptr;
    }
    std::free(t.staging);
    t.staging = nullptr;
    delete t.lock;
    t.lock = nullptr;
    t.session_open = false;
}

// --- session -------------------------------------------------------------------------

bool mic_transport_open_session(mic_transport_t& t)
{
    if (!t.handle || !t.lock)
        return false;
    std::lock_guard<std::mutex> guard(*t.lock);
    if (t.session_open)
        return true;
    if (t.removed.load())
        return false;
    const u32 session = 1;
    u16 response = run(t, kOpenSession, 0, &session, 1, nullptr, 0, nullptr);
    if (response == MIC_RESPONSE_SESSION_ALREADY_OPEN)
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "USB camera already had a session open, using it: %s",
                   t.name.c_str());
    else if (response != MIC_RESPONSE_OK)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to open session for MIC camera: %s - %s",
                   t.name.c_str(), mtp_response_to_cstr(MTP_PROTOCOL_GENERIC, response));
        return false;
    }
    t.session_open = true;
    t.next_transaction = 1;
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Opened session to MIC camera: %s", t.name.c_str());
    return true;
}

void mic_transport_close_session(mic_transport_t& t)
{
    if (!t.handle || !t.lock)
        return;
    std::lock_guard<std::mutex> guard(*t.lock);
    if (!t.session_open)
        return;
    t.session_open = false;
    if (t.removed.load())
        return;
    u16 response = run(t, kCloseSession, take_transaction(t), nullptr, 0, nullptr, 0, nullptr);
    if (response == MIC_RESPONSE_OK)
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Closed session to MIC camera: %s", t.name.c_str());
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to close session for MIC camera: %s - %s",
                   t.name.c_str(), mtp_response_to_cstr(MTP_PROTOCOL_GENERIC, response));
}

// --- transactions ------------------------------------------------------------------

u16 mic_transport_transact(mic_transport_t& t, u16 operation, const u32* parameters, u32 count, const u8* out,
                           u64 out_length, mtp_buffer_t* in)
{
    if (in)
        mtp_buffer_clear(*in);
    if (!t.handle || !t.lock)
        return MIC_RESPONSE_SESSION_NOT_OPEN;
    std::lock_guard<std::mutex> guard(*t.lock);
    if (t.removed.load())
        return MIC_RESPONSE_GENERAL_ERROR;
    if (!t.session_open)
        return MIC_RESPONSE_SESSION_NOT_OPEN;
    return run(t, operation, take_transaction(t), parameters, count, out, out_length, in);
}

mtp_response_t mic_transport_execute(mtp_protocol_t, mtp_command_t operation, const u32* parameters, u32 count,
                                     void* user)
{
    return static_cast<mtp_response_t>(mic_transport_transact(*static_cast<mic_transport_t*>(user),
                                                              static_cast<u16>(operation), parameters, count, nullptr,
                                                              0, nullptr));
}

mtp_response_t mic_transport_read(mtp_protocol_t, mtp_command_t operation, const u32* parameters, u32 count,
                                  mtp_buffer_t& buffer, void* user)
{
    return static_cast<mtp_response_t>(mic_transport_transact(*static_cast<mic_transport_t*>(user),
                                                              static_cast<u16>(operation), parameters, count, nullptr,
                                                              0, &buffer));
}

mtp_response_t mic_transport_write(mtp_protocol_t, mtp_command_t operation, const u32* parameters, u32 count,
                                   const mtp_buffer_t& buffer, void* user)
{
    return static_cast<mtp_response_t>(mic_transport_transact(*static_cast<mic_transport_t*>(user),
                                                              static_cast<u16>(operation), parameters, count,
                                                              buffer.data, buffer.length, nullptr));
}

// --- events --------------------------------------------------------------------------

bool mic_transport_start_events(mic_transport_t& t, mtp_device_t* device)
{
    if (!t.handle)
        return false;
    t.device.store(device, std::memory_order_release);
    if (t.events_running)
        return true;
    mic_eventparser_initialise(t.events);
    if (!t.backend->start_interrupt(t.handle, on_interrupt, &t))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to start the event transfer of USB camera: %s",
                   t.name.c_str());
        t.device.store(nullptr);
        return false;
    }
    t.events_running = true;
    return true;
}

void mic_transport_stop_events(mic_transport_t& t)
{
    if (t.events_running)
    {
        t.backend->stop_interrupt(t.handle);
        t.events_running = false;
    }
    t.device.store(nullptr, std::memory_order_release);
}

// --- state -----------------------------------------------------------------------------

bool mic_transport_is_removed(const mic_transport_t& t)
{
    return t.removed.load();
}

void mic_transport_set_removed(mic_transport_t& t)
{
    mark_removed(t);
}
} // namespace orvo
