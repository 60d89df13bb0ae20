// The transfer buffer and the wire-level reads and writes of the PTP codec:
// integers, counted arrays, PTP strings (UTF-16 on the wire, UTF-8 here) and
// string lists. Typed values and property forms are in mtp_datavalue.cpp.
// Every count from the wire is weighed against the bytes left before it sizes
// anything.
#include "orvo/camera/mtp_codec.h"

#include "orvo/camera/src/mtp_codec_internal.h"
#include "orvo/core/core_log.h"

#include <cstring>
#include <type_traits>

namespace orvo
{
namespace
{
u64 bytes_left(const mtp_buffer_t& buffer, u64 cursor)
{
    return cursor < buffer.length ? buffer.length - cursor : 0;
}

template <typename T>
bool extract_integer(const mtp_buffer_t& buffer, u64& cursor, T& out)
{
    if (bytes_left(buffer, cursor) < sizeof(T))
        return false;
    typedef typename std::make_unsigned<T>::type unsigned_t;
    unsigned_t value = 0;
    const u8* bytes = buffer.data + cursor;
    for (u64 i = 0; i < sizeof(T); ++i)
        value = static_cast<unsigned_t>(value | (static_cast<unsigned_t>(bytes[i]) << (8 * i)));
    out = static_cast<T>(value);
    cursor += sizeof(T);
    return true;
}

// Lengthens the buffer by k bytes, regrowing to 2 x capacity + k when full.
// A slice always moves to storage of its own first: writing through it would
// change the bytes of the buffer it views.
bool buffer_grow(mtp_buffer_t& buffer, u64 k)
{
    if (buffer.owned && buffer.length + k <= buffer.capacity)
    {
        buffer.length += k;
        return true;
    }
    const u64 capacity = buffer.capacity * 2 + k;
    u8* data = static_cast<u8*>(heap_alloc(capacity, 16, ORVO_HEAP_TAG));
    if (!data)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to reallocate MTP transfer buffer (%llu bytes)",
                   static_cast<unsigned long long>(k));
        return false;
    }
    if (buffer.length)
        std::memcpy(data, buffer.data, buffer.length);
    if (buffer.owned)
        heap_free(buffer.data, ORVO_HEAP_TAG);
    buffer.data = data;
    buffer.capacity = capacity;
    buffer.owned = true;
    buffer.length += k;
    return true;
}

// Room for width bytes at the cursor; null (logged) when the cursor lies past
// the end, which would otherwise store outside the buffer.
u8* write_slot(mtp_buffer_t& buffer, u64 cursor, u64 width)
{
    if (cursor > buffer.length)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP write at %llu beyond the buffer's %llu bytes",
                   static_cast<unsigned long long>(cursor), static_cast<unsigned long long>(buffer.length));
        return nullptr;
    }
    // The cursor is at most the old length, so the lengthened buffer holds
    // the value at the cursor.
    if (!buffer_grow(buffer, width))
        return nullptr;
    return buffer.data + cursor;
}

template <typename T>
bool write_integer(mtp_buffer_t& buffer, u64& cursor, T value)
{
    u8* slot = write_slot(buffer, cursor, sizeof(T));
    if (!slot)
        return false;
    typedef typename std::make_unsigned<T>::type unsigned_t;
    unsigned_t bits = static_cast<unsigned_t>(value);
    for (u64 i = 0; i < sizeof(T); ++i)
        slot[i] = static_cast<u8>(bits >> (8 * i));
    cursor += sizeof(T);
    return true;
}

// A counted read reserves room only for the elements that can be present at
// all (never more than the remaining bytes hold, so a count of four billion
// from a broken camera allocates nothing extra), empties the vector and reads
// element by element, keeping those read before one that does not fit.
template <typename T>
bool extract_array(const mtp_buffer_t& buffer, u64& cursor, vector_t<T>& out, u64 n)
{
    const u64 fit = bytes_left(buffer, cursor) / sizeof(T);
    const u64 wanted = n < fit ? n : fit;
    if (!mtp_vector_reserve_discarding(out, wanted))
        return false;
    out.count = 0;
    for (u64 i = 0; i < n; ++i)
    {
        T element;
        if (!extract_integer(buffer, cursor, element))
            return false;
        if (!vector_insert(out, element))
            return false;
    }
    return true;
}

