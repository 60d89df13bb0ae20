// PTP-over-USB container headers, command and response containers, and the
// event reassembler.
#include "orvo/camera/src/mic/camera_mic_container.h"

#include <cstring>

namespace orvo
{
namespace
{
u16 get16(const u8* p)
{
    return static_cast<u16>(p[0] | (p[1] << 8));
}

u32 get32(const u8* p)
{
    return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) | (static_cast<u32>(p[2]) << 16) |
           (static_cast<u32>(p[3]) << 24);
}

void put16(u8* p, u16 v)
{
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
}

void put32(u8* p, u32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<u8>(v >> (8 * i));
}
} // namespace

bool mic_container_read_header(const u8* bytes, u64 length, mic_container_header_t& header)
{
    if (!bytes || length < MIC_CONTAINER_HEADER_SIZE)
        return false;
    header.length = get32(bytes);
    header.type = get16(bytes + 4);
    header.code = get16(bytes + 6);
    header.transaction = get32(bytes + 8);
    return true;
}

void mic_container_write_header(u8* out, const mic_container_header_t& header)
{
    put32(out, header.length);
    put16(out + 4, header.type);
    put16(out + 6, header.code);
    put32(out + 8, header.transaction);
}

u32 mic_container_write_command(u8* out, u16 code, u32 transaction, const u32* parameters, u32 count)
{
    if (count > MIC_MAX_PARAMETERS || (count && !parameters))
        return 0;
    u32 size = MIC_CONTAINER_HEADER_SIZE + 4 * count;
    mic_container_write_header(out, mic_container_header_t{size, MIC_CONTAINER_COMMAND, code, transaction});
    for (u32 i = 0; i < count; ++i)
        put32(out + MIC_CONTAINER_HEADER_SIZE + 4 * i, parameters[i]);
    return size;
}

void mic_container_write_data_header(u8* out, u16 code, u32 transaction, u64 payload)
{
    u64 total = payload + MIC_CONTAINER_HEADER_SIZE;
    u32 length = total >= MIC_CONTAINER_LENGTH_UNKNOWN ? MIC_CONTAINER_LENGTH_UNKNOWN : static_cast<u32>(total);
    mic_container_write_header(out, mic_container_header_t{length, MIC_CONTAINER_DATA, code, transaction});
}

bool mic_container_read_response(const u8* bytes, u64 length, mic_response_t& response)
{
    mic_container_header_t header;
    if (!mic_container_read_header(bytes, length, header))
        return false;
    if (header.type != MIC_CONTAINER_RESPONSE || header.length != length ||
        length > MIC_MAX_COMMAND_SIZE || (length - MIC_CONTAINER_HEADER_SIZE) % 4 != 0)
        return false;
    response.code = header.code;
    response.transaction = header.transaction;
    response.num_parameters = static_cast<u32>((length - MIC_CONTAINER_HEADER_SIZE) / 4);
    for (u32 i = 0; i < response.num_parameters; ++i)
        response.parameters[i] = get32(bytes + MIC_CONTAINER_HEADER_SIZE + 4 * i);
    return true;
}

// --- events ------------------------------------------------------------------------

void mic_eventparser_initialise(mic_eventparser_t& parser)
{
    std::memset(&parser, 0, sizeof(parser));
}

void mic_eventparser_reset(mic_eventparser_t& parser)
{
    parser.have = 0;
}

void mic_eventparser_feed(mic_eventparser_t& parser, const u8* packet, u64 length, mic_event_callback_t callback,
                          void* user)
{
    u64 cursor = 0;
    while (packet && cursor < length)
    {
        // The header first: its length field says how much more belongs to
        // this container.
        u32 need = MIC_CONTAINER_HEADER_SIZE;
        if (parser.have >= 4)
            need = get32(parser.bytes);
        if (parser.have < MIC_CONTAINER_HEADER_SIZE)
            need = MIC_CONTAINER_HEADER_SIZE;
        u64 take = need - parser.have;
        if (take > length - cursor)
            take = length - cursor;
        std::memcpy(parser.bytes + parser.have, packet + cursor, take);
        parser.have += static_cast<u32>(take);
        cursor += take;
        if (parser.have < MIC_CONTAINER_HEADER_SIZE)
            return;

        mic_container_header_t header;
        mic_container_read_header(parser.bytes, parser.have, header);
        if (header.length < MIC_CONTAINER_HEADER_SIZE || header.length > MIC_MAX_EVENT_SIZE ||
            header.type != MIC_CONTAINER_EVENT)
        {
            // No way to find the next container inside this packet: resume
            // with the next one.
            ++parser.dropped;
            parser.have = 0;
            return;
        }
        if (parser.have < header.length)
            continue;

        mic_event_t event;
        event.code = header.code;
        event.transaction = header.transaction;
        event.num_parameters = (header.length - MIC_CONTAINER_HEADER_SIZE) / 4;
        for (u32 i = 0; i < event.num_parameters; ++i)
            event.parameters[i] = get32(parser.bytes + MIC_CONTAINER_HEADER_SIZE + 4 * i);
        parser.have = 0;
        if (callback)
            callback(event, user);
    }
}
} // namespace orvo
