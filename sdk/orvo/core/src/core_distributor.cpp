// The distributor's pipes: linking, routing, pumping, unlinking. Pipe slots,
// their channels and their routing bits are static and never freed while the
// process runs, so a sender may look at any slot without a lock: it reads the
// slot's queue pointer and routing bits atomically and never dereferences
// another thread's queue. A slot is filled completely before the pipe count
// that makes it visible is stored (release), and readers load the count with
// acquire.
#include "orvo/core/core_distributor.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace orvo
{
namespace internal
{
DistributorPipe Distributor_pipes[DISTRIBUTOR_MAX_PIPES];
std::atomic<i32> Distributor_numPipes{0};
global_mutex_t Distributor_mutex;
std::atomic<bool> Distributor_isActive{false};
} // namespace internal

using internal::Distributor_isActive;
using internal::Distributor_mutex;
using internal::Distributor_numPipes;
using internal::Distributor_pipes;
using internal::DistributorPipe;

namespace
{
// A pipe's wake-up: a flag for news and the owner's sleep on it. Allocated
// once and never freed, as the pipe slots: an owner abandoned in its wait may
// still touch it while the process exits.
struct PipeWake
{
    std::mutex mutex;
    std::condition_variable changed;
    bool news = false;
};

PipeWake& pipe_wake(i32 pipe)
{
    static PipeWake* wakes = new PipeWake[DISTRIBUTOR_MAX_PIPES];
    return wakes[pipe];
}

bool route_test(const DistributorPipe& pipe, u16 id)
{
    return (pipe.routes[id >> 6].load(std::memory_order_acquire) >> (id & 63)) & 1;
}

void routes_clear(DistributorPipe& pipe)
{
    for (u32 i = 0; i < DISTRIBUTOR_ROUTE_WORDS; ++i)
        pipe.routes[i].store(0, std::memory_order_release);
}

bool owned_by_caller(const DistributorPipe& pipe)
{
    return pthread_equal(pipe.owner.load(std::memory_order_relaxed), pthread_self()) != 0;
}

// Closed for writers and without a reader: a writer that finds the ring full
// gives up instead of waiting for a reader that will never come.
void pipe_close_channels(DistributorPipe& pipe, i32 count)
{
    for (i32 k = 0; k < count; ++k)
    {
        channel_close(pipe.channels[k]);
        channel_detach_reader(pipe.channels[k]);
    }
}

// The first linked pipe of the calling thread, or -1.
i32 caller_pipe()
{
    i32 count = Distributor_numPipes.load(std::memory_order_acquire);
    for (i32 i = 0; i < count; ++i)
    {
        const DistributorPipe& pipe = Distributor_pipes[i];
        if (pipe.queue.load(std::memory_order_acquire) && owned_by_caller(pipe))
            return i;
    }
    return -1;
}

// Own-queue messages up to this size are copied on the stack. Deliveries may
// nest (a processor that sends to its own queue), each with a frame of its own.
const u64 DISTRIBUTOR_LOCAL_COPY_BYTES = 512;

// Messages that met a closed channel since the distributor last started or
// released: a Stop that ends a flood costs one summary line, not one per message.
std::atomic<u64> dropped_after_stop{0};

void report_dropped()
{
    u64 dropped = dropped_after_stop.exchange(0, std::memory_order_acq_rel);
    if (dropped)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_MESSAGE, "Dropped %llu messages sent to stopped message queues",
                   static_cast<unsigned long long>(dropped));
}

// What a write's result means for the send: true when written; a closed
// channel is counted for the summary after a stop, anything else logged.
bool write_result(channelwrite_t result, i32 from, i32 to)
{
    switch (result)
    {
    case CHANNEL_WRITE_DONE:
        return true;
    case CHANNEL_WRITE_CLOSED:
        dropped_after_stop.fetch_add(1, std::memory_order_relaxed);
        return false;
    case CHANNEL_WRITE_FULL:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Failed to send message from queue %d to queue %d: %llu bytes in flight and not pumped for %llu ms",
                   from, to, static_cast<unsigned long long>(DISTRIBUTOR_MAX_CHANNEL_BYTES),
                   static_cast<unsigned long long>(DISTRIBUTOR_SEND_LIMIT_MS));
        return false;
    default:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send message from queue %d to queue %d", from, to);
        return false;
    }
}

