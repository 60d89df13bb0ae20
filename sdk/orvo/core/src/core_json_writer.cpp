// JSON writer: the output step into a text buffer (grown geometrically, so
// long escaped strings cost linear time), the file targets saved at close,
// escaping, numbers and the block layout.
#include "orvo/core/core_json_writer.h"

#include "orvo/core/core_base64.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_log.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>

namespace orvo
{
namespace
{
const char UTF8_BOM[] = "\xEF\xBB\xBF";

// The bytes json_write_string must escape: every control byte, the quote and
// the backslash.
inline bool needs_escape(u8 c)
{
    return c < 0x20 || c == '"' || c == '\\';
}

// The letter of a two-byte escape, or 0 for a byte written as \u00XX.
inline char escape_letter(u8 c)
{
    switch (c)
    {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

// The length of the well-formed UTF-8 sequence at in (of n bytes), or 0 when
// it is not one; then `skip` is the length of its longest valid start (at
// least 1), which is replaced by one U+FFFD.
u64 utf8_sequence(const u8* in, u64 n, u64& skip)
{
    const u8 c = in[0];
    u64 length;
    u8 low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF)
    {
        length = 3;
        if (c == 0xE0)
            low = 0xA0; // overlong
        else if (c == 0xED)
            high = 0x9F; // surrogates
    }
    else if (c >= 0xF0 && c <= 0xF4)
    {
        length = 4;
        if (c == 0xF0)
            low = 0x90; // overlong
        else if (c == 0xF4)
            high = 0x8F; // past U+10FFFF
    }
    else
    {
        skip = 1;
        return 0;
    }
    u64 i = 1;
    for (; i < length && i < n; ++i)
    {
        const u8 lo = i == 1 ? low : 0x80;
        const u8 hi = i == 1 ? high : 0xBF;
        if (in[i] < lo || in[i] > hi)
            break;
    }
    if (i == length)
        return length;
    skip = i;
    return 0;
}

const char REPLACEMENT[] = "\xEF\xBF\xBD"; // U+FFFD

// Room for extra more bytes behind the text; the storage at least doubles,
// so a text built from many small pieces is copied O(log n) times.
bool reserve(stringbuffer_t& text, u64 extra)
{
    const u64 need = text.length + extra;
    if (text.storage.buf && need <= text.storage.capacity)
        return true;
    u64 capacity = text.storage.capacity * 2;
    if (capacity < need)
        capacity = need;
    if (capacity < 256)
        capacity = 256;
    char* out = nullptr;
    return stringbuffer_lock(text, capacity, out);
}

bool output(json_writer_t& writer, const char* bytes, u64 n)
{
    if (writer.failed)
        return false;
    if (writer.target)
    {
        stringbuffer_t& text = *writer.target;
        if (!reserve(text, n))
        {
            writer.failed = true; // the allocation failure is logged
            return false;
        }
        const u64 length = text.length;
        std::memcpy(text.storage.buf + length, bytes, n);
        stringbuffer_unlock(text, length + n);
        return true;
    }
    return false;
}

bool output_char(json_writer_t& writer, char c)
{
    return output(writer, &c, 1);
}

// Makes the text the target and writes the byte-order mark; a writer that
// cannot even do that is left closed.
bool begin_output(json_writer_t& writer, stringbuffer_t& text)
{
    writer.target = &text;
    writer.failed = false;
    if (output(writer, UTF8_BOM, 3))
        return true;
    writer.target = nullptr;
    writer.failed = false;
    filename_clear(writer.filename);
    return false;
}

bool begin_block(json_writer_t& writer, json_block_t* parent, json_block_t& block, const string_t& name,
                 char open, char close, bool multiline)
{
    block.writer = &writer;
    block.parent = parent;
    block.indent = parent ? parent->indent + 2 : 2;
    block.multiline = multiline;
    block.first = true;
    block.open = open;
    block.close = close;
    if (!json_is_open(writer) || writer.failed)
        return false;
    if (parent && !json_write_member(*parent, name))
        return false;
    return output_char(writer, open);
}

bool end_block(json_block_t& block)
{
    if (!block.writer)
        return false;
    if (!block.multiline)
        return json_write(*block.writer, " %c", block.close);
    if (block.parent)
        return json_write(*block.writer, "\n%*s%c", block.parent->indent, "", block.close);
    return json_write(*block.writer, "\n%c", block.close);
}

// The member prefix, then a value already formatted.
bool add_text(json_block_t& block, const string_t& name, const char* text, u64 length)
{
    if (!block.writer || !json_write_member(block, name))
        return false;
    return output(*block.writer, text, length);
}

template <typename T>
bool add_number(json_block_t& block, const string_t& name, const char* format, T value)
{
    char text[64];
    int length = std::snprintf(text, sizeof(text), format, value);
    if (length < 0 || static_cast<u64>(length) >= sizeof(text))
        return false; // cannot happen for the integer formats used here
    return add_text(block, name, text, static_cast<u64>(length));
}
} // namespace

void jsonwriter_initialise(json_writer_t& writer)
{
    writer.target = nullptr;
    stringbuffer_initialise(writer.scratch);
    stringbuffer_initialise(writer.own);
    filename_initialise(writer.filename);
    writer.failed = false;
}

void jsonwriter_release(json_writer_t& writer)
{
    writer.target = nullptr;
    stringbuffer_release(writer.scratch);
    stringbuffer_release(writer.own);
    filename_release(writer.filename);
    writer.failed = false;
}

bool json_open_file_safe(json_writer_t& writer, const filename_t& filename)
{
    if (json_is_open(writer) || filename.path.length == 0)
        return false;
    if (!filename_copy(writer.filename, filename))
        return false;
    stringbuffer_clear(writer.own);
    return begin_output(writer, writer.own);
}

bool json_open_file(json_writer_t& writer, const filename_t& filename)
{
    if (json_is_open(writer) || filename.path.length == 0)
        return false;
    // The save happens at close; a missing folder is the failure worth
    // reporting while the caller can still react to it.
    if (!dir_exists(filename.dir.path))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to open file: %s - %s", std::strerror(ENOENT),
                   filename.path.str);
        return false;
    }
    return json_open_file_safe(writer, filename);
}