// A list led by its 32-bit element count: an integer array or a string list,
// read by the mtp_buffer_extract overload that takes the count.
template <typename List>
bool extract_counted(const mtp_buffer_t& buffer, u64& cursor, List& out)
{
    u32 count = 0;
    if (!extract_integer(buffer, cursor, count))
        return false;
    return mtp_buffer_extract(buffer, cursor, out, count);
}

bool is_dropped_codepoint(u32 c)
{
    // C0 controls (the terminator included), DEL and the C1 controls: a camera
    // string is a name, and a control character in a file name or a log line
    // does harm. The test is on code points, so no locale is involved.
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Decodes one code point of UTF-8 at text[i]; a byte that starts no valid
// sequence (bad lead, truncated, overlong, surrogate, past U+10FFFF) is taken
// alone as a Latin-1 character, so every text can be written.
u64 decode_utf8(const string_t& text, u64 i, u32& c)
{
    const u8* s = reinterpret_cast<const u8*>(text.str) + i;
    const u64 left = text.length - i;
    const u8 b0 = s[0];
    c = b0;
    if (b0 < 0x80)
        return 1;
    u64 length = 0;
    u32 value = 0;
    u32 minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF)
    {
        length = 2;
        value = b0 & 0x1F;
        minimum = 0x80;
    }
    else if (b0 >= 0xE0 && b0 <= 0xEF)
    {
        length = 3;
        value = b0 & 0x0F;
        minimum = 0x800;
    }
    else if (b0 >= 0xF0 && b0 <= 0xF4)
    {
        length = 4;
        value = b0 & 0x07;
        minimum = 0x10000;
    }
    else
        return 1;
    if (left < length)
        return 1;
    for (u64 k = 1; k < length; ++k)
    {
        if ((s[k] & 0xC0) != 0x80)
            return 1;
        value = (value << 6) | (s[k] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 1;
    c = value;
    return length;
}

// The number of UTF-16 units text becomes on the wire, terminator excluded.
u64 string_units(const string_t& text)
{
    u64 units = 0;
    for (u64 i = 0; i < text.length;)
    {
        u32 c;
        i += decode_utf8(text, i, c);
        units += c >= 0x10000 ? 2 : 1;
    }
    return units;
}
} // namespace

// --- names -----------------------------------------------------------------------------

const char* mtp_datatype_to_cstr(u32 datatype)
{
    static const char* const scalars[] = {"Undefined", "INT8",  "UINT8", "INT16",  "UINT16", "INT32",
                                          "UINT32",    "INT64", "UINT64", "INT128", "UINT128"};
    static const char* const arrays[] = {"AINT8",  "AUINT8", "AINT16",  "AUINT16", "AINT32",
                                         "AUINT32", "AINT64", "AUINT64", "AINT128", "AUINT128"};
    if (datatype <= MTP_DATATYPE_UINT128)
        return scalars[datatype];
    if (datatype >= MTP_DATATYPE_AINT8 && datatype <= MTP_DATATYPE_AUINT128)
        return arrays[datatype - MTP_DATATYPE_AINT8];
    if (datatype == MTP_DATATYPE_ASTR)
        return "ASTR";
    if (datatype == MTP_DATATYPE_STR)
        return "STR";
    return "unknown";
}

const char* mtp_datasetform_to_cstr(u32 form)
{
    static const char* const names[] = {"None",
                                        "Range",
                                        "Enumeration",
                                        "DateTime",
                                        "FixedLengthArray",
                                        "RegularExpression",
                                        "ByteArray",
                                        "LongString"};
    return form < 8 ? names[form] : "unknown";
}

mtp_datatype_t mtp_datatype_to_array(u32 datatype)
{
    if (datatype == MTP_DATATYPE_UNDEFINED)
        return MTP_DATATYPE_UNDEFINED;
    if (datatype == MTP_DATATYPE_STR)
        return MTP_DATATYPE_ASTR;
    return static_cast<mtp_datatype_t>(datatype | 0x4000u);
}

mtp_datatype_t mtp_datatype_from_array(u32 datatype)
{
    if (datatype == MTP_DATATYPE_UNDEFINED)
        return MTP_DATATYPE_UNDEFINED;
    if (datatype == MTP_DATATYPE_ASTR)
        return MTP_DATATYPE_STR;
    return static_cast<mtp_datatype_t>(datatype & ~0x4000u);
}

bool mtp_datatype_is_array(u32 datatype)
{
    return (datatype & 0x4000u) != 0 && datatype != MTP_DATATYPE_STR;
}

// --- buffer ------------------------------------------------------------------------

void mtp_buffer_initialise(mtp_buffer_t& buffer)
{
    buffer.data = nullptr;
    buffer.length = 0;
    buffer.capacity = 0;
    buffer.owned = true;
}

void mtp_buffer_release(mtp_buffer_t& buffer)
{
    if (buffer.data && buffer.owned)
        heap_free(buffer.data, ORVO_HEAP_TAG);
    mtp_buffer_initialise(buffer);
}

bool mtp_buffer_allocate(mtp_buffer_t& buffer, u64 n)
{
    // A slice gets storage of its own, so that bytes received into it never
    // land in the buffer it views.
    if (n <= buffer.capacity && buffer.owned)
    {
        buffer.length = n;
        return true;
    }
    u8* data = static_cast<u8*>(heap_alloc(n, 16, ORVO_HEAP_TAG));
    if (!data)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to allocate MTP transfer buffer (%llu bytes)",
                   static_cast<unsigned long long>(n));
        return false;
    }
    if (buffer.owned)
        heap_free(buffer.data, ORVO_HEAP_TAG);
    buffer.data = data;
    buffer.length = n;
    buffer.capacity = n;
    buffer.owned = true;
    return true;
}

