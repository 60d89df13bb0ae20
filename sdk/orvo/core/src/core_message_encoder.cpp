// The message encoder: one reusable buffer, fields appended at 16-byte
// boundaries and chained by offset (never by pointer, so growing the buffer
// keeps the chain intact). Padding after a payload is zeroed so that no bytes
// of an earlier message travel along with a later one.
#include "orvo/core/core_message_encoder.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace orvo
{
namespace
{
const u64 MESSAGE_MAX_BYTES = 0xFFFFFFFFull; // numBytes is 32-bit
const u32 FIELD_MAX_ELEMENT_SIZE = 0xFFFF;   // elementSize is 16-bit

u64 round16(u64 n)
{
    return (n + (MESSAGE_FIELD_ALIGNMENT - 1)) & ~static_cast<u64>(MESSAGE_FIELD_ALIGNMENT - 1);
}
} // namespace

MessageEncoder::MessageEncoder() : m_total(0), m_lastField(0), m_capacity(0), m_buffer(nullptr) {}

MessageEncoder::~MessageEncoder()
{
    Release();
}

bool MessageEncoder::Initialise()
{
    Release();
    u8* buffer = static_cast<u8*>(heap_alloc(MESSAGEENCODER_INITIAL_CAPACITY, 16, ORVO_HEAP_TAG));
    if (!buffer)
        return false; // heap_alloc has logged the size
    std::memset(buffer, 0, MESSAGEENCODER_INITIAL_CAPACITY);
    m_buffer = buffer;
    m_capacity = MESSAGEENCODER_INITIAL_CAPACITY;
    return true;
}

void MessageEncoder::Release()
{
    heap_free(m_buffer, ORVO_HEAP_TAG);
    m_buffer = nullptr;
    m_capacity = 0;
    m_total = 0;
    m_lastField = 0;
}

bool MessageEncoder::Reserve(u8*& out, u32 n)
{
    out = nullptr;
    if (static_cast<u64>(m_total) + n > MESSAGE_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to reserve %u bytes: the message would pass 4 GiB", n);
        return false;
    }
    if (m_capacity - m_total < n)
    {
        u64 capacity = static_cast<u64>(n) + 2ull * m_capacity;
        if (capacity > MESSAGE_MAX_BYTES)
            capacity = MESSAGE_MAX_BYTES;
        u8* buffer = static_cast<u8*>(heap_alloc(capacity, 16, ORVO_HEAP_TAG));
        if (!buffer)
            return false; // heap_alloc has logged the size
        std::memset(buffer, 0, static_cast<size_t>(capacity));
        if (m_total)
            std::memcpy(buffer, m_buffer, m_total);
        heap_free(m_buffer, ORVO_HEAP_TAG);
        m_buffer = buffer;
        m_capacity = static_cast<u32>(capacity);
    }
    out = m_buffer + m_total;
    m_total += n;
    return true;
}

bool MessageEncoder::Begin()
{
    m_total = 0;
    m_lastField = 0;
    u8* header;
    if (!Reserve(header, MESSAGE_HEADER_SIZE))
        return false;
    std::memset(header, 0, MESSAGE_HEADER_SIZE);
    return true;
}

bool MessageEncoder::AddTyped(i32 id, i16 type, u32 elementSize, u32 count, const void* payload, MessageField** out)
{
    if (m_total < MESSAGE_HEADER_SIZE)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message field %d: no message begun", id);
        return false;
    }
    if (elementSize > FIELD_MAX_ELEMENT_SIZE)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Failed to add message field %d: element size %u is more than %u bytes", id, elementSize,
                   FIELD_MAX_ELEMENT_SIZE);
        return false;
    }
    u64 bytes = static_cast<u64>(elementSize) * count;
    if (!payload && bytes && !out)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message field %d: no data for %llu bytes", id,
                   static_cast<unsigned long long>(bytes));
        return false;
    }
    u64 size = MESSAGE_FIELD_HEADER_SIZE + round16(bytes);
    if (size > MESSAGE_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Failed to add message field %d: %llu bytes of payload pass 4 GiB", id,
                   static_cast<unsigned long long>(bytes));
        return false;
    }

    u32 offset = m_total;
    u8* memory;
    if (!Reserve(memory, static_cast<u32>(size)))
        return false;
    MessageField* field = reinterpret_cast<MessageField*>(memory);
    field->id = id;
    field->type = type;
    field->elementSize = static_cast<u16>(elementSize);
    field->count = count;
    field->next = 0;
    if (m_lastField)
        reinterpret_cast<MessageField*>(m_buffer + m_lastField)->next = offset;
    m_lastField = offset;

    u8* data = field->GetData();
    if (payload && bytes)
        std::memcpy(data, payload, static_cast<size_t>(bytes));
    else
        std::memset(data, 0, static_cast<size_t>(bytes));
    std::memset(data + bytes, 0, static_cast<size_t>(size - MESSAGE_FIELD_HEADER_SIZE - bytes));
    if (out)
        *out = field;
    return true;
}

bool MessageEncoder::AddField(i32 id, int value)
{
    i32 raw = value;
    return AddTyped(id, MESSAGEFIELD_INT, sizeof(raw), 1, &raw, nullptr);
}

bool MessageEncoder::AddField(i32 id, bool value)
{
    i32 raw = value ? 1 : 0;
    return AddTyped(id, MESSAGEFIELD_BOOL, sizeof(raw), 1, &raw, nullptr);
}

bool MessageEncoder::AddField(i32 id, float value)
{
    return AddTyped(id, MESSAGEFIELD_FLOAT, sizeof(value), 1, &value, nullptr);
}

bool MessageEncoder::AddField(i32 id, const char* text)
{
    if (!text)
        text = "";
    u64 count = std::strlen(text) + 1;
    if (count > MESSAGE_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message field %d: the text passes 4 GiB", id);
        return false;
    }
    return AddTyped(id, MESSAGEFIELD_STRING, 1, static_cast<u32>(count), text, nullptr);
}

bool MessageEncoder::AddField(i32 id, char* text)
{
    return AddField(id, static_cast<const char*>(text));
}

bool MessageEncoder::AddField(i32 id, const void* data, u32 count, u32 elementSize)
{
    return AddTyped(id, MESSAGEFIELD_DATA, elementSize, count, data, nullptr);
}

bool MessageEncoder::AddFieldf(i32 id, const char* format, ...)
{
    // On the caller's stack: any thread may format its own fields.
    if (!format)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message field %d: no format", id);
        return false;
    }
    char text[MESSAGEENCODER_FORMAT_CAPACITY];
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (written < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message field %d: bad format", id);
        return false;
    }
    return AddField(id, static_cast<const char*>(text));
}

bool MessageEncoder::AllocateField(MessageField*& out, i32 id, i16 type, u32 elementSize, u32 count)
{
    out = nullptr;
    return AddTyped(id, type, elementSize, count, nullptr, &out);
}

Message MessageEncoder::End()
{
    if (!m_buffer || m_total < MESSAGE_HEADER_SIZE)
        return Message();
    reinterpret_cast<MessageHeader*>(m_buffer)->numBytes = m_total;
    return Message(m_buffer);
}
} // namespace orvo
