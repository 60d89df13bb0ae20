// The single-writer, single-reader record ring. No lock and no atomic
// read-modify-write: every field has one writing thread. The writer publishes a
// record with a release store of its header's state, the reader gives space
// back with a release store of the limit; each side acquires what the other
// released. The writer never frees or rewinds memory the reader may stand in:
// it leaves a "moved" header and the reader follows it (freeing a ring it
// leaves behind).
#include "orvo/core/core_channel.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <cstring>
#include <new>

namespace orvo
{
namespace
{
// Beyond this a record's growth arithmetic (2 x (capacity + length)) could wrap.
const u64 CHANNEL_MAX_RECORD = 1ull << 60;

u64 round8(u64 n)
{
    return (n + 7) & ~7ull;
}

channelheader_t* header_at(u8* address)
{
    return reinterpret_cast<channelheader_t*>(address);
}

u8* address_of(channelheader_t* header)
{
    return reinterpret_cast<u8*>(header);
}

// An end header: the reader that reaches it waits there. Written before the
// header that leads to it is published, so the reader never sees it half made.
void header_write_end(u8* address)
{
    channelheader_t* header = new (address) channelheader_t;
    header->length = 0;
    header->data = nullptr;
    header->next = nullptr;
    header->reserved = 0;
    header->state.store(CHANNEL_STATE_END, std::memory_order_relaxed);
}

// Only the first header is written: every later header is laid by the writer
// before anything leads to it, and no byte is read that was not written. A
// ring is not cleared as a whole: clearing a grown ring of many megabytes cost
// the writer (a camera thread sending live-view frames, say) more than the
// records it carries, and touched memory that may never be used.
u8* ring_allocate(u64 capacity)
{
    u8* ring = static_cast<u8*>(heap_alloc(capacity, 16, ORVO_HEAP_TAG));
    if (!ring)
        return nullptr;
    header_write_end(ring);
    return ring;
}

void writer_use_ring(channel_t& channel, u8* ring, u64 capacity)
{
    channel.capacity = capacity;
    channel.start = ring;
    channel.end = ring + capacity;
    channel.write_header = header_at(ring);
    channel.write_position = ring + CHANNEL_HEADER_SIZE;
}

// Sends the reader from the write header (the end header it waits at or will
// reach) on to next; the writer continues there.
void writer_move(channel_t& channel, u8* ring, u64 capacity, u8* next)
{
    channelheader_t* header = channel.write_header;
    header->length = capacity;
    header->data = ring;
    header->next = header_at(next);
    header->state.store(CHANNEL_STATE_MOVED, std::memory_order_release);
    channel.write_header = header_at(next);
    channel.write_position = next + CHANNEL_HEADER_SIZE;
}

// Where the data of a record of length n goes when the reader stands at limit,
// or null. The space needed is the rounded data plus the next record's header.
u8* writer_fit(const channel_t& channel, u64 n, u8* limit)
{
    u64 needed = round8(n) + CHANNEL_HEADER_SIZE;
    u8* position = channel.write_position;
    if (limit >= position)
    {
        // Wrapped: the writer is behind the reader.
        if (static_cast<u64>(limit - position) >= needed)
            return position;
        return nullptr;
    }
    if (static_cast<u64>(channel.end - position) >= needed)
        return position;
    if (static_cast<u64>(limit - channel.start) >= needed)
        return channel.start; // the header stays in place and points here
    return nullptr;
}

// The reader's limit as a position in the writer's ring. A reader still in an
// older ring arrives at this ring's first header, so it counts as standing there.
u8* writer_load_limit(channel_t& channel)
{
    u8* limit = address_of(channel.limit.load(std::memory_order_acquire));
    if (limit < channel.start || limit >= channel.end)
        limit = channel.start;
    channel.limit_seen = limit;
    return limit;
}

u8* writer_place(channel_t& channel, u64 n)
{
    // The limit only ever moves on towards the write header, so the last value
    // seen understates the free space and is safe to place by; the reader's
    // cache line is read again only when that is not enough.
    if (channel.limit_seen)
    {
        if (u8* data = writer_fit(channel, n, channel.limit_seen))
            return data;
    }
    u8* limit = writer_load_limit(channel);
    if (u8* data = writer_fit(channel, n, limit))
        return data;
    // The reader has taken everything and stands at the write header, but that
    // header sits so that neither the tail nor the space before it holds the
    // record (one of about half the ring). Waiting would never help: rewind, so
    // the reader follows to the ring's start and leaves the whole ring free.
    u8* header = address_of(channel.write_header);
    if (header == limit && static_cast<u64>(limit - channel.start) >= CHANNEL_HEADER_SIZE)
    {
        header_write_end(channel.start);
        writer_move(channel, channel.start, channel.capacity, channel.start);
    }
    return nullptr;
}

// Fills the write header for data at the given address and lays the next end
// header behind the data; the record stays unpublished.
void writer_fill(channel_t& channel, u8* data, u64 n)
{
    channelheader_t* header = channel.write_header;
    u8* next = data + round8(n);
    header->state.store(CHANNEL_STATE_WRITING, std::memory_order_relaxed);
    header->length = n;
    header->data = data;
    header->next = header_at(next);
    header_write_end(next);
}

void writer_publish(channel_t& channel)
{
    channelheader_t* header = channel.write_header;
    channelheader_t* next = header->next; // read before the reader may take the record
    header->state.store(CHANNEL_STATE_READY, std::memory_order_release);
    channel.write_header = next;
    channel.write_position = address_of(next) + CHANNEL_HEADER_SIZE;
    ++channel.records_written;
}

// Moves the writer to a ring of 2 x (capacity + n) rounded up to 16. The old
// ring stays with the reader until it passes the moved header.

// Moves the writer to a fresh ring of the given capacity (the reader follows
// and frees the old one), for growing past a full ring or shrinking back once
// a burst has drained.
bool writer_move_to_ring(channel_t& channel, u64 capacity)
{
    u8* ring = ring_allocate(capacity);
    if (!ring)
        return false;
    writer_move(channel, ring, capacity, ring);
    writer_use_ring(channel, ring, capacity);
    // What was seen of the old ring means nothing here, and once the reader
    // frees that ring its addresses may come back in a later one.
    channel.limit_seen = nullptr;
    return true;
}

bool writer_may_wait(const channel_t& channel)
{
    return channel.open.load(std::memory_order_acquire) || channel.reader_attached.load(std::memory_order_acquire);
}

// The state of a channel without a ring: closed, no reader, every position null.
void channel_reset(channel_t& channel)
{
    channel.open.store(false, std::memory_order_relaxed);
    channel.reader_attached.store(false, std::memory_order_relaxed);
    channel.capacity = 0;
    channel.start = nullptr;
    channel.end = nullptr;
    channel.write_position = nullptr;
    channel.write_header = nullptr;
    channel.write_reserved = false;
    channel.limit.store(nullptr, std::memory_order_relaxed);
    channel.limit_seen = nullptr;
    channel.records_written = 0;
    channel.grown_at = 0;
    std::memset(channel.stream_records, 0, sizeof(channel.stream_records));
    channel.read_header = nullptr;
    channel.read_ring = nullptr;
    channel.records_read.store(0, std::memory_order_relaxed);
}
} // namespace

// --- lifecycle ----------------------------------------------------------------------

bool channel_initialise(channel_t& channel)
{
    channel_reset(channel);

    u8* ring = ring_allocate(CHANNEL_INITIAL_CAPACITY);
    if (!ring)
        return false; // heap_alloc has logged the size
    writer_use_ring(channel, ring, CHANNEL_INITIAL_CAPACITY);
    channel.read_header = header_at(ring);
    channel.read_ring = ring;
    channel.limit.store(header_at(ring), std::memory_order_relaxed);
    channel.open.store(true, std::memory_order_release);
    return true;
}

void channel_release(channel_t& channel)
{
    if (channel.start || channel.read_ring)
    {
        channel.open.store(false, std::memory_order_release);
        while (channel.reader_attached.load(std::memory_order_acquire))
            thread_yield();

        // Walk from where the reader stands to the writer's header, freeing each
        // ring that a moved header leaves. Records the reader never took are
        // simply dropped with their ring.
        u8* ring = channel.read_ring;
        channelheader_t* header = channel.read_header;
        while (header)
        {
            u32 state = header->state.load(std::memory_order_acquire);
            if (state == CHANNEL_STATE_MOVED)
            {
                if (header->data != ring)
                {
                    u8* next_ring = header->data;
                    channelheader_t* next = header->next;
                    heap_free(ring, ORVO_HEAP_TAG);
                    ring = next_ring;
                    header = next;
                    continue;
                }
                header = header->next;
            }
            else if (state == CHANNEL_STATE_READY)
            {
                header = header->next;
            }
            else
            {
                break;
            }
        }
        if (ring != channel.start)
            heap_free(channel.start, ORVO_HEAP_TAG);
        heap_free(ring, ORVO_HEAP_TAG);
    }
    channel_reset(channel);
}

// --- writer -------------------------------------------------------------------------

bool channel_write(channel_t& channel, const void* data, u64 length)
{
    if (!channel.start || channel.write_reserved)
        return false;
    if (length > CHANNEL_MAX_RECORD)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to write %llu bytes to channel: record too large",
                   static_cast<unsigned long long>(length));
        return false;
    }
    if (length > channel.capacity / 2)
    {
        if (!writer_may_wait(channel))
            return false;
        if (!writer_move_to_ring(channel, (2 * (channel.capacity + length) + 15) & ~15ull))
            return false;
    }
    u8* target;
    while (!(target = writer_place(channel, length)))
    {
        if (!writer_may_wait(channel))
            return false;
        thread_yield();
    }
    writer_fill(channel, target, length);
    if (length)
        std::memcpy(target, data, static_cast<size_t>(length));
    writer_publish(channel);
    return true;
}