void mtp_buffer_clear(mtp_buffer_t& buffer)
{
    buffer.length = 0;
}

u64 mtp_buffer_capacity(const mtp_buffer_t& buffer)
{
    return buffer.capacity;
}

bool mtp_buffer_copy(mtp_buffer_t& target, const mtp_buffer_t& source)
{
    if (&target == &source)
        return true;
    if (!target.owned)
        mtp_buffer_initialise(target);
    if (!mtp_buffer_allocate(target, source.length))
        return false;
    if (source.length)
        std::memmove(target.data, source.data, source.length);
    return true;
}

bool mtp_buffer_slice(mtp_buffer_t& target, const mtp_buffer_t& source, u64 offset, u64 n)
{
    const bool inside = offset <= source.length && n <= source.length - offset;
    if (&target == &source)
    {
        // A buffer cannot view itself once its storage is gone.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP buffer slice of itself refused");
        return false;
    }
    if (target.owned)
        heap_free(target.data, ORVO_HEAP_TAG);
    mtp_buffer_initialise(target);
    if (!inside)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP buffer slice %llu+%llu outside %llu bytes",
                   static_cast<unsigned long long>(offset), static_cast<unsigned long long>(n),
                   static_cast<unsigned long long>(source.length));
        return false;
    }
    target.data = source.data ? source.data + offset : nullptr;
    target.length = n;
    target.capacity = n;
    target.owned = false;
    return true;
}

