// channel_t: a lock-free ring that carries variable-size records from exactly
// one writing thread to exactly one reading thread, in order and each once.
// The channel owns its ring; a record read in place stays valid until
// channel_read_end. Growth for a record longer than half the ring hands the
// reader a "moved" record, after which the reader frees the old ring itself.
// No waiting with timeouts, no second reader or writer.
#pragma once

#include "orvo/core/core_types.h"

#include <atomic>

namespace orvo
{
const u64 CHANNEL_INITIAL_CAPACITY = 1048576;
const u64 CHANNEL_HEADER_SIZE = 32;
// A grown ring goes back to the first size once drained, but not before it
// has served this long without growing: a reader that takes every burst
// (live-view frames each pass, say) would otherwise cost a new large ring per
// burst, and the pages of each.
const u64 CHANNEL_SHRINK_AFTER_MS = 1000;
// Streams (channel_write_stream): records of one stream that may wait unread
// at once, and the number of stream slots (streams share a slot modulo this:
// a camera's frames and its metrics are two streams, so 128 cameras each
// have slots of their own).
const u32 CHANNEL_STREAM_IN_FLIGHT = 2;
const u32 CHANNEL_STREAM_SLOTS = 256;

// The state word of a record header.
enum channelstate_t : u32
{
    CHANNEL_STATE_WRITING = 0, // reserved, being filled
    CHANNEL_STATE_READY = 1,   // published, to be read
    CHANNEL_STATE_END = 2,     // no record yet: the reader waits here
    // Not a record: the reader continues at the header that next points to,
    // which may lie in a new ring (data is that ring's start; the old ring is
    // then the reader's to free) or at the start of the same ring (a rewind).
    CHANNEL_STATE_MOVED = 3,
};

// One header in the ring, followed there by the record's data (rounded up to
// a multiple of 8). A record whose data does not fit before the ring's end
// keeps its header in place and points to data at the ring's start.
struct channelheader_t
{
    u64 length; // as written, not rounded; a moved header: the new ring's capacity
    u8* data;
    channelheader_t* next;
    std::atomic<u32> state; // stored with release once the rest is complete
    u32 reserved;
};
static_assert(sizeof(channelheader_t) == CHANNEL_HEADER_SIZE, "a record header takes 32 bytes of ring");

// The writer's and the reader's fields lie on cache lines of their own: each
// side writes its own on every record, and sharing a line would make the two
// cores take it from each other every time.
struct channel_t
{
    std::atomic<bool> open;            // the writer's side; cleared by close and release
    std::atomic<bool> reader_attached; // set by the reader's first read, cleared by detach
    // The writer's ring and position: written by the writer only.
    alignas(64) u64 capacity;
    u8* start;
    u8* end;
    u8* write_position;             // just after the write header: where data would begin
    channelheader_t* write_header;  // the end header, or the reserved record
    bool write_reserved;            // between channel_write_begin and channel_write_end
    u8* limit_seen;                 // the writer's last load of limit; null: load again
    u64 records_written;            // records published so far
    u64 grown_at;                   // ticks when the present grown ring was made
    // Per stream slot, the number (records_written just after it) of each of
    // the slot's last CHANNEL_STREAM_IN_FLIGHT records; 0: none.
    u64 stream_records[CHANNEL_STREAM_SLOTS][CHANNEL_STREAM_IN_FLIGHT];
    // The reader's position: written by the reader only. limit is the header at
    // which the reader stands; the writer never writes past it.
    alignas(64) std::atomic<channelheader_t*> limit;
    channelheader_t* read_header;
    u8* read_ring; // start of the ring the reader is in; null without a ring
    std::atomic<u64> records_read; // records the reader has given back; stored by the reader only
};

// --- lifecycle --------------------------------------------------------------------
// A ring of CHANNEL_INITIAL_CAPACITY bytes holding one end header (the rest
// is not cleared); open is set, the reader not attached. False (allocation
// failure logged) leaves a channel without a ring: writes fail and reads find
// nothing.
bool channel_initialise(channel_t& channel);
// Clears open, waits (yielding) until the reader has detached, then frees every
// ring the channel still holds. Safe twice and on a zeroed record.
void channel_release(channel_t& channel);

// --- writer ------------------------------------------------------------------------
// Copies one record in, yielding while the ring is full. A record longer than
// half the capacity first moves the channel to a ring of 2 x (capacity + length)
// rounded up to 16 bytes; if that ring cannot be allocated the write fails and
// the channel goes on with its old ring. False without a ring, and instead of
// waiting when the writer's side is closed and no reader is attached.
bool channel_write(channel_t& channel, const void* data, u64 length);
// The outcome of channel_write_growing.
enum channelwrite_t
{
    CHANNEL_WRITE_DONE = 0,
    CHANNEL_WRITE_CLOSED, // closed and no room left: nothing written
    CHANNEL_WRITE_FULL,   // full, and a larger ring would pass max_capacity
    CHANNEL_WRITE_FAILED, // no ring, a reserved record, or the new ring failed (logged)
    CHANNEL_WRITE_SUPERSEDED, // the reader is behind on the stream (channel_write_stream): nothing written
};
// Copies one record in without ever waiting: a ring too full for it is
// replaced by one of 2 x (capacity + length), up to max_capacity, which the
// reader moves to once it has read what the old one holds. A grown ring that
// the reader has emptied, and that has served CHANNEL_SHRINK_AFTER_MS without
// growing, is replaced by one of the initial size again, so the memory
// follows what is in flight. Once closed, a record is written only while it
// fits the present ring.
channelwrite_t channel_write_growing(channel_t& channel, const void* data, u64 length, u64 max_capacity);
// A record of a stream of which each record supersedes the earlier ones (the
// live-view frames of one camera): written as channel_write_growing writes,
// unless CHANNEL_STREAM_IN_FLIGHT earlier records of the same stream slot
// still wait unread. Then nothing is written (CHANNEL_WRITE_SUPERSEDED): the
// reader still has records of the stream to take, and a later one follows
// them. So a reader that falls behind costs at most that many records of each
// stream, never a ring that grows with every record.
channelwrite_t channel_write_stream(channel_t& channel, const void* data, u64 length, u32 stream,
                                    u64 max_capacity);
// Records published so far (the writer's count) and records given back by
// the reader (any thread may read it).
u64 channel_records_written(const channel_t& channel);
u64 channel_records_read(const channel_t& channel);
// Reserves a record without waiting and gives its data address; false when it
// does not fit now (it never grows the ring). Publish with channel_write_end.
bool channel_write_begin(channel_t& channel, void*& data, u64 length);
void channel_write_end(channel_t& channel);
void channel_close(channel_t& channel);

// --- reader ------------------------------------------------------------------------
// The oldest ready record, left in place; false when there is none or no ring.
// Marks the reader attached.
bool channel_read_begin(channel_t& channel, void*& data, u64& length);
// Drops the record that channel_read_begin gave, giving its space back.
void channel_read_end(channel_t& channel);
void channel_attach_reader(channel_t& channel);
// The reader's last touch of the channel: release may free it from then on.
void channel_detach_reader(channel_t& channel);
} // namespace orvo