channelwrite_t channel_write_growing(channel_t& channel, const void* data, u64 length, u64 max_capacity)
{
    if (!channel.start || channel.write_reserved)
        return CHANNEL_WRITE_FAILED;
    if (length > CHANNEL_MAX_RECORD)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to write %llu bytes to channel: record too large",
                   static_cast<unsigned long long>(length));
        return CHANNEL_WRITE_FAILED;
    }
    // Closed: what still fits goes in, but no ring is made for a reader
    // that is gone.
    if (!channel.open.load(std::memory_order_acquire))
    {
        u8* target = length > channel.capacity / 2 ? nullptr : writer_place(channel, length);
        if (!target)
            return CHANNEL_WRITE_CLOSED;
        writer_fill(channel, target, length);
        if (length)
            std::memcpy(target, data, static_cast<size_t>(length));
        writer_publish(channel);
        return CHANNEL_WRITE_DONE;
    }
    // A burst that made the ring grow has drained: go back to the first size,
    // so that memory follows what is in flight rather than its peak, once the
    // grown ring has served a while (bursts that recur need it again).
    if (channel.capacity > CHANNEL_INITIAL_CAPACITY && length <= CHANNEL_INITIAL_CAPACITY / 2 &&
        channel.limit.load(std::memory_order_acquire) == channel.write_header &&
        time_get_ticks() - channel.grown_at >= time_compute_ticks(CHANNEL_SHRINK_AFTER_MS, TIMEUNIT_MILLISECONDS))
    {
        writer_move_to_ring(channel, CHANNEL_INITIAL_CAPACITY); // on failure the big ring serves on
    }
    u8* target = length > channel.capacity / 2 ? nullptr : writer_place(channel, length);
    if (!target)
    {
        // Full (or too small for the record): a larger ring instead of waiting.
        u64 capacity = (2 * (channel.capacity + length) + 15) & ~15ull;
        if (capacity > max_capacity)
            return CHANNEL_WRITE_FULL;
        if (!writer_move_to_ring(channel, capacity))
            return CHANNEL_WRITE_FAILED;
        channel.grown_at = time_get_ticks();
        target = writer_place(channel, length);
        if (!target)
            return CHANNEL_WRITE_FAILED; // cannot happen: the new ring is empty and large enough
    }
    writer_fill(channel, target, length);
    if (length)
        std::memcpy(target, data, static_cast<size_t>(length));
    writer_publish(channel);
    return CHANNEL_WRITE_DONE;
}