// --- integer reads -------------------------------------------------------------------

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i8& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u8& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i16& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u16& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i32& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u32& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i64& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u64& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, long long& out)
{
    return extract_integer(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, unsigned long long& out)
{
    return extract_integer(buffer, cursor, out);
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, uint128_t& out)
{
    if (bytes_left(buffer, cursor) < sizeof(out.bytes))
        return false;
    std::memcpy(out.bytes, buffer.data + cursor, sizeof(out.bytes));
    cursor += sizeof(out.bytes);
    return true;
}

// --- array reads ----------------------------------------------------------------------

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i8>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u8>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i16>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u16>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i32>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u32>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i64>& out)
{
    return extract_counted(buffer, cursor, out);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u64>& out)
{
    return extract_counted(buffer, cursor, out);
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i8>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u8>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i16>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u16>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i32>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u32>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i64>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u64>& out, u64 n)
{
    return extract_array(buffer, cursor, out, n);
}

// --- strings ----------------------------------------------------------------------------

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringbuffer_t& out)
{
    u8 units = 0;
    if (!extract_integer(buffer, cursor, units))
        return false;
    if (bytes_left(buffer, cursor) < 2ull * units)
        return false;

    // At most 255 units, each at most 3 bytes of UTF-8 (a surrogate pair, two
    // units, makes 4): the decoded text always fits here.
    char text[255 * 3 + 1];
    u64 length = 0;
    const u8* wire = buffer.data + cursor;
    for (u32 i = 0; i < units; ++i)
    {
        u32 c = static_cast<u32>(wire[2 * i]) | (static_cast<u32>(wire[2 * i + 1]) << 8);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units)
        {
            u32 low = static_cast<u32>(wire[2 * i + 2]) | (static_cast<u32>(wire[2 * i + 3]) << 8);
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF)
            continue; // a surrogate without its partner has no character
        if (is_dropped_codepoint(c))
            continue;
        length += utf8_encode(c, text + length);
    }
    stringbuffer_clear(out);
    if (length && !stringbuffer_append(out, string_t{text, length}))
        return false;
    cursor += 2ull * units;
    return true;
}

bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, const string_t& text)
{
    const u64 units = string_units(text);
    if (units > MTP_STRING_MAX_UNITS)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP string of %llu characters too long to write (limit %llu)",
                   static_cast<unsigned long long>(units), static_cast<unsigned long long>(MTP_STRING_MAX_UNITS));
        return false;
    }
    const u64 width = 1 + 2 * (units + 1);
    u8* slot = write_slot(buffer, cursor, width);
    if (!slot)
        return false;
    u8* out = slot;
    *out++ = static_cast<u8>(units + 1);
    auto put = [&out](u32 unit) {
        *out++ = static_cast<u8>(unit);
        *out++ = static_cast<u8>(unit >> 8);
    };
    for (u64 i = 0; i < text.length;)
    {
        u32 c;
        i += decode_utf8(text, i, c);
        if (c >= 0x10000)
        {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
        else
            put(c);
    }
    put(0);
    cursor += width;
    return true;
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringarray_t& out, u64 n)
{
    stringarray_clear(out);
    stringbuffer_t text;
    stringbuffer_initialise(text);
    bool ok = true;
    // Every string takes at least its count byte, so the loop ends at the
    // buffer's end whatever n claims; nothing is reserved by n.
    for (u64 i = 0; i < n && ok; ++i)
        ok = mtp_buffer_extract(buffer, cursor, text) && stringarray_append(out, text);
    stringbuffer_release(text);
    return ok;
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringarray_t& out)
{
    return extract_counted(buffer, cursor, out);
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, datetime_t& out)
{
    mtp_datavalue_t value;
    mtp_datavalue_initialise(value, MTP_DATATYPE_STR);
    u64 position = cursor;
    bool ok = mtp_buffer_extract(buffer, position, value.str) && mtp_datavalue_to_datetime(value, out);
    if (ok)
        cursor = position;
    mtp_datavalue_release(value);
    return ok;
}

// --- integer writes ---------------------------------------------------------------------

bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i8 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u8 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i16 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u16 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i32 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u32 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i64 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u64 value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, long long value)
{
    return write_integer(buffer, cursor, value);
}
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, unsigned long long value)
{
    return write_integer(buffer, cursor, value);
}

u64 mtp_string_num_bytes(const string_t& text)
{
    return 2 * string_units(text) + 3;
}
} // namespace orvo
