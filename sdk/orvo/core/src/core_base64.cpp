// Base64 encoding and lenient decoding between memorybuffer_t and text.
#include "orvo/core/core_base64.h"

#include "orvo/core/core_log.h"

#include <cstdint>

namespace orvo
{
const char base64_alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const u8 base64_reverse[128] = {
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 62,  0,  0,  0, 63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61,  0,  0,  0,  0,  0,  0,
     0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,  0,  0,  0,  0,  0,
     0, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51,  0,  0,  0,  0,  0,
};

namespace
{
// Text comes from JSON peers: bytes from 0x80 up are looked up as zero
// instead of indexing the table with a negative or too large value.
inline u32 sextet(char c)
{
    u8 b = static_cast<u8>(c);
    return b < 128 ? base64_reverse[b] : 0;
}
} // namespace

bool base64_encode(const memorybuffer_t& bytes, stringbuffer_t& text)
{
    stringbuffer_clear(text);
    const u64 n = bytes.data ? bytes.num_bytes : 0;
    if (n == 0)
        return false;
    if (n > UINT64_MAX / 4 * 3)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "base64_encode: %llu bytes are too many",
                   (unsigned long long)n);
        return false;
    }
    const u64 length = 4 * ((n + 2) / 3);
    char* out = nullptr;
    if (!stringbuffer_lock(text, length, out))
        return false;
    const u8* in = bytes.data;
    u64 i = 0;
    char* o = out;
    for (; i + 3 <= n; i += 3, o += 4)
    {
        u32 group = (u32(in[i]) << 16) | (u32(in[i + 1]) << 8) | u32(in[i + 2]);
        o[0] = base64_alphabet[(group >> 18) & 63];
        o[1] = base64_alphabet[(group >> 12) & 63];
        o[2] = base64_alphabet[(group >> 6) & 63];
        o[3] = base64_alphabet[group & 63];
    }
    if (i < n)
    {
        const bool two = i + 1 < n;
        u32 group = (u32(in[i]) << 16) | (two ? u32(in[i + 1]) << 8 : 0);
        o[0] = base64_alphabet[(group >> 18) & 63];
        o[1] = base64_alphabet[(group >> 12) & 63];
        o[2] = two ? base64_alphabet[(group >> 6) & 63] : '=';
        o[3] = '=';
    }
    stringbuffer_unlock(text, length);
    return true;
}

bool base64_decode(memorybuffer_t& bytes, const string_t& text)
{
    bytes.data = nullptr;
    bytes.num_bytes = 0;
    const u64 length = text.str ? text.length : 0;
    if (length == 0 || length % 4 != 0)
        return false;
    const char* in = text.str;
    u64 padding = 0;
    while (padding < length && in[length - 1 - padding] == '=')
        ++padding;
    u64 n = length / 4 * 3;
    u8* out = nullptr;
    if (!memorybuffer_lock(bytes, n, out))
        return false;
    for (u64 i = 0, o = 0; i < length; i += 4, o += 3)
    {
        u32 group = (sextet(in[i]) << 18) | (sextet(in[i + 1]) << 12) | (sextet(in[i + 2]) << 6) | sextet(in[i + 3]);
        out[o] = static_cast<u8>(group >> 16);
        out[o + 1] = static_cast<u8>(group >> 8);
        out[o + 2] = static_cast<u8>(group);
    }
    // Only one or two '=' are padding; three or more are read as zero bits.
    if (padding == 1 || padding == 2)
        n -= padding;
    memorybuffer_unlock(bytes, n);
    return true;
}
} // namespace orvo