channelwrite_t channel_write_stream(channel_t& channel, const void* data, u64 length, u32 stream,
                                    u64 max_capacity)
{
    u64* sent = channel.stream_records[stream % CHANNEL_STREAM_SLOTS];
    u32 oldest = 0;
    for (u32 i = 1; i < CHANNEL_STREAM_IN_FLIGHT; ++i)
        if (sent[i] < sent[oldest])
            oldest = i;
    if (channel.records_read.load(std::memory_order_acquire) < sent[oldest])
        return CHANNEL_WRITE_SUPERSEDED;
    channelwrite_t result = channel_write_growing(channel, data, length, max_capacity);
    if (result == CHANNEL_WRITE_DONE)
        sent[oldest] = channel.records_written;
    return result;
}

u64 channel_records_written(const channel_t& channel)
{
    return channel.records_written;
}

u64 channel_records_read(const channel_t& channel)
{
    return channel.records_read.load(std::memory_order_acquire);
}

bool channel_write_begin(channel_t& channel, void*& data, u64 length)
{
    data = nullptr;
    // A record longer than the ring never fits (and would wrap the arithmetic).
    if (!channel.start || channel.write_reserved || length > channel.capacity)
        return false;
    u8* target = writer_place(channel, length);
    if (!target)
        return false;
    writer_fill(channel, target, length);
    channel.write_reserved = true;
    data = target;
    return true;
}