// Writes one message into a pipe's channel without waiting for its reader, so
// that threads sending to each other can never wait on each other: a full
// ring grows (the reader moves to the larger one when it pumps). Only past
// DISTRIBUTOR_MAX_CHANNEL_BYTES, a reader that has stopped pumping, does the
// sender wait, yielding, up to DISTRIBUTOR_SEND_LIMIT_MS and then give up.
// The time waited is added to the sending pipe's stall count. A stream
// message (stream not null) is never waited for: it is left out instead.
bool pipe_write(channel_t& channel, const u8* bytes, u32 size, i32 from, i32 to, const u32* stream)
{
    if (stream)
    {
        const channelwrite_t result =
            channel_write_stream(channel, bytes, size, *stream, DISTRIBUTOR_MAX_CHANNEL_BYTES);
        if (result != CHANNEL_WRITE_SUPERSEDED && result != CHANNEL_WRITE_FULL)
            return write_result(result, from, to);
        Distributor_pipes[from].superseded.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    channelwrite_t result = channel_write_growing(channel, bytes, size, DISTRIBUTOR_MAX_CHANNEL_BYTES);
    if (result == CHANNEL_WRITE_FULL)
    {
        countdown_t limit;
        countdown_start(limit, DISTRIBUTOR_SEND_LIMIT_MS, TIMEUNIT_MILLISECONDS);
        while (result == CHANNEL_WRITE_FULL && !countdown_expired(limit))
        {
            // Counted as it goes, so that a wait still under way is seen.
            const u64 start = time_get_ticks();
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
            result = channel_write_growing(channel, bytes, size, DISTRIBUTOR_MAX_CHANNEL_BYTES);
            Distributor_pipes[from].stalled_ticks.fetch_add(time_get_ticks() - start, std::memory_order_relaxed);
        }
    }
    return write_result(result, from, to);
}

void trace_message(const Message& message)
{
    if (!log_is_enabled(LOGLEVEL_TRACE, LOGMODULE_MESSAGE) || !log_is_enabled(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE))
        return;
    // Printed before the log lock is taken: printing takes the location lock.
    stringbuffer_t text;
    stringbuffer_initialise(text);
    message.Print(text, 2);
    if (log_lock(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE))
    {
        log_print("Sending message:\n");
        log_print(static_cast<const string_t&>(text));
        log_unlock();
    }
    stringbuffer_release(text);
}
} // namespace

// --- lifecycle ----------------------------------------------------------------------

bool Distributor::Initialise()
{
    Distributor_isActive.store(false, std::memory_order_release);
    i32 count = Distributor_numPipes.load(std::memory_order_acquire);
    if (count > 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Failed to initialise the distributor: %d message pipes are in use", count);
        return false;
    }
    return true;
}

bool Distributor::Start()
{
    report_dropped();
    Distributor_isActive.store(true, std::memory_order_release);
    return true;
}

void Distributor::Stop()
{
    if (!mutex_lock(Distributor_mutex))
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to stop the distributor (mutex failed)");
        return;
    }
    Distributor_isActive.store(false, std::memory_order_release);
    i32 count = Distributor_numPipes.load(std::memory_order_relaxed);
    for (i32 j = 0; j < count; ++j)
        pipe_close_channels(Distributor_pipes[j], count);
    mutex_unlock(Distributor_mutex);
}

void Distributor::Release()
{
    if (!mutex_lock(Distributor_mutex))
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to release the distributor (mutex failed)");
        return;
    }
    Distributor_isActive.store(false, std::memory_order_release);
    i32 count = Distributor_numPipes.load(std::memory_order_relaxed);
    for (i32 j = 0; j < count; ++j)
    {
        DistributorPipe& pipe = Distributor_pipes[j];
        MessageQueue* queue = pipe.queue.load(std::memory_order_acquire);
        if (queue)
            log_writef(LOGLEVEL_WARNING, LOGMODULE_MESSAGE,
                       "Releasing the distributor while message queue %d is linked: %s", j, queue->GetName());
        pipe.queue.store(nullptr, std::memory_order_release);
        routes_clear(pipe);
        pipe_close_channels(pipe, count);
    }
    // A reader that still pumps attaches itself again; channel_release waits
    // for it to let go before freeing the ring it reads.
    for (i32 j = 0; j < count; ++j)
    {
        for (i32 k = 0; k < count; ++k)
            channel_release(Distributor_pipes[j].channels[k]);
    }
    Distributor_numPipes.store(0, std::memory_order_release);
    mutex_unlock(Distributor_mutex);
    report_dropped();
}

