// printf-style formatting into a stringbuffer_t. Formatting starts with at
// least 200 bytes (appending with 1000 more than the text) so most messages
// format in one pass; a result that does not fit is formatted again into a
// larger storage with a fresh copy of the argument list.
#include "orvo/core/core_string.h"

#include <algorithm>
#include <cstdio>

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

bool stringbuffer_formatv(stringbuffer_t& buffer, const char* format, va_list args)
{
    u64 size = std::max<u64>(200, buffer.storage.capacity);
    char* out = nullptr;
    if (!stringbuffer_lock(buffer, size, out))
        return false;
    va_list copy;
    va_copy(copy, args);
    int result = std::vsnprintf(out, static_cast<size_t>(size), format, copy);
    va_end(copy);
    while (result > 0 && static_cast<u64>(result) >= size)
    {
        stringbuffer_clear(buffer);
        size = static_cast<u64>(result) * 2 + 2;
        if (!stringbuffer_lock(buffer, size, out))
            return false; // the text stays empty
        va_copy(copy, args);
        result = std::vsnprintf(out, static_cast<size_t>(size), format, copy);
        va_end(copy);
    }
    stringbuffer_unlock(buffer, result > 0 ? static_cast<u64>(result) : 0);
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
    const u64 length = buffer.length;
    u64 size = std::max<u64>(length + 1000, buffer.storage.capacity);
    char* out = nullptr;
    if (!stringbuffer_lock(buffer, size, out))
        return false;
    va_list copy;
    va_copy(copy, args);
    int result = std::vsnprintf(out + length, static_cast<size_t>(size - length), format, copy);
    va_end(copy);
    while (result > 0 && static_cast<u64>(result) >= size - length)
    {
        buffer.storage.num_bytes = length; // the old text is kept by the lock
        size = 2 * length + 2 * static_cast<u64>(result) + 2;
        if (!stringbuffer_lock(buffer, size, out))
        {
            stringbuffer_unlock(buffer, length); // restore the terminator
            return false;
        }
        va_copy(copy, args);
        result = std::vsnprintf(out + length, static_cast<size_t>(size - length), format, copy);
        va_end(copy);
    }
    stringbuffer_unlock(buffer, length + (result > 0 ? static_cast<u64>(result) : 0));
    return true;
}
} // namespace orvo
