// printf-style formatting into a stringbuffer_t. Formatting starts with at
// least 200 bytes (appending with 1000 more than the text) so most messages
// format in one pass; a result that does not fit is formatted again into a
// larger storage with a fresh copy of the argument list.
#include "orvo/core/core_string.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvo
{
bool stringbuffer_format(stringbuffer_t& buffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = stringbuffer_formatv(buffer, format, args);
    va_end(args);
    return ok;
}

// Formats at `offset` of the buffer, keeping the text before it. The first
// pass uses the room the storage has; a text that does not fit grows it to
// twice what is needed (at least first_size). The text may
// be an argument of its own format ("%s" of the buffer itself), so a pass
// never writes over bytes it may read: a first pass writes only behind the
// kept text into storage it already has, and any larger storage is a new
// block, filled while the old one (and the arguments in it) stays alive.
static bool stringbuffer_format_at(stringbuffer_t& buffer, u64 offset, u64 first_size, const char* format,
                                   va_list args)
{
    memorybuffer_t& storage = buffer.storage;
    int result = -1;
    if (storage.buf && storage.capacity > offset)
    {
        va_list copy;
        va_copy(copy, args);
        result = std::vsnprintf(reinterpret_cast<char*>(storage.buf) + offset,
                                static_cast<size_t>(storage.capacity + 1 - offset), format, copy);
        va_end(copy);
        if (result < 0)
        {
            storage.buf[offset] = 0;
            return false;
        }
        if (static_cast<u64>(result) <= storage.capacity - offset)
        {
            storage.data = storage.buf;
            stringbuffer_unlock(buffer, offset + static_cast<u64>(result));
            return true;
        }
    }
    else
    {
        va_list copy;
        va_copy(copy, args);
        result = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (result < 0)
            return false;
    }
    // Twice what is needed: repeated appends copy the text a bounded number
    // of times instead of once per call.
    u64 needed = offset + static_cast<u64>(result);
    u64 size = std::min(2 * needed + 2, MEMORYBUFFER_MAX_BYTES);
    if (storage.capacity == 0 && needed <= first_size)
        size = first_size; // the first storage: most texts fit in one pass from here on
    size = std::max(size, first_size);
    memorybuffer_t grown;
    memorybuffer_initialise(grown);
    u8* out = nullptr;
    if (!memorybuffer_lock(grown, size, out))
    {
        if (storage.buf)
            storage.buf[std::min(offset, storage.capacity)] = 0;
        return false;
    }
    if (offset)
        std::memcpy(out, storage.buf, static_cast<size_t>(offset));
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(reinterpret_cast<char*>(out) + offset, static_cast<size_t>(size + 1 - offset), format, copy);
    va_end(copy);
    memorybuffer_move(grown, storage);
    stringbuffer_unlock(buffer, needed);
    return true;
}

bool stringbuffer_formatv(stringbuffer_t& buffer, const char* format, va_list args)
{
    if (buffer.length == 0)
        return stringbuffer_format_at(buffer, 0, 200, format, args);
    // A buffer with text formats into new storage: the text may be one of the
    // arguments and must stay readable while the result is written.
    memorybuffer_t fresh;
    memorybuffer_initialise(fresh);
    u64 size = std::max<u64>(200, buffer.storage.capacity);
    int result = -1;
    for (;;)
    {
        u8* out = nullptr;
        if (!memorybuffer_lock(fresh, size, out))
            break;
        va_list copy;
        va_copy(copy, args);
        result = std::vsnprintf(reinterpret_cast<char*>(out), static_cast<size_t>(size + 1), format, copy);
        va_end(copy);
        if (result < 0 || static_cast<u64>(result) <= size)
            break;
        size = static_cast<u64>(result) * 2 + 2;
        memorybuffer_release(fresh); // nothing to keep: formatted again from the start
    }
    if (result < 0 || !fresh.buf || static_cast<u64>(result) > fresh.capacity)
    {
        memorybuffer_release(fresh);
        stringbuffer_clear(buffer); // as a failed first pass leaves it
        return false;
    }
    memorybuffer_move(fresh, buffer.storage); // frees the old text, read by now
    stringbuffer_unlock(buffer, static_cast<u64>(result));
    return true;
}

bool stringbuffer_appendf(stringbuffer_t& buffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = stringbuffer_appendv(buffer, format, args);
    va_end(args);
    return ok;
}

bool stringbuffer_appendv(stringbuffer_t& buffer, const char* format, va_list args)
{
    return stringbuffer_format_at(buffer, buffer.length, buffer.length + 1000, format, args);
}
} // namespace orvo
