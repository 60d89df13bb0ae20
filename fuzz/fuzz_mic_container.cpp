// The USB transport's reassembly of data and response containers from bulk-in
// transfers. Input: one byte choosing the packet size and the read size, then
// the transfers the camera sends, each a 16-bit little-endian length and its
// bytes. The transaction is a GetObject with id 1 into a growing buffer; the
// transport must answer some response code without reading or writing out of
// bounds and without holding more than what arrived.
#include "orvo/camera/src/mic/camera_mic_transport.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace orvo;

namespace
{
struct Wire
{
    const uint8_t* data;
    size_t size;
    size_t cursor;
};

int g_device; // the handle's target: any non-null address

mic_status_t open(void*, const mic_usbinfo_t&, void** handle)
{
    *handle = &g_device;
    return MIC_STATUS_OK;
}

void close(void*, void*) {}

Wire* g_wire = nullptr;

mic_status_t bulk_out(void*, const u8*, u64 length, u32, u64& sent)
{
    sent = length;
    return MIC_STATUS_OK;
}

mic_status_t bulk_in(void*, u8* data, u64 capacity, u32, u64& received)
{
    received = 0;
    Wire& wire = *g_wire;
    if (wire.cursor + 2 > wire.size)
        return MIC_STATUS_TIMEOUT;
    size_t length = wire.data[wire.cursor] | wire.data[wire.cursor + 1] << 8;
    wire.cursor += 2;
    if (length > wire.size - wire.cursor)
        length = wire.size - wire.cursor;
    if (length > capacity)
    {
        wire.cursor += length;
        return MIC_STATUS_OVERFLOW;
    }
    std::memcpy(data, wire.data + wire.cursor, length);
    wire.cursor += length;
    received = length;
    return MIC_STATUS_OK;
}

mic_status_t control(void*, u8, u8 request, u16, u8* data, u16 length, u32, u64& done)
{
    done = 0;
    if (request == MIC_REQUEST_DEVICE_STATUS && length >= 4)
    {
        const u8 ok[4] = {4, 0, 0x01, 0x20};
        std::memcpy(data, ok, 4);
        done = 4;
    }
    return MIC_STATUS_OK;
}

mic_status_t clear_halt(void*, u8)
{
    return MIC_STATUS_OK;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const u16 kPackets[4] = {8, 64, 512, 1024};
    mic_backend_t backend = {};
    backend.open = open;
    backend.close = close;
    backend.bulk_out = bulk_out;
    backend.bulk_in = bulk_in;
    backend.control = control;
    backend.clear_halt = clear_halt;
    backend.name = "fuzz";
    mic_usbinfo_t info = {};
    info.bulk_in = 0x81;
    info.bulk_out = 0x02;
    info.interrupt_in = 0x83;
    info.bulk_packet_size = kPackets[data[0] & 3];
    Wire wire = {data + 1, size - 1, 0};
    g_wire = &wire;
    mic_transport_options_t options = {};
    options.timeout_ms = 1;
    options.short_timeout_ms = 1;
    options.chunk_bytes = (data[0] & 4) ? 2048 : 65536;
    mic_transport_t transport = {};
    if (!mic_transport_initialise(transport, backend, info, &options))
        return 0;
    transport.session_open = true; // as after OpenSession: the next id is 1
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    const u32 handle = 1;
    u16 response = mic_transport_transact(transport, 0x1009, &handle, 1, nullptr, 0, &buffer);
    if (buffer.length > size)
        __builtin_trap(); // more data than arrived
    if (buffer.length)
    {
        volatile u8 sink = buffer.data[buffer.length - 1];
        (void)sink;
    }
    (void)response;
    transport.session_open = false;
    mtp_buffer_release(buffer);
    mic_transport_release(transport);
    g_wire = nullptr;
    return 0;
}