bool Distributor::IsActive()
{
    return Distributor_isActive.load(std::memory_order_acquire);
}

// --- linking ------------------------------------------------------------------------

i32 Distributor::LinkQueue(MessageQueue* queue)
{
    if (!queue)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to link message queue: no queue");
        return -1;
    }
    if (!mutex_lock(Distributor_mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to link message queue (mutex failed): %s",
                   queue->GetName());
        return -1;
    }
    i32 n = Distributor_numPipes.load(std::memory_order_relaxed);
    if (n >= DISTRIBUTOR_MAX_PIPES)
    {
        mutex_unlock(Distributor_mutex);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to link message queue (limit exceeded): %s",
                   queue->GetName());
        return -1;
    }
    for (i32 j = 0; j < n; ++j)
    {
        // Two pipes for one queue would deliver every message twice.
        if (Distributor_pipes[j].queue.load(std::memory_order_relaxed) == queue)
        {
            mutex_unlock(Distributor_mutex);
            log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to link message queue (already linked as %d): %s", j,
                       queue->GetName());
            return -1;
        }
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Linking message queue %d: %s", n, queue->GetName());

    DistributorPipe& pipe = Distributor_pipes[n];
    pipe.index = n;
    pipe.owner.store(pthread_self(), std::memory_order_relaxed);
    pipe.pumping = false;
    pipe.held_depth = 0;
    pipe.held_wakes = 0;
    pipe.stalled_ticks.store(0, std::memory_order_relaxed);
    pipe.superseded.store(0, std::memory_order_relaxed);
    // A channel whose ring cannot be allocated stays without one (logged):
    // writes to it fail, reads find nothing.
    for (i32 k = 0; k <= n; ++k)
        channel_initialise(pipe.channels[k]);
    for (i32 j = 0; j < n; ++j)
        channel_initialise(Distributor_pipes[j].channels[n]);
    routes_clear(pipe);
    // News meant for an earlier queue of this slot does not wake the new one.
    {
        PipeWake& wake = pipe_wake(n);
        std::lock_guard<std::mutex> lock(wake.mutex);
        wake.news = false;
    }
    queue->PublishRoutes(n);
    pipe.queue.store(queue, std::memory_order_release);
    Distributor_numPipes.store(n + 1, std::memory_order_release);
    mutex_unlock(Distributor_mutex);
    return n;
}

void Distributor::UnlinkQueue(i32 id)
{
    internal::DistributorUnlinkPipe(id, nullptr);
}

// --- sending and pumping ------------------------------------------------------------

bool Distributor::Send(const Message& message)
{
    i32 pipe = caller_pipe();
    if (pipe < 0)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send message: this thread has no message queue");
        return false;
    }
    return internal::DistributorSendFromPipe(pipe, message);
}

bool Distributor::SendFromQueueId(i32 id, const Message& message)
{
    return internal::DistributorSendFromPipe(id, message);
}

MessageQueue* Distributor::GetMessageQueue()
{
    i32 pipe = caller_pipe();
    return pipe < 0 ? nullptr : Distributor_pipes[pipe].queue.load(std::memory_order_acquire);
}

void Distributor::Pump()
{
    if (!Distributor_isActive.load(std::memory_order_acquire))
        return;
    i32 count = Distributor_numPipes.load(std::memory_order_acquire);
    for (i32 i = 0; i < count; ++i)
    {
        const DistributorPipe& pipe = Distributor_pipes[i];
        if (pipe.queue.load(std::memory_order_acquire) && owned_by_caller(pipe))
            internal::DistributorPumpPipe(i);
    }
}

void Distributor::PumpQueueId(i32 id)
{
    internal::DistributorPumpPipe(id);
}

u64 Distributor::GetSendStallMicroseconds(i32 id)
{
    if (id < 0 || id >= DISTRIBUTOR_MAX_PIPES)
        return 0;
    return time_compute_units(Distributor_pipes[id].stalled_ticks.load(std::memory_order_relaxed),
                              TIMEUNIT_MICROSECONDS);
}

u64 Distributor::GetSupersededCount(i32 id)
{
    if (id < 0 || id >= DISTRIBUTOR_MAX_PIPES)
        return 0;
    return Distributor_pipes[id].superseded.load(std::memory_order_relaxed);
}

