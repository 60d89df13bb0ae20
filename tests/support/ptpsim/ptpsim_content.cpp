// Object content generators, the data-in phase with its faults, the decoder of
// values sent by the engine and the DateTime texts of the camera clock.
#include "support/ptpsim/ptpsim_content.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace ptpsim
{
namespace
{
// SOI, an APP0 "JFIF" segment and an SOS header: 2 + 18 + 14 bytes.
const uint8_t kJpegHeader[] = {
    0xFF, 0xD8,                                                             // SOI
    0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x48, 0x00, 0x48, 0x00, 0x00, // APP0
    0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00, // SOS
};
const uint64_t kJpegHeaderSize = sizeof kJpegHeader;

uint64_t splitmix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Word k of the pattern holds bytes 8k to 8k + 7 (in memory order), so any
// offset can be made without the bytes before it. With `no_ff` every 0xFF
// byte becomes 0x7F, as entropy-coded JPEG data never holds a bare FF. Whole
// words are made and stored eight bytes at a time: the download benchmarks
// run this on the reading thread, as a camera's own hardware would not.
void generate_pattern(uint64_t seed, uint64_t offset, uint8_t* out, size_t n, bool no_ff)
{
    const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    auto make = [&](uint64_t index) {
        uint64_t word = splitmix64(seed ^ index);
        if (no_ff)
        {
            // 0x80 in each byte of ~word that is zero, that is each FF byte:
            // clearing its top bit turns FF into 7F and touches no other byte.
            uint64_t x = ~word;
            uint64_t zero = ~(((x & low7) + low7) | x | low7);
            word ^= zero;
        }
        return word;
    };
    size_t done = 0;
    // The first word, when the offset falls inside it.
    if (offset % 8 != 0 && n > 0)
    {
        uint64_t word = make(offset / 8);
        size_t skip = offset % 8;
        size_t take = std::min<size_t>(8 - skip, n);
        uint8_t bytes[8];
        std::memcpy(bytes, &word, 8);
        std::memcpy(out, bytes + skip, take);
        done = take;
    }
    uint64_t index = (offset + done) / 8;
    for (; n - done >= 8; done += 8, ++index)
    {
        uint64_t word = make(index);
        std::memcpy(out + done, &word, 8);
    }
    if (done < n)
    {
        uint64_t word = make(index);
        std::memcpy(out + done, &word, n - done);
    }
}

uint64_t mask_for(uint16_t datatype)
{
    size_t width = datatype_width(datatype);
    return width >= 8 ? ~0ull : ((1ull << (8 * width)) - 1);
}

int64_t as_signed(uint16_t datatype, uint64_t bits)
{
    size_t width = datatype_width(datatype);
    if (width == 0 || width >= 8)
        return static_cast<int64_t>(bits);
    uint64_t sign = 1ull << (8 * width - 1);
    bits &= mask_for(datatype);
    return static_cast<int64_t>((bits ^ sign) - sign);
}

bool read_integer(const Bytes& bytes, size_t& cursor, size_t width, uint64_t& value)
{
    if (bytes.size() - cursor < width)
        return false;
    value = 0;
    for (size_t i = 0; i < width; ++i)
        value |= static_cast<uint64_t>(bytes[cursor + i]) << (8 * i);
    cursor += width;
    return true;
}

bool read_string(const Bytes& bytes, size_t& cursor, std::string& text)
{
    if (cursor >= bytes.size())
        return false;
    size_t units = bytes[cursor++];
    if (bytes.size() - cursor < units * 2)
        return false;
    std::vector<uint16_t> code_units;
    for (size_t i = 0; i < units; ++i)
        code_units.push_back(static_cast<uint16_t>(bytes[cursor + 2 * i] | (bytes[cursor + 2 * i + 1] << 8)));
    cursor += units * 2;
    // The count includes a terminating zero unit; anything after a zero is dropped.
    text.clear();
    for (size_t i = 0; i < code_units.size(); ++i)
    {
        uint32_t c = code_units[i];
        if (c == 0)
            break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < code_units.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (code_units[++i] - 0xDC00);
        if (c < 0x80)
            text += static_cast<char>(c);
        else if (c < 0x800)
        {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
        else if (c < 0x10000)
        {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
        else
        {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}
} // namespace

void generate_content(Content content, uint64_t seed, uint64_t size, uint64_t offset, uint8_t* out, size_t n)
{
    if (offset >= size)
        return;
    n = static_cast<size_t>(std::min<uint64_t>(n, size - offset));
    generate_pattern(seed, offset, out, n, content == Content::kJpeg);
    if (content != Content::kJpeg)
        return;
    for (uint64_t i = offset; i < kJpegHeaderSize && i < offset + n; ++i)
        out[i - offset] = kJpegHeader[i];
    if (size >= kJpegHeaderSize + 2)
    {
        for (uint64_t i = size - 2; i < size; ++i)
            if (i >= offset && i < offset + n)
                out[i - offset] = i == size - 2 ? 0xFF : 0xD9;
    }
}

// --- DataIn ----------------------------------------------------------------------------

void DataIn::replace(Bytes bytes)
{
    m_bytes = std::move(bytes);
    m_is_content = false;
    m_patches.clear();
}

void DataIn::content(const Object& object, uint64_t offset, uint64_t length)
{
    m_bytes.clear();
    m_is_content = true;
    m_handle = object.handle;
    m_content = object.content;
    m_seed = object.seed;
    m_object_size = object.size;
    m_offset = offset;
    m_length = offset >= object.size ? 0 : std::min(length, object.size - offset);
    m_patches.clear();
}

void DataIn::shorten(uint64_t length)
{
    if (m_is_content)
        m_length = std::min(m_length, length);
    else if (length < m_bytes.size())
        m_bytes.resize(length);
}

void DataIn::patch(uint64_t offset, uint8_t mask)
{
    m_patches.emplace_back(offset, mask);
}

uint64_t DataIn::size() const
{
    return m_is_content ? m_length : m_bytes.size();
}

bool DataIn::deliver(orvo::mtp_buffer_t& buffer) const
{
    uint64_t n = size();
    if (!orvo::mtp_buffer_allocate(buffer, n))
        return false;
    if (n > 0)
    {
        if (m_is_content)
            generate_content(m_content, m_seed, m_object_size, m_offset, buffer.data, static_cast<size_t>(n));
        else
            std::memcpy(buffer.data, m_bytes.data(), n);
    }
    for (const auto& patch : m_patches)
        if (patch.first < n)
            buffer.data[patch.first] ^= patch.second;
    return true;
}

void DataIn::read(uint64_t offset, uint8_t* out, size_t n) const
{
    if (m_is_content)
        generate_content(m_content, m_seed, m_object_size, m_offset + offset, out, n);
    else
        std::memcpy(out, m_bytes.data() + offset, n);
    for (const auto& patch : m_patches)
        if (patch.first >= offset && patch.first < offset + n)
            out[patch.first - offset] ^= patch.second;
}

bool DataIn::deliver_in_packets(orvo::mtp_buffer_t& buffer, uint64_t packet,
                                const std::function<void(uint64_t)>& after_packet) const
{
    uint64_t n = size();
    if (packet == 0 || !orvo::mtp_buffer_allocate(buffer, n))
        return false;
    std::vector<uint8_t> scratch(static_cast<size_t>(std::min<uint64_t>(packet, n ? n : 1)));
    for (uint64_t at = 0; at < n; at += packet)
    {
        size_t take = static_cast<size_t>(std::min<uint64_t>(packet, n - at));
        read(at, scratch.data(), take);
        std::memcpy(buffer.data + at, scratch.data(), take);
        if (after_packet)
            after_packet(at + take);
    }
    return true;
}

// --- values -------------------------------------------------------------------------------

bool decode_value(uint16_t datatype, const Bytes& bytes, Value& value)
{
    size_t cursor = 0;
    value = Value();
    if (datatype == kStr)
    {
        if (!read_string(bytes, cursor, value.text))
            return false;
    }
    else if (datatype & 0x4000)
    {
        size_t width = datatype_width(datatype);
        uint64_t count = 0;
        if (width == 0 || !read_integer(bytes, cursor, 4, count) || (bytes.size() - cursor) / width < count)
            return false;
        for (uint64_t i = 0; i < count; ++i)
        {
            uint64_t element = 0;
            read_integer(bytes, cursor, width, element);
            value.elements.push_back(element);
        }
    }
    else
    {
        size_t width = datatype_width(datatype);
        if (width == 0 || !read_integer(bytes, cursor, width, value.bits))
            return false;
    }
    return cursor == bytes.size();
}

bool values_equal(uint16_t datatype, const Value& a, const Value& b)
{
    if (datatype == kStr)
        return a.text == b.text;
    if (datatype & 0x4000)
        return a.elements == b.elements;
    uint64_t mask = mask_for(datatype);
    return (a.bits & mask) == (b.bits & mask);
}

bool value_allowed(const DevicePropDesc& desc, const Value& value)
{
    if (desc.form == kFormEnumeration)
    {
        for (const Value& allowed : desc.enumeration)
            if (values_equal(desc.datatype, allowed, value))
                return true;
        return false;
    }
    if (desc.form == kFormRange && desc.datatype != kStr && !(desc.datatype & 0x4000))
    {
        bool is_signed = datatype_is_signed(desc.datatype);
        uint64_t mask = mask_for(desc.datatype);
        if (is_signed)
        {
            int64_t v = as_signed(desc.datatype, value.bits);
            int64_t lo = as_signed(desc.datatype, desc.min.bits);
            int64_t hi = as_signed(desc.datatype, desc.max.bits);
            int64_t step = as_signed(desc.datatype, desc.step.bits);
            return v >= lo && v <= hi && (step <= 0 || (v - lo) % step == 0);
        }
        uint64_t v = value.bits & mask;
        uint64_t lo = desc.min.bits & mask;
        uint64_t hi = desc.max.bits & mask;
        uint64_t step = desc.step.bits & mask;
        return v >= lo && v <= hi && (step == 0 || (v - lo) % step == 0);
    }
    return true;
}

// --- the camera clock -------------------------------------------------------------------------

std::string format_datetime(int64_t microseconds)
{
    // Floor division: a clock before 1970 still names the second it is in.
    int64_t seconds = microseconds / 1000000;
    if (microseconds % 1000000 < 0)
        --seconds;
    time_t t = static_cast<time_t>(seconds);
    struct tm fields = {};
    localtime_r(&t, &fields);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

bool parse_datetime(const std::string& text, int64_t& seconds)
{
    int year, month, day, hour, minute, second;
    char separator = 0;
    if (text.size() < 15 || std::sscanf(text.c_str(), "%4d%2d%2d%c%2d%2d%2d", &year, &month, &day, &separator, &hour,
                                        &minute, &second) != 7 ||
        separator != 'T')
        return false;
    struct tm fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    time_t t = mktime(&fields);
    if (t == static_cast<time_t>(-1))
        return false;
    seconds = static_cast<int64_t>(t);
    return true;
}
} // namespace ptpsim