bool json_open_string(json_writer_t& writer, stringbuffer_t& text)
{
    if (json_is_open(writer))
        return false;
    stringbuffer_clear(text);
    return begin_output(writer, text);
}

bool json_is_open(const json_writer_t& writer)
{
    return writer.target != nullptr;
}

bool json_close(json_writer_t& writer)
{
    if (!json_is_open(writer))
        return false;
    bool ok = !writer.failed;
    if (writer.target == &writer.own)
    {
        // A text that failed half-way is never saved over a good file.
        if (ok)
            ok = file_save_safe(writer.filename.path, memory_t{writer.own.str, writer.own.length});
        filename_clear(writer.filename);
    }
    writer.target = nullptr;
    writer.failed = false;
    stringbuffer_clear(writer.scratch);
    stringbuffer_clear(writer.own);
    return ok;
}

bool json_begin_object(json_writer_t& writer, json_block_t* parent, json_block_t& block, const string_t& name,
                       bool multiline)
{
    return begin_block(writer, parent, block, name, '{', '}', multiline);
}

bool json_begin_array(json_writer_t& writer, json_block_t* parent, json_block_t& block, const string_t& name,
                      bool multiline)
{
    return begin_block(writer, parent, block, name, '[', ']', multiline);
}

bool json_end_object(json_block_t& block)
{
    return end_block(block);
}

bool json_end_array(json_block_t& block)
{
    return end_block(block);
}

bool json_add_string(json_block_t& block, const string_t& name, const string_t& value)
{
    if (!block.writer || !json_write_member(block, name))
        return false;
    return json_write_string(*block.writer, value);
}

bool json_add_int(json_block_t& block, const string_t& name, int value)
{
    return add_number(block, name, "%d", value);
}

bool json_add_uint(json_block_t& block, const string_t& name, unsigned int value)
{
    return add_number(block, name, "%u", value);
}

bool json_add_ll(json_block_t& block, const string_t& name, long long value)
{
    return add_number(block, name, "%lld", value);
}

bool json_add_ull(json_block_t& block, const string_t& name, unsigned long long value)
{
    return add_number(block, name, "%llu", value);
}

bool json_add_float(json_block_t& block, const string_t& name, float value)
{
    if (!std::isfinite(value))
        return add_text(block, name, "null", 4);
    // FLT_MAX prints as 39 digits and 7 more characters: 64 bytes hold any float.
    return add_number(block, name, "%f", static_cast<double>(value));
}

bool json_add_bool(json_block_t& block, const string_t& name, bool value)
{
    return value ? add_text(block, name, "true", 4) : add_text(block, name, "false", 5);
}

