// PTP-over-USB containers: the 12-byte header (length, type, code,
// transaction id, little-endian) of command, data, response and event
// containers, the writers of command and data headers, the response reader,
// and the reassembler of event containers that arrive spread over several
// interrupt packets. Pure functions over bytes; the transport does the I/O.
#pragma once

#include "orvo/core/core_types.h"

namespace orvo
{
enum mic_container_type_t : u16
{
    MIC_CONTAINER_COMMAND = 1,
    MIC_CONTAINER_DATA = 2,
    MIC_CONTAINER_RESPONSE = 3,
    MIC_CONTAINER_EVENT = 4,
};

const u32 MIC_CONTAINER_HEADER_SIZE = 12;
// Most parameters a command or response container carries here.
const u32 MIC_MAX_PARAMETERS = 16;
const u32 MIC_MAX_COMMAND_SIZE = MIC_CONTAINER_HEADER_SIZE + 4 * MIC_MAX_PARAMETERS;
// A data container's length field when the data does not fit 32 bits; the
// data then ends at the transfer's end.
const u32 MIC_CONTAINER_LENGTH_UNKNOWN = 0xFFFFFFFF;
// Longest event container accepted (header and up to 13 parameters).
const u32 MIC_MAX_EVENT_SIZE = 64;
const u32 MIC_MAX_EVENT_PARAMETERS = (MIC_MAX_EVENT_SIZE - MIC_CONTAINER_HEADER_SIZE) / 4;

struct mic_container_header_t
{
    u32 length;
    u16 type;
    u16 code;
    u32 transaction;
};

// Reads the header from at least 12 bytes; false when fewer are given.
bool mic_container_read_header(const u8* bytes, u64 length, mic_container_header_t& header);
void mic_container_write_header(u8* out, const mic_container_header_t& header);
// Writes a command container of 12 + 4 * count bytes into out (room for
// MIC_MAX_COMMAND_SIZE); returns its size, 0 when count is above the limit.
u32 mic_container_write_command(u8* out, u16 code, u32 transaction, const u32* parameters, u32 count);
// The header of a data container carrying payload bytes.
void mic_container_write_data_header(u8* out, u16 code, u32 transaction, u64 payload);

struct mic_response_t
{
    u16 code;
    u32 transaction;
    u32 num_parameters;
    u32 parameters[MIC_MAX_PARAMETERS];
};

// A whole response container: length 12 to 12 + 4 * MIC_MAX_PARAMETERS equal
// to the bytes given, type 3, whole parameters. False for anything else.
bool mic_container_read_response(const u8* bytes, u64 length, mic_response_t& response);

struct mic_event_t
{
    u16 code;
    u32 transaction;
    u32 num_parameters;
    u32 parameters[MIC_MAX_EVENT_PARAMETERS];
};

// Gathers event containers from interrupt packets: a container may span
// packets, and one packet may end one container and start the next.
struct mic_eventparser_t
{
    u8 bytes[MIC_MAX_EVENT_SIZE];
    u32 have;    // bytes of the container in progress
    u32 dropped; // malformed containers skipped so far
};

typedef void (*mic_event_callback_t)(const mic_event_t& event, void* user);

void mic_eventparser_initialise(mic_eventparser_t& parser);
// Feeds one packet; every completed event goes to the callback. A header with
// a length below 12 or above MIC_MAX_EVENT_SIZE, or a type other than event,
// drops the rest of the packet (counted in dropped) and starts afresh.
void mic_eventparser_feed(mic_eventparser_t& parser, const u8* packet, u64 length, mic_event_callback_t callback,
                          void* user);
// Forgets a container in progress (after the stream broke off).
void mic_eventparser_reset(mic_eventparser_t& parser);
} // namespace orvo
