// msgframer_t: collects bytes received from a stream or a datagram and hands
// out complete msg_t messages where they lie in its buffer. It checks only
// the header (marker, size); receivers validate the fields. There is no
// resynchronisation: foreign bytes block the framer until a reset.
#pragma once

#include "orvo/core/core_msg.h"

namespace orvo
{
struct msgframer_t
{
    memorybuffer_t buffer; // received bytes; buffer.num_bytes is the length held
    u64 read_position;     // bytes already handed out
};

void msgframer_initialise(msgframer_t& framer);
// Frees the storage; safe twice and on a zeroed record.
void msgframer_release(msgframer_t& framer);
// Forgets every held byte and keeps the storage.
void msgframer_reset(msgframer_t& framer);

// Drops the bytes already handed out (which invalidates every message the
// framer returned), makes room for n more bytes and points out at the first
// free one. False (logged, nothing dropped) when the room cannot be had.
bool msgframer_lock(msgframer_t& framer, u64 n, u8*& out);
// Commits count bytes written at the locked position (at most the n locked).
void msgframer_unlock(msgframer_t& framer, u64 count);
// The next complete message, valid until the next lock, or null (nothing
// consumed) while fewer than 32 bytes are held, the held bytes do not start
// with the marker or a size of at least 32, or the message is incomplete.
const msg_t* msgframer_next(msgframer_t& framer);
} // namespace orvo
