// The in-process message format: a 16-byte MessageHeader followed by a chain
// of 16-byte-aligned MessageFields, each a 16-byte field header and its padded
// payload. Message is a view of such bytes and owns nothing: they live in the
// encoder that built them, in a channel record or in a heap copy while being
// delivered. Building messages is core_message_encoder.h; routing is the
// distributor's. Messages never leave the process.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
const u32 MESSAGE_HEADER_SIZE = 16;
const u32 MESSAGE_FIELD_HEADER_SIZE = 16;
// Fields and their payloads start at multiples of this from the message start.
const u32 MESSAGE_FIELD_ALIGNMENT = 16;
// Print indents by at most this many spaces.
const u32 MESSAGE_PRINT_MAX_INDENT = 16;

enum messagetype_t : u16
{
    MESSAGETYPE_UNKNOWN = 0,
    MESSAGETYPE_REQUEST = 1,
    MESSAGETYPE_RESPONSE = 2,
    MESSAGETYPE_EVENT = 3,
};

enum messagefieldtype_t : i16
{
    MESSAGEFIELD_INT = 0,    // elementSize 4, count 1, a 32-bit signed value
    MESSAGEFIELD_BOOL = 1,   // elementSize 4, count 1, a 32-bit 0 or 1
    MESSAGEFIELD_FLOAT = 2,  // elementSize 4, count 1, an IEEE single
    MESSAGEFIELD_STRING = 3, // elementSize 1, count = length + 1, with its zero
    MESSAGEFIELD_DATA = 4,   // any elementSize and count: raw records
};

// Native byte order; messages are copied through channels byte for byte, so
// the layout is part of the format.
struct MessageHeader
{
    u32 numBytes;    // the whole message
    u32 refNum;      // the requester's number, copied into the response
    u16 srcId;       // the sender's location id
    u16 dstId;       // the destination location id; 0 addresses every processor
    u16 messageType; // messagetype_t
    u16 flags;       // written 0, not interpreted
};
static_assert(sizeof(MessageHeader) == MESSAGE_HEADER_SIZE, "the message header takes 16 bytes");

struct MessageField
{
    i32 id;          // its meaning is fixed by the message contract
    i16 type;        // messagefieldtype_t
    u16 elementSize; // bytes per element
    u32 count;       // elements; the payload holds elementSize x count bytes
    u32 next;        // offset of the next field header from the message start; 0 = last

    // The payload follows the field header directly.
    const u8* GetData() const { return reinterpret_cast<const u8*>(this) + MESSAGE_FIELD_HEADER_SIZE; }
    u8* GetData() { return reinterpret_cast<u8*>(this) + MESSAGE_FIELD_HEADER_SIZE; }
    u64 GetNumBytes() const { return static_cast<u64>(elementSize) * count; }
};
static_assert(sizeof(MessageField) == MESSAGE_FIELD_HEADER_SIZE, "a field header takes 16 bytes");

// A view of one message's bytes. Copying the view copies the pointer only.
class Message
{
public:
    Message() : m_data(nullptr) {}
    explicit Message(void* data) : m_data(static_cast<u8*>(data)) {}

    bool IsNull() const { return m_data == nullptr; }
    u8* GetData() const { return m_data; }
    // Null for a null message.
    MessageHeader* GetHeader() const { return reinterpret_cast<MessageHeader*>(m_data); }
    u32 GetNumBytes() const { return m_data ? GetHeader()->numBytes : 0; }

    // Walks the chain from the first field (at byte 16) and stops at the first
    // whose id matches. False when there are no fields (numBytes 16 or less) or
    // none matches; field then stands on the last field of the chain. A field
    // whose header or payload would reach past numBytes, or a next offset that
    // does not move forward to a 16-byte boundary, ends the chain (logged).
    bool FindField(i32 id, const MessageField*& field) const;
    // Moves field (a field of this message) to the next one; false at the last.
    bool GetNext(const MessageField*& field) const;

    // Replaces out with the header lines and one line per field. The indent is
    // at most 16 spaces. False when out cannot grow.
    bool Print(stringbuffer_t& out, u32 indent) const;
    // Appends one field's line ("\n<indent><id>: <value>"); fields of an
    // unknown type add nothing.
    bool Print(const MessageField& field, stringbuffer_t& out, u32 indent) const;

private:
    u8* m_data;
};

// "Unknown", "Request", "Response", "Event"; any other type is "Unknown".
const char* message_type_name(u32 type);
} // namespace orvo
