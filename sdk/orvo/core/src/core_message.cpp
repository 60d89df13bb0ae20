// Reading and printing messages. Every step along the field chain is checked
// against numBytes before a field header or payload is touched, so a damaged
// chain ends the walk instead of reading past the message; the encoder only
// ever writes chains that pass.
#include "orvo/core/core_message.h"

#include "orvo/core/core_location.h"
#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
namespace
{
const char* const MESSAGE_TYPE_NAMES[] = {"Unknown", "Request", "Response", "Event"};

// The field at offset, or null (logged) when it does not lie wholly inside the
// message or is not on a 16-byte boundary (a misaligned header could not even
// be read safely).
const MessageField* field_at(const u8* data, u64 offset)
{
    const MessageHeader* header = reinterpret_cast<const MessageHeader*>(data);
    u64 size = header->numBytes;
    if (offset < MESSAGE_HEADER_SIZE || offset % MESSAGE_FIELD_ALIGNMENT != 0 ||
        offset + MESSAGE_FIELD_HEADER_SIZE > size)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Message field at offset %llu lies outside the message (%u bytes)",
                   static_cast<unsigned long long>(offset), header->numBytes);
        return nullptr;
    }
    const MessageField* field = reinterpret_cast<const MessageField*>(data + offset);
    if (offset + MESSAGE_FIELD_HEADER_SIZE + field->GetNumBytes() > size)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Message field %d at offset %llu has %llu bytes of payload past the message (%u bytes)", field->id,
                   static_cast<unsigned long long>(offset), static_cast<unsigned long long>(field->GetNumBytes()),
                   header->numBytes);
        return nullptr;
    }
    return field;
}

const char* spaces(u32 indent)
{
    static const char text[MESSAGE_PRINT_MAX_INDENT + 1] = "                ";
    if (indent > MESSAGE_PRINT_MAX_INDENT)
        indent = MESSAGE_PRINT_MAX_INDENT;
    return text + (MESSAGE_PRINT_MAX_INDENT - indent);
}

i32 read_i32(const MessageField& field)
{
    i32 value = 0;
    std::memcpy(&value, field.GetData(), field.GetNumBytes() < sizeof(value) ? field.GetNumBytes() : sizeof(value));
    return value;
}

float read_float(const MessageField& field)
{
    float value = 0.0f;
    std::memcpy(&value, field.GetData(), field.GetNumBytes() < sizeof(value) ? field.GetNumBytes() : sizeof(value));
    return value;
}
} // namespace

const char* message_type_name(u32 type)
{
    return type < sizeof(MESSAGE_TYPE_NAMES) / sizeof(MESSAGE_TYPE_NAMES[0]) ? MESSAGE_TYPE_NAMES[type]
                                                                             : MESSAGE_TYPE_NAMES[0];
}

bool Message::FindField(i32 id, const MessageField*& field) const
{
    if (!m_data || GetHeader()->numBytes <= MESSAGE_HEADER_SIZE)
        return false;
    const MessageField* current = field_at(m_data, MESSAGE_HEADER_SIZE);
    while (current)
    {
        field = current;
        if (current->id == id)
            return true;
        if (!GetNext(current))
            return false;
    }
    return false;
}

bool Message::GetNext(const MessageField*& field) const
{
    if (!m_data || !field || field->next == 0)
        return false;
    u64 offset = static_cast<u64>(reinterpret_cast<const u8*>(field) - m_data);
    // A chain that does not move forward would loop for ever.
    if (field->next <= offset)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message field %d at offset %llu points back to offset %u",
                   field->id, static_cast<unsigned long long>(offset), field->next);
        return false;
    }
    const MessageField* next = field_at(m_data, field->next);
    if (!next)
        return false;
    field = next;
    return true;
}

bool Message::Print(stringbuffer_t& out, u32 indent) const
{
    stringbuffer_clear(out);
    if (!m_data)
        return true;
    const MessageHeader& header = *GetHeader();
    const char* pad = spaces(indent);
    bool ok = stringbuffer_appendf(out,
                                   "%snumBytes:    %d"
                                   "\n%srefNum:      %d"
                                   "\n%ssrcId:       %d - %s"
                                   "\n%sdstId:       %d - %s"
                                   "\n%smessageType: %s"
                                   "\n%sflags:       0x%x",
                                   pad, static_cast<int>(header.numBytes), pad, static_cast<int>(header.refNum), pad,
                                   static_cast<int>(header.srcId), Location::GetLocationName(header.srcId), pad,
                                   static_cast<int>(header.dstId), Location::GetLocationName(header.dstId), pad,
                                   message_type_name(header.messageType), pad, static_cast<unsigned>(header.flags));
    if (!ok || header.numBytes <= MESSAGE_HEADER_SIZE)
        return ok;
    const MessageField* field = field_at(m_data, MESSAGE_HEADER_SIZE);
    while (field && ok)
    {
        ok = Print(*field, out, indent);
        if (!GetNext(field))
            break;
    }
    return ok;
}

bool Message::Print(const MessageField& field, stringbuffer_t& out, u32 indent) const
{
    const char* pad = spaces(indent);
    switch (field.type)
    {
    case MESSAGEFIELD_INT:
        return stringbuffer_appendf(out, "\n%s%d: %d", pad, field.id, read_i32(field));
    case MESSAGEFIELD_BOOL:
        return stringbuffer_appendf(out, "\n%s%d: %s", pad, field.id, read_i32(field) ? "true" : "false");
    case MESSAGEFIELD_FLOAT:
        return stringbuffer_appendf(out, "\n%s%d: %f", pad, field.id, static_cast<double>(read_float(field)));
    case MESSAGEFIELD_STRING:
    {
        // Bounded by the payload: a string without its zero stops at the field's end.
        const char* text = reinterpret_cast<const char*>(field.GetData());
        u64 limit = field.GetNumBytes();
        const void* zero = std::memchr(text, 0, static_cast<size_t>(limit));
        u64 length = zero ? static_cast<u64>(static_cast<const char*>(zero) - text) : limit;
        return stringbuffer_appendf(out, "\n%s%d: %.*s", pad, field.id, static_cast<int>(length), text);
    }
    case MESSAGEFIELD_DATA:
        return stringbuffer_appendf(out, "\n%s%d: %llu bytes data", pad, field.id,
                                    static_cast<unsigned long long>(field.GetNumBytes()));
    default:
        return true;
    }
}
} // namespace orvo