void channel_write_end(channel_t& channel)
{
    if (!channel.write_reserved)
        return;
    channel.write_reserved = false;
    writer_publish(channel);
}

void channel_close(channel_t& channel)
{
    channel.open.store(false, std::memory_order_release);
}

// --- reader -------------------------------------------------------------------------

bool channel_read_begin(channel_t& channel, void*& data, u64& length)
{
    data = nullptr;
    length = 0;
    if (!channel.reader_attached.load(std::memory_order_relaxed))
        channel.reader_attached.store(true, std::memory_order_release);
    if (!channel.read_ring)
        return false;

    channelheader_t* header = channel.read_header;
    u32 state = header->state.load(std::memory_order_acquire);
    while (state == CHANNEL_STATE_MOVED)
    {
        channelheader_t* next = header->next;
        u8* ring = header->data;
        channel.read_header = next;
        channel.limit.store(next, std::memory_order_release);
        if (ring != channel.read_ring)
        {
            // The writer left this ring for good when it published the moved header.
            heap_free(channel.read_ring, ORVO_HEAP_TAG);
            channel.read_ring = ring;
        }
        header = next;
        state = header->state.load(std::memory_order_acquire);
    }
    if (state != CHANNEL_STATE_READY)
        return false;
    data = header->data;
    length = header->length;
    return true;
}

void channel_read_end(channel_t& channel)
{
    channelheader_t* header = channel.read_header;
    if (!header || header->state.load(std::memory_order_relaxed) != CHANNEL_STATE_READY)
        return;
    channelheader_t* next = header->next;
    channel.read_header = next;
    // Release: the writer may reuse the record's bytes only after our reads of them.
    channel.limit.store(next, std::memory_order_release);
    channel.records_read.store(channel.records_read.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void channel_attach_reader(channel_t& channel)
{
    channel.reader_attached.store(true, std::memory_order_release);
}

void channel_detach_reader(channel_t& channel)
{
    channel.reader_attached.store(false, std::memory_order_release);
}
} // namespace orvo
