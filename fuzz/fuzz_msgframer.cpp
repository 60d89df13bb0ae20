// A byte stream fed to msgframer_t in chunks of varying size: every message
// handed out lies inside the held bytes, is at least a header long, and the
// framer never hands out more bytes than it took in. The first four bytes
// seed the chunk sizes; a blocked framer is reset now and then, as the
// discovery receiver does before each datagram.
#include "orvo/core/core_log.h"
#include "orvo/core/core_msgframer.h"

#include <cstring>

using namespace orvo;

namespace
{
void discard(const string_t&, void*) {}

u32 next_random(u32& state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool opened = [] {
        log_open();
        log_set_handler(discard, nullptr);
        log_enable(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE, true); // the framed-message dump too
        return true;
    }();
    (void)opened;
    if (size < 4)
        return 0;
    u32 state = 0;
    std::memcpy(&state, data, 4);
    data += 4;
    size -= 4;

    msgframer_t framer;
    msgframer_initialise(framer);
    u64 fed = 0;
    u64 framed = 0;
    while (fed < size)
    {
        const u32 roll = next_random(state);
        u64 chunk = (roll & 3) == 0 ? 1 + (roll >> 2) % 4096 : 1 + (roll >> 2) % 48;
        if (chunk > size - fed)
            chunk = size - fed;
        u8* out = nullptr;
        if (!msgframer_lock(framer, chunk, out) || !out)
            __builtin_trap();
        std::memcpy(out, data + fed, chunk);
        msgframer_unlock(framer, chunk);
        fed += chunk;

        bool any = false;
        while (const msg_t* msg = msgframer_next(framer))
        {
            const u8* at = reinterpret_cast<const u8*>(msg);
            if (msg->num_bytes < sizeof(msg_t) || at < framer.buffer.buf ||
                at + msg->num_bytes > framer.buffer.buf + framer.buffer.num_bytes)
                __builtin_trap();
            msg_validate(msg);
            framed += msg->num_bytes;
            any = true;
        }
        if (framed > fed)
            __builtin_trap();
        if (!any && (next_random(state) & 7) == 0)
            msgframer_reset(framer);
    }
    msgframer_release(framer);
    return 0;
}
