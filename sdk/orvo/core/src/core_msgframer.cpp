// msgframer_t: received bytes in, complete messages out. Only the header is
// looked at here; the receiver validates the fields. A size below the header
// counts as foreign bytes: handing out a 0-byte message would never advance.
#include "orvo/core/core_msgframer.h"

#include "orvo/core/core_log.h"

#include <algorithm>
#include <cstring>

namespace orvo
{
void msgframer_initialise(msgframer_t& framer)
{
    memorybuffer_initialise(framer.buffer);
    framer.read_position = 0;
}

void msgframer_release(msgframer_t& framer)
{
    memorybuffer_release(framer.buffer);
    framer.read_position = 0;
}

void msgframer_reset(msgframer_t& framer)
{
    framer.buffer.num_bytes = 0;
    if (framer.buffer.buf)
        framer.buffer.buf[0] = 0;
    framer.read_position = 0;
}

bool msgframer_lock(msgframer_t& framer, u64 n, u8*& out)
{
    out = nullptr;
    memorybuffer_t& buffer = framer.buffer;
    const u64 held = buffer.num_bytes - framer.read_position;
    // The bytes handed out go first; only the unread tail is kept.
    if (framer.read_position > 0)
    {
        if (held)
            std::memmove(buffer.buf, buffer.buf + framer.read_position, static_cast<size_t>(held));
        buffer.num_bytes = held;
        buffer.buf[held] = 0;
        framer.read_position = 0;
    }
    if (n > ~u64(0) - held - 1)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to lock msg framer: %llu bytes requested",
                   static_cast<unsigned long long>(n));
        return false;
    }
    // Grown geometrically: a message arriving in many small pieces would
    // otherwise copy everything held on every piece.
    u64 size = held + n;
    if (size > buffer.capacity && buffer.capacity <= MEMORYBUFFER_MAX_BYTES / 2)
        size = std::max(size, 2 * buffer.capacity);
    u8* storage = nullptr;
    if (!memorybuffer_lock(buffer, size, storage))
        return false;
    out = storage ? storage + held : nullptr;
    return true;
}

void msgframer_unlock(msgframer_t& framer, u64 count)
{
    memorybuffer_t& buffer = framer.buffer;
    if (!buffer.buf)
        return;
    const u64 room = buffer.capacity - buffer.num_bytes;
    if (count > room)
        count = room;
    buffer.num_bytes += count;
    buffer.buf[buffer.num_bytes] = 0;
}

const msg_t* msgframer_next(msgframer_t& framer)
{
    const memorybuffer_t& buffer = framer.buffer;
    if (!buffer.buf || buffer.num_bytes < framer.read_position)
        return nullptr;
    const u64 held = buffer.num_bytes - framer.read_position;
    if (held < sizeof(msg_t))
        return nullptr;
    const msg_t* msg = reinterpret_cast<const msg_t*>(buffer.buf + framer.read_position);
    if (msg->marker != ORVO_MSG_MARKER || msg->num_bytes < sizeof(msg_t) || held < msg->num_bytes)
        return nullptr;
    if (!(msg->flags & MSG_FLAG_QUIET) && log_lock(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE))
    {
        log_print("New message framed:\n");
        msg_print(msg);
        log_print("\n");
        log_unlock();
    }
    framer.read_position += msg->num_bytes;
    return msg;
}
} // namespace orvo