namespace internal
{
namespace
{
bool send_from_pipe(i32 pipe, const Message& message, const u32* stream);
}

bool DistributorSendFromPipe(i32 pipe, const Message& message)
{
    return send_from_pipe(pipe, message, nullptr);
}

bool DistributorSendStreamFromPipe(i32 pipe, const Message& message, u32 stream)
{
    return send_from_pipe(pipe, message, &stream);
}

namespace
{
bool send_from_pipe(i32 pipe, const Message& message, const u32* stream)
{
    if (message.IsNull() || message.GetNumBytes() < MESSAGE_HEADER_SIZE)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send message from queue %d: %s", pipe,
                   message.IsNull() ? "no message" : "shorter than its header");
        return false;
    }
    i32 count = Distributor_numPipes.load(std::memory_order_acquire);
    MessageQueue* own =
        pipe >= 0 && pipe < count ? Distributor_pipes[pipe].queue.load(std::memory_order_acquire) : nullptr;
    if (!own)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send message from queue %d: not linked", pipe);
        return false;
    }
    // Each channel has exactly one writer: the sending pipe's owner thread.
    if (!owned_by_caller(Distributor_pipes[pipe]))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Failed to send message from queue %d (%s): called from another thread", pipe, own->GetName());
        return false;
    }
    trace_message(message);

    const u8* bytes = message.GetData();
    const u32 size = message.GetNumBytes();
    const u16 destination = message.GetHeader()->dstId;
    bool reached = false;
    bool failed = false;

    // Other pipes first: their channels take a copy of the bytes, and no
    // callback has run yet that could encode over them.
    for (i32 j = 0; j < count; ++j)
    {
        if (j == pipe)
            continue;
        DistributorPipe& target = Distributor_pipes[j];
        if (!target.queue.load(std::memory_order_acquire))
            continue; // unlinked: nobody reads this pipe any more
        if (destination != 0 && !route_test(target, destination))
            continue;
        if (pipe_write(target.channels[pipe], bytes, size, pipe, j, stream))
        {
            reached = true;
            DistributorPipe& self = Distributor_pipes[pipe];
            if (self.held_depth)
                self.held_wakes |= 1u << j;
            else
                internal::DistributorWakePipe(j);
        }
        else
            failed = true;
    }

    // The own queue last, from a copy: its callbacks may encode again into the
    // buffer the original lives in (or grow it away) and may send more
    // messages, which then follow this one on every pipe.
    if (destination == 0 || own->IsDestinationValid(destination))
    {
        // A small message (a request, most events) is copied onto this stack
        // frame: no allocation on the way to a processor of the same thread.
        alignas(16) u8 local[DISTRIBUTOR_LOCAL_COPY_BYTES];
        void* copy = size <= sizeof(local) ? local : heap_alloc(size, 16, ORVO_HEAP_TAG);
        if (!copy)
        {
            failed = true;
            log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to create message copy");
        }
        else
        {
            std::memcpy(copy, bytes, size);
            own->Receive(Message(copy));
            if (copy != local)
                heap_free(copy, ORVO_HEAP_TAG);
            reached = true;
        }
    }
    return reached && !failed;
}
} // namespace

void DistributorPumpPipe(i32 pipe)
{
    i32 count = Distributor_numPipes.load(std::memory_order_acquire);
    if (pipe < 0 || pipe >= count)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to pump message queue %d: not linked", pipe);
        return;
    }
    DistributorPipe& self = Distributor_pipes[pipe];
    MessageQueue* queue = self.queue.load(std::memory_order_acquire);
    if (!queue)
        return; // released: its channels are closed and nothing is delivered
    if (!owned_by_caller(self))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Failed to pump message queue %d (%s): called from another thread", pipe, queue->GetName());
        return;
    }
    // A callback that pumps (a wait that keeps the thread's work going) would
    // otherwise be handed the record that is being delivered a second time.
    if (self.pumping)
        return;
    self.pumping = true;
    for (i32 j = 0; j < count; ++j)
    {
        channel_t& channel = self.channels[j];
        void* data;
        u64 length;
        // A delivery may release the queue: then the rest stays undelivered.
        while (self.queue.load(std::memory_order_acquire) == queue && channel_read_begin(channel, data, length))
        {
            const MessageHeader* header = static_cast<const MessageHeader*>(data);
            if (length >= MESSAGE_HEADER_SIZE && header->numBytes == length)
                queue->Receive(Message(data));
            else
                log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                           "Dropping a malformed message of %llu bytes from queue %d to queue %d",
                           static_cast<unsigned long long>(length), j, pipe);
            channel_read_end(channel);
        }
    }
    self.pumping = false;
}

