// MessageEncoder: writes one Message at a time into a buffer that it owns and
// reuses (1 MiB from Initialise, grown when a message needs more). Every
// message a queue's thread builds goes through that queue's encoder and is
// sent straight from its buffer. A Message from End(), and any field pointer,
// stays valid only until the encoder is used again.
#pragma once

#include "orvo/core/core_message.h"

namespace orvo
{
const u32 MESSAGEENCODER_INITIAL_CAPACITY = 1048576;
// AddFieldf formats into this many bytes: longer output keeps its first 2047.
const u32 MESSAGEENCODER_FORMAT_CAPACITY = 2048;

class MessageEncoder
{
public:
    MessageEncoder();
    ~MessageEncoder(); // as Release
    MessageEncoder(const MessageEncoder&) = delete;
    MessageEncoder& operator=(const MessageEncoder&) = delete;

    // Total and last field 0 and a cleared buffer of 1 MiB; false (logged)
    // when it cannot be allocated. A buffer held from before is freed first.
    bool Initialise();
    // Frees the buffer. Safe twice.
    void Release();

    // Hands out n bytes at the end, growing the buffer to n + 2 x capacity when
    // they do not fit (earlier pointers into the buffer are then invalid).
    // False, with nothing changed, when the buffer cannot grow or the message
    // would pass 4 GiB (both logged).
    bool Reserve(u8*& out, u32 n);

    // Starts a message: a zeroed 16-byte header and no fields.
    bool Begin();

    // Each adds one field behind the last and links it into the chain. False,
    // with the message built so far still valid, when the field cannot be
    // reserved or no message was begun. A null text adds the empty string.
    bool AddField(i32 id, int value);
    bool AddField(i32 id, bool value);
    bool AddField(i32 id, float value);
    bool AddField(i32 id, const char* text);
    bool AddField(i32 id, char* text);
    // count records of elementSize bytes each (at most 65,535). A null data
    // pointer is refused unless there are no bytes.
    bool AddField(i32 id, const void* data, u32 count, u32 elementSize = 1);
    // A string field formatted printf-style, cut to 2047 characters.
    bool AddFieldf(i32 id, const char* format, ...) ORVO_PRINTF_FORMAT(3, 4);
    // Reserves a field and fills its header; out points at the field header
    // and the caller writes the payload (out->GetData(), zeroed) before adding
    // the next field.
    bool AllocateField(MessageField*& out, i32 id, i16 type, u32 elementSize, u32 count);

    // Writes numBytes into the header and returns the message. Null when no
    // message was begun (for example because Begin could not reserve).
    Message End();

    u32 GetTotal() const { return m_total; }
    u32 GetCapacity() const { return m_capacity; }

private:
    bool AddTyped(i32 id, i16 type, u32 elementSize, u32 count, const void* payload, MessageField** out);

    u32 m_total;     // bytes written
    u32 m_lastField; // offset of the last field header; 0 before the first
    u32 m_capacity;
    u8* m_buffer; // owned
};
} // namespace orvo