bool json_add_null(json_block_t& block, const string_t& name)
{
    return add_text(block, name, "null", 4);
}

bool json_add_binary(json_block_t& block, const string_t& name, const memorybuffer_t& bytes)
{
    if (!block.writer)
        return false;
    json_writer_t& writer = *block.writer;
    if (bytes.num_bytes == 0)
        return json_add_string(block, name, empty_str);
    if (!base64_encode(bytes, writer.scratch))
    {
        writer.failed = true; // the allocation failure is logged
        return false;
    }
    bool ok = json_add_string(block, name, writer.scratch);
    stringbuffer_clear(writer.scratch);
    return ok;
}

bool json_write(json_writer_t& writer, const char* format, ...)
{
    if (!json_is_open(writer) || writer.failed)
        return false;
    char text[256];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (length < 0)
        return false;
    if (static_cast<u64>(length) < sizeof(text))
        return output(writer, text, static_cast<u64>(length));
    // Too long for the stack: format again into the scratch buffer.
    va_start(args, format);
    bool formatted = stringbuffer_formatv(writer.scratch, format, args);
    va_end(args);
    if (!formatted)
    {
        writer.failed = true;
        return false;
    }
    bool ok = output(writer, writer.scratch.str, writer.scratch.length);
    stringbuffer_clear(writer.scratch);
    return ok;
}

bool json_write_member(json_block_t& block, const string_t& name)
{
    if (!block.writer)
        return false;
    json_writer_t& writer = *block.writer;
    bool ok;
    if (block.multiline)
        ok = json_write(writer, block.first ? "\n%*s" : ",\n%*s", block.indent, "");
    else
        ok = block.first ? output_char(writer, ' ') : output(writer, ", ", 2);
    // Inside an object every member has a name, the empty one included;
    // inside an array none has.
    if (ok && block.open == '{')
        ok = json_write_string(writer, name) && output(writer, ": ", 2);
    block.first = false;
    return ok;
}

bool json_write_string(json_writer_t& writer, const string_t& text)
{
    if (!json_is_open(writer) || writer.failed)
        return false;
    // Counting the escapes first sizes the output exactly, so the text is
    // written straight into the target after at most one (geometric) growth.
    // Text that is not well-formed UTF-8 (a camera's or a file's name) is
    // written with U+FFFD in place of each bad sequence: a strict client
    // would otherwise refuse the whole reply.
    const u8* in = reinterpret_cast<const u8*>(text.str);
    const u64 n = text.length;
    u64 size = n + 2;
    for (u64 i = 0; i < n;)
    {
        if (in[i] < 0x80)
        {
            if (needs_escape(in[i]))
                size += escape_letter(in[i]) ? 1 : 5;
            ++i;
            continue;
        }
        u64 skip = 0;
        if (u64 length = utf8_sequence(in + i, n - i, skip))
        {
            i += length;
            continue;
        }
        size = size - skip + 3;
        i += skip;
    }
    stringbuffer_t& out = *writer.target;
    if (!reserve(out, size))
    {
        writer.failed = true;
        return false;
    }
    char* buffer = reinterpret_cast<char*>(out.storage.buf);
    u64 pos = out.length;
    buffer[pos++] = '"';
    u64 i = 0;
    for (;;)
    {
        u64 run = i;
        u64 skip = 0;
        while (run < n)
        {
            if (in[run] < 0x80)
            {
                if (needs_escape(in[run]))
                    break;
                ++run;
            }
            else if (u64 length = utf8_sequence(in + run, n - run, skip))
                run += length;
            else
                break;
        }
        std::memcpy(buffer + pos, in + i, run - i);
        pos += run - i;
        i = run;
        if (i == n)
            break;
        if (in[i] >= 0x80)
        {
            std::memcpy(buffer + pos, REPLACEMENT, 3);
            pos += 3;
            i += skip;
            continue;
        }
        const u8 c = in[i++];
        buffer[pos++] = '\\';
        if (const char letter = escape_letter(c))
            buffer[pos++] = letter;
        else
        {
            static const char hex[] = "0123456789ABCDEF";
            buffer[pos++] = 'u';
            buffer[pos++] = '0';
            buffer[pos++] = '0';
            buffer[pos++] = hex[c >> 4];
            buffer[pos++] = hex[c & 15];
        }
    }
    buffer[pos++] = '"';
    stringbuffer_unlock(out, pos);
    return true;
}
} // namespace orvo