static_assert(DISTRIBUTOR_MAX_PIPES <= 32, "held wakes are kept as the bits of a u32");

namespace
{
void give_held_wakes(DistributorPipe& self)
{
    const u32 held = self.held_wakes;
    self.held_wakes = 0;
    for (i32 j = 0; j < DISTRIBUTOR_MAX_PIPES; ++j)
        if (held & (1u << j))
            DistributorWakePipe(j);
}
} // namespace

void DistributorHoldWakes(i32 pipe)
{
    if (pipe < 0 || pipe >= DISTRIBUTOR_MAX_PIPES || !owned_by_caller(Distributor_pipes[pipe]))
        return;
    ++Distributor_pipes[pipe].held_depth;
}

void DistributorReleaseWakes(i32 pipe)
{
    if (pipe < 0 || pipe >= DISTRIBUTOR_MAX_PIPES || !owned_by_caller(Distributor_pipes[pipe]))
        return;
    DistributorPipe& self = Distributor_pipes[pipe];
    if (!self.held_depth || --self.held_depth)
        return;
    give_held_wakes(self);
}

void DistributorWakePipe(i32 pipe)
{
    if (pipe < 0 || pipe >= DISTRIBUTOR_MAX_PIPES)
        return;
    PipeWake& wake = pipe_wake(pipe);
    {
        std::lock_guard<std::mutex> lock(wake.mutex);
        // Already told: the owner is woken or will find the news before it sleeps.
        if (wake.news)
            return;
        wake.news = true;
    }
    wake.changed.notify_one();
}

bool DistributorWaitPipe(i32 pipe, u64 microseconds)
{
    if (pipe < 0 || pipe >= DISTRIBUTOR_MAX_PIPES)
        return false;
    // Bounded so that the deadline cannot overflow the clock.
    const u64 limit = microseconds < DISTRIBUTOR_WAIT_LIMIT_US ? microseconds : DISTRIBUTOR_WAIT_LIMIT_US;
    // A thread that waits, for an answer say, first wakes the readers of
    // what it sent while its wakes were held.
    if (owned_by_caller(Distributor_pipes[pipe]))
        give_held_wakes(Distributor_pipes[pipe]);
    PipeWake& wake = pipe_wake(pipe);
    std::unique_lock<std::mutex> lock(wake.mutex);
    const bool news = wake.changed.wait_for(lock, std::chrono::microseconds(limit), [&wake] { return wake.news; });
    wake.news = false;
    return news;
}

void DistributorSetRoute(i32 pipe, const MessageQueue* queue, u16 id, bool on)
{
    if (pipe < 0 || pipe >= DISTRIBUTOR_MAX_PIPES)
        return;
    DistributorPipe& slot = Distributor_pipes[pipe];
    if (slot.queue.load(std::memory_order_acquire) != queue)
        return;
    u64 bit = 1ull << (id & 63);
    if (on)
        slot.routes[id >> 6].fetch_or(bit, std::memory_order_release);
    else
        slot.routes[id >> 6].fetch_and(~bit, std::memory_order_release);
}

bool DistributorUnlinkPipe(i32 pipe, const MessageQueue* expected)
{
    if (!mutex_lock(Distributor_mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to unlink message queue %d (mutex failed)", pipe);
        return false;
    }
    i32 count = Distributor_numPipes.load(std::memory_order_relaxed);
    MessageQueue* queue =
        pipe >= 0 && pipe < count ? Distributor_pipes[pipe].queue.load(std::memory_order_acquire) : nullptr;
    if (!queue || (expected && queue != expected))
    {
        mutex_unlock(Distributor_mutex);
        return false;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Unlinking message queue %d: %s", pipe, queue->GetName());
    DistributorPipe& slot = Distributor_pipes[pipe];
    // Emptied first: a sender that still finds the queue writes into a closed
    // channel, which gives up once full.
    slot.queue.store(nullptr, std::memory_order_release);
    routes_clear(slot);
    pipe_close_channels(slot, count);
    mutex_unlock(Distributor_mutex);
    return true;
}
} // namespace internal
} // namespace orvo
