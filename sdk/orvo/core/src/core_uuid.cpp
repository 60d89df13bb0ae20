// Version 4 UUID texts from getrandom.
#include "orvo/core/core_uuid.h"

#include "orvo/core/core_log.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace orvo
{
namespace
{
// getrandom may return short reads for large requests and EINTR when a signal
// arrives before the pool is ready; 16 bytes are asked for until all came.
bool random_bytes(u8* out, u64 n)
{
    u64 filled = 0;
    while (filled < n)
    {
        ssize_t got = getrandom(out + filled, static_cast<size_t>(n - filled), 0);
        if (got < 0)
        {
            if (errno == EINTR)
                continue;
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "uuid_generate: getrandom failed: %s", std::strerror(errno));
            return false;
        }
        filled += static_cast<u64>(got);
    }
    return true;
}
} // namespace

bool uuid_generate(stringbuffer_t& out)
{
    u8 b[16];
    if (!random_bytes(b, sizeof(b)))
    {
        stringbuffer_clear(out);
        return false;
    }
    b[6] = static_cast<u8>((b[6] & 0x0F) | 0x40); // version 4: random
    b[8] = static_cast<u8>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    return stringbuffer_format(out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                               b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                               b[15]);
}
} // namespace orvo
