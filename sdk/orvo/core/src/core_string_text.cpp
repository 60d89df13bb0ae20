// Code-point walking: the UTF-8 iterator, trimming, removal and in-place
// mapping of stringbuffer_t texts, and the predicates the callers pass in.
// None of these allocate; they move bytes inside the existing storage.
#include "orvo/core/core_string.h"

#include <cstring>

namespace orvo
{
bool is_whitespace(u32 c)
{
    return c == 9 || c == 10 || c == 13 || c == 32;
}

bool is_dot(u32 c)
{
    return c == '.';
}

u32 invalid_to_underscore(u32 c)
{
    return (c == ' ' || c == ':') ? '_' : c;
}

u64 utf8_encode(u32 c, char* out)
{
    if (c < 0x80)
    {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800)
    {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000)
    {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

void utf8iterator_initialise(utf8iterator_t& iterator, const char* text)
{
    iterator.codepoint = 0;
    iterator.position = 0;
    iterator.step = 0;
    iterator.text = text ? text : empty_str.str;
}

// Decodes the sequence at text; 0 when it is the end or cannot be decoded.
static u64 utf8_decode(const unsigned char* s, u32& codepoint)
{
    unsigned char b0 = s[0];
    if (b0 == 0)
        return 0;
    if (b0 < 0x80)
    {
        codepoint = b0;
        return 1;
    }
    u64 length;
    u32 c;
    if (b0 <= 0xDF)
    {
        length = 2;
        c = b0 & 0x1F;
    }
    else if (b0 <= 0xEF)
    {
        length = 3;
        c = b0 & 0x0F;
    }
    else if (b0 <= 0xF7)
    {
        length = 4;
        c = b0 & 0x07;
    }
    else
        return 0;
    // Continuation bytes are not validated beyond not being the terminator.
    for (u64 i = 1; i < length; ++i)
    {
        if (s[i] == 0)
            return 0;
        c = (c << 6) | (s[i] & 0x3F);
    }
    codepoint = c;
    return length;
}

bool utf8iterator_next(utf8iterator_t& iterator)
{
    u64 position = iterator.position + iterator.step;
    u32 codepoint = 0;
    u64 step = utf8_decode(reinterpret_cast<const unsigned char*>(iterator.text) + position, codepoint);
    if (step == 0)
        return false;
    iterator.codepoint = codepoint;
    iterator.position = position;
    iterator.step = step;
    return true;
}

// Writes the new length into the buffer without touching the storage size.
static void set_length(stringbuffer_t& buffer, u64 length)
{
    if (length == 0)
    {
        stringbuffer_clear(buffer);
        return;
    }
    buffer.storage.num_bytes = length;
    buffer.storage.buf[length] = 0;
    buffer.str = reinterpret_cast<const char*>(buffer.storage.buf);
    buffer.length = length;
}

void stringbuffer_trimleft(stringbuffer_t& buffer, codepoint_predicate_t predicate)
{
    if (buffer.length == 0)
        return;
    char* text = reinterpret_cast<char*>(buffer.storage.buf);
    utf8iterator_t it;
    utf8iterator_initialise(it, text);
    u64 cut = 0;
    while (utf8iterator_next(it))
    {
        if (!predicate(it.codepoint))
            break;
        cut = it.position + it.step;
    }
    if (cut == 0)
        return;
    u64 rest = buffer.length - cut;
    std::memmove(text, text + cut, rest);
    set_length(buffer, rest);
}

void stringbuffer_trimright(stringbuffer_t& buffer, codepoint_predicate_t predicate)
{
    if (buffer.length == 0)
        return;
    const unsigned char* text = buffer.storage.buf;
    u64 end = buffer.length; // the text is cut here
    while (end > 0)
    {
        u64 start = end - 1;
        int continuation = 0;
        while ((text[start] & 0xC0) == 0x80)
        {
            if (start == 0 || ++continuation > 3)
                break;
            --start;
        }
        if ((text[start] & 0xC0) == 0x80)
            break; // no lead byte within reach
        u32 codepoint = 0;
        u64 step = utf8_decode(text + start, codepoint);
        if (step == 0 || start + step != end)
            break;
        if (!predicate(codepoint))
            break;
        end = start;
    }
    if (end != buffer.length)
        set_length(buffer, end);
}

void stringbuffer_trim(stringbuffer_t& buffer, codepoint_predicate_t predicate)
{
    stringbuffer_trimright(buffer, predicate);
    stringbuffer_trimleft(buffer, predicate);
}

void stringbuffer_remove(stringbuffer_t& buffer, codepoint_predicate_t predicate)
{
    if (buffer.length == 0)
        return;
    char* text = reinterpret_cast<char*>(buffer.storage.buf);
    utf8iterator_t it;
    utf8iterator_initialise(it, text);
    u64 write = 0;
    u64 read_end = 0;
    while (utf8iterator_next(it))
    {
        read_end = it.position + it.step;
        if (predicate(it.codepoint))
            continue;
        if (write != it.position)
            std::memmove(text + write, text + it.position, it.step);
        write += it.step;
    }
    // An undecodable sequence ends the walk; it and the rest are kept as they are.
    u64 tail = buffer.length - read_end;
    if (tail && write != read_end)
        std::memmove(text + write, text + read_end, tail);
    set_length(buffer, write + tail);
}

void stringbuffer_transform(stringbuffer_t& buffer, codepoint_mapper_t mapper)
{
    if (buffer.length == 0)
        return;
    char* text = reinterpret_cast<char*>(buffer.storage.buf);
    utf8iterator_t it;
    utf8iterator_initialise(it, text);
    while (utf8iterator_next(it))
    {
        u32 mapped = mapper(it.codepoint);
        if (it.codepoint <= 127 && mapped <= 127 && mapped != it.codepoint)
            text[it.position] = static_cast<char>(mapped);
    }
}
} // namespace orvo
