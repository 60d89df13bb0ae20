// The content hash over libfarmhash's Fingerprint128, in byte and text form.
#include "orvo/core/core_hash.h"

#include "orvo/core/core_log.h"

#include <farmhash.h>

namespace orvo
{
namespace
{
void store_le64(u8* out, u64 value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<u8>(value >> (8 * i));
}

bool check_input(const void* bytes, u64 n)
{
    if (!bytes && n != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "compute_hash: no data for %llu bytes", (unsigned long long)n);
        return false;
    }
    return true;
}
} // namespace

bool compute_hash(memorybuffer_t& out, const void* bytes, u64 n)
{
    if (!check_input(bytes, n))
        return false;
    u8* target = nullptr;
    // memorybuffer_lock logs its own failure and leaves the buffer as it was.
    if (!memorybuffer_lock(out, HASH_NUM_BYTES, target))
        return false;
    // An empty block is hashed as zero bytes at a valid address.
    const char* data = n ? static_cast<const char*>(bytes) : "";
    util::uint128_t fingerprint = util::Fingerprint128(data, static_cast<size_t>(n));
    store_le64(target, util::Uint128Low64(fingerprint));
    store_le64(target + 8, util::Uint128High64(fingerprint));
    memorybuffer_unlock(out, HASH_NUM_BYTES);
    return true;
}

bool compute_hash(memorybuffer_t& out, const string_t& text)
{
    return compute_hash(out, text.str, text.str ? text.length : 0);
}

bool compute_hash(stringbuffer_t& out, const void* bytes, u64 n)
{
    // The 16 bytes go through a scratch buffer of their own (17 bytes with its
    // terminator) so that the text is only touched once they exist.
    memorybuffer_t scratch;
    memorybuffer_initialise(scratch);
    bool hashed = compute_hash(scratch, bytes, n);
    stringbuffer_clear(out);
    char* text = nullptr;
    if (hashed && stringbuffer_lock(out, HASH_TEXT_LENGTH, text))
    {
        static const char digits[] = "0123456789abcdef";
        for (u64 i = 0; i < HASH_NUM_BYTES; ++i)
        {
            text[2 * i] = digits[scratch.data[i] >> 4];
            text[2 * i + 1] = digits[scratch.data[i] & 15];
        }
        stringbuffer_unlock(out, HASH_TEXT_LENGTH);
    }
    else
        hashed = false;
    memorybuffer_release(scratch);
    return hashed;
}

bool compute_hash(stringbuffer_t& out, const string_t& text)
{
    return compute_hash(out, text.str, text.str ? text.length : 0);
}
} // namespace orvo
