// string_t helpers and stringbuffer_t storage operations.
#include "orvo/core/core_string.h"

#include <boost/locale/encoding_utf.hpp>

#include <cstring>

namespace orvo
{
const string_t empty_str = {"", 0};

string_t string_make(const char* text)
{
    if (!text || !*text)
        return empty_str;
    return string_t{text, std::strlen(text)};
}

string_t string_make(const char* text, u64 length)
{
    if (!text || length == 0)
        return empty_str;
    return string_t{text, length};
}

bool string_equal(const string_t& a, const string_t& b)
{
    return a.length == b.length && (a.length == 0 || std::memcmp(a.str, b.str, a.length) == 0);
}

bool string_equal_ignoring_ascii_case(const string_t& a, const string_t& b)
{
    if (a.length != b.length)
        return false;
    for (u64 i = 0; i < a.length; ++i)
    {
        char x = a.str[i];
        char y = b.str[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

void stringbuffer_initialise(stringbuffer_t& buffer)
{
    buffer.str = empty_str.str;
    buffer.length = 0;
    memorybuffer_initialise(buffer.storage);
}

void stringbuffer_release(stringbuffer_t& buffer)
{
    memorybuffer_release(buffer.storage);
    buffer.str = empty_str.str;
    buffer.length = 0;
}

void stringbuffer_clear(stringbuffer_t& buffer)
{
    buffer.str = empty_str.str;
    buffer.length = 0;
    buffer.storage.num_bytes = 0;
    if (buffer.storage.buf)
        buffer.storage.buf[0] = 0;
}

// Makes the view agree with the storage after a write of `length` bytes.
static void stringbuffer_commit(stringbuffer_t& buffer, u64 length)
{
    memorybuffer_unlock(buffer.storage, length);
    if (length == 0 || !buffer.storage.buf)
    {
        buffer.str = empty_str.str;
        buffer.length = 0;
        return;
    }
    buffer.str = reinterpret_cast<const char*>(buffer.storage.buf);
    buffer.length = length;
}

bool stringbuffer_set(stringbuffer_t& buffer, const string_t& text)
{
    if (text.length == 0)
    {
        stringbuffer_release(buffer);
        return true;
    }
    u8* storage = nullptr;
    // Copy the source first when it lives in our own storage, which may move.
    if (buffer.storage.buf && text.str >= reinterpret_cast<const char*>(buffer.storage.buf) &&
        text.str <= reinterpret_cast<const char*>(buffer.storage.buf) + buffer.storage.capacity)
    {
        std::memmove(buffer.storage.buf, text.str, text.length);
        stringbuffer_commit(buffer, text.length);
        return true;
    }
    if (!memorybuffer_lock(buffer.storage, text.length, storage))
        return false;
    std::memcpy(storage, text.str, text.length);
    stringbuffer_commit(buffer, text.length);
    return true;
}

bool stringbuffer_set(stringbuffer_t& buffer, const char* text)
{
    return stringbuffer_set(buffer, string_make(text));
}

bool stringbuffer_set(stringbuffer_t& buffer, char c)
{
    return stringbuffer_set(buffer, string_t{&c, 1});
}

bool stringbuffer_set(stringbuffer_t& buffer, const std::string& text)
{
    std::string clean = boost::locale::conv::utf_to_utf<char>(text.data(), text.data() + text.size());
    return stringbuffer_set(buffer, string_make(clean.c_str()));
}

// Encodes each valid code point; surrogates and values past U+10FFFF are skipped.
static void wide_to_utf8(const std::wstring& text, std::string& out)
{
    out.clear();
    char bytes[4];
    for (wchar_t unit : text)
    {
        u32 c = static_cast<u32>(unit);
        if (c >= 0x110000 || (c >= 0xD800 && c <= 0xDFFF))
            continue;
        out.append(bytes, static_cast<size_t>(utf8_encode(c, bytes)));
    }
}

bool stringbuffer_set(stringbuffer_t& buffer, const std::wstring& text)
{
    std::string utf8;
    wide_to_utf8(text, utf8);
    return stringbuffer_set(buffer, string_make(utf8.c_str()));
}

bool stringbuffer_copy(stringbuffer_t& destination, const stringbuffer_t& source)
{
    if (&destination == &source)
        return true;
    return stringbuffer_set(destination, static_cast<const string_t&>(source));
}

bool stringbuffer_append(stringbuffer_t& buffer, const string_t& text)
{
    if (text.length == 0)
        return true;
    u64 old_length = buffer.length;
    // memorybuffer_append copes with a source inside the buffer's own storage.
    buffer.storage.num_bytes = old_length;
    if (!memorybuffer_append(buffer.storage, text.str, text.length))
        return false;
    stringbuffer_commit(buffer, old_length + text.length);
    return true;
}

bool stringbuffer_append(stringbuffer_t& buffer, const char* text)
{
    return stringbuffer_append(buffer, string_make(text));
}

bool stringbuffer_append(stringbuffer_t& buffer, char c)
{
    return stringbuffer_append(buffer, string_t{&c, 1});
}

bool stringbuffer_append(stringbuffer_t& buffer, const std::string& text)
{
    std::string clean = boost::locale::conv::utf_to_utf<char>(text.data(), text.data() + text.size());
    return stringbuffer_append(buffer, string_make(clean.c_str()));
}

bool stringbuffer_append(stringbuffer_t& buffer, const std::wstring& text)
{
    std::string utf8;
    wide_to_utf8(text, utf8);
    return stringbuffer_append(buffer, string_make(utf8.c_str()));
}

void stringbuffer_move(stringbuffer_t& from, stringbuffer_t& to)
{
    if (&from == &to)
        return;
    memorybuffer_move(from.storage, to.storage);
    to.str = from.length ? reinterpret_cast<const char*>(to.storage.buf) : empty_str.str;
    to.length = from.length;
    from.str = empty_str.str;
    from.length = 0;
}

bool stringbuffer_lock(stringbuffer_t& buffer, u64 n, char*& out)
{
    u8* storage = nullptr;
    if (!memorybuffer_lock(buffer.storage, n, storage))
    {
        out = nullptr;
        return false;
    }
    out = reinterpret_cast<char*>(storage);
    if (storage && buffer.length)
        buffer.str = out;
    return true;
}

void stringbuffer_unlock(stringbuffer_t& buffer, u64 n)
{
    stringbuffer_commit(buffer, n);
}

void stringbuffer_unlock(stringbuffer_t& buffer)
{
    u64 n = buffer.storage.buf ? std::strlen(reinterpret_cast<const char*>(buffer.storage.buf)) : 0;
    stringbuffer_commit(buffer, n);
}

bool stringbuffer_print_num_bytes(stringbuffer_t& buffer, u64 n)
{
    unsigned long long count = n;
    if (n < 1024ull)
        return stringbuffer_format(buffer, "%llub", count);
    if (n < 1048576ull)
        return stringbuffer_format(buffer, "%llukb", count / 1024ull);
    if (n >= 1073741824ull)
        return stringbuffer_format(buffer, "%llugb", count >> 30);
    return stringbuffer_format(buffer, "%llumb", count >> 20);
}

void string_to_std(const string_t& text, std::string& out)
{
    const char* end = text.str;
    const char* limit = text.str + text.length;
    while (end < limit && *end)
        ++end;
    out = boost::locale::conv::utf_to_utf<char>(text.str, end);
}

void string_to_std(const string_t& text, std::wstring& out)
{
    const char* end = text.str;
    const char* limit = text.str + text.length;
    while (end < limit && *end)
        ++end;
    out = boost::locale::conv::utf_to_utf<wchar_t>(text.str, end);
}
} // namespace orvo
