// The Distributor: the static router that links up to 16 MessageQueues as
// pipes and carries messages between them, one lock-free channel per ordered
// pair of pipes. Each pipe publishes the set of location ids its queue holds
// as atomic bits, so any thread may test a route without touching another
// thread's queue. The mutex guards linking, unlinking and stopping only;
// channels and pipe slots are static and outlive every queue.
#pragma once

#include "orvo/core/core_channel.h"
#include "orvo/core/core_message.h"
#include "orvo/core/core_mutex.h"

#include <atomic>
#include <pthread.h>

namespace orvo
{
class MessageQueue;

const i32 DISTRIBUTOR_MAX_PIPES = 16;
// A channel between two pipes grows while its reader is behind, up to this;
// past it the sender waits for the reader up to DISTRIBUTOR_SEND_LIMIT_MS.
const u64 DISTRIBUTOR_MAX_CHANNEL_BYTES = u64(1) << 30;
const u64 DISTRIBUTOR_SEND_LIMIT_MS = 8000;
// The longest single wait of a pipe's owner for news (an hour).
const u64 DISTRIBUTOR_WAIT_LIMIT_US = u64(3600) * 1000000;
// One bit per 16-bit location id.
const u32 DISTRIBUTOR_ROUTE_WORDS = 65536 / 64;

class Distributor
{
public:
    // Clears the active flag and the pipe count. False (logged) while queues
    // are still linked: release the distributor first.
    static bool Initialise();
    static bool Start();
    // Clears the active flag and closes every channel, clearing its reader
    // mark, so that later writes fail instead of waiting for a reader. The
    // messages dropped that way are counted, not logged one by one.
    static void Stop();
    // Closes and frees every channel (waiting, yielding, for a reader still
    // attached) and empties every pipe slot; the pipe count becomes 0. Logs
    // one line with the number of messages dropped since Stop, if any.
    static void Release();
    static bool IsActive();

    // The new pipe's index, or -1 (logged) at the limit of 16 or when the
    // mutex fails. The calling thread becomes the pipe's owner.
    static i32 LinkQueue(MessageQueue* queue);
    // Unlinks a pipe as MessageQueue::Release does, without touching the
    // queue's encoder.
    static void UnlinkQueue(i32 id);

    // Routes from the first pipe that the calling thread owns; false (logged)
    // when it owns none.
    static bool Send(const Message& message);
    static bool SendFromQueueId(i32 id, const Message& message);
    // The calling thread's first linked queue, or null.
    static MessageQueue* GetMessageQueue();
    // Pumps every pipe the calling thread owns, only while active.
    static void Pump();
    static void PumpQueueId(i32 id);

    // What a pipe's sender has met, counted from its link (any thread may read):
    // the time its sends waited for a full channel to be read, in microseconds,
    // and the stream messages it left out for a reader that was behind
    // (internal::DistributorSendStreamFromPipe).
    static u64 GetSendStallMicroseconds(i32 id);
    static u64 GetSupersededCount(i32 id);
};

namespace internal
{
struct DistributorPipe
{
    i32 index;
    std::atomic<pthread_t> owner;                     // the thread that linked the queue
    channel_t channels[DISTRIBUTOR_MAX_PIPES];        // position k carries messages from pipe k
    std::atomic<MessageQueue*> queue;                 // null when unlinked
    std::atomic<u64> routes[DISTRIBUTOR_ROUTE_WORDS]; // ids with a live processor
    bool pumping;                                     // the owner is inside a pump of this pipe
    u32 held_depth;                                   // owner only: DistributorHoldWakes nesting
    u32 held_wakes;                                   // owner only: pipes written while held, as bits
    std::atomic<u64> stalled_ticks;                   // its sends' waits for full channels
    std::atomic<u64> superseded;                      // stream messages it left out
};

extern DistributorPipe Distributor_pipes[DISTRIBUTOR_MAX_PIPES];
extern std::atomic<i32> Distributor_numPipes;
extern global_mutex_t Distributor_mutex;
extern std::atomic<bool> Distributor_isActive;

// Routes a message on the sender's thread: into the inbound channel from the
// sender of every other linked pipe whose queue holds dstId (every pipe for
// dstId 0; a full channel grows rather than making the sender wait, so
// threads flooding each other cannot deadlock; each pipe written is woken,
// see DistributorWakePipe), then, when the sender's own queue holds it, at once through a
// heap copy. The original is not read again once any callback has run.
// False when the sender's pipe is not linked or not the calling thread's, or
// when a copy or a channel write failed (all logged), and, silently, when no
// queue holds the destination.
bool DistributorSendFromPipe(i32 pipe, const Message& message);
// The same for one message of a stream (the live-view frames of one camera):
// each message of it supersedes the earlier ones, so a pipe whose reader still
// has CHANNEL_STREAM_IN_FLIGHT of them unread is left out, and counted, rather
// than sent another; a full channel is never waited for. Memory for a reader
// that falls behind stays bounded by what it still has to take, and the
// sender never stalls on it. Other messages are never left out.
bool DistributorSendStreamFromPipe(i32 pipe, const Message& message, u32 stream);
// Delivers every ready record of the pipe's inbound channels, in pipe order,
// on the owner thread. A pump started from inside a delivery returns at once.
void DistributorPumpPipe(i32 pipe);
// Sets or clears the routing bit of an id on a pipe, when the queue is the
// one linked there.
void DistributorSetRoute(i32 pipe, const MessageQueue* queue, u16 id, bool on);
// Unlinks the pipe when expected is null or is the queue linked there; false
// when there was nothing to unlink.
bool DistributorUnlinkPipe(i32 pipe, const MessageQueue* expected);
// Marks the pipe as having news and wakes its owner when it waits in
// DistributorWaitPipe. Any thread; every message written into one of the
// pipe's channels does it, so a sleeping owner hears of the message at once.
void DistributorWakePipe(i32 pipe);
// On the pipe's owner thread: from here to the matching
// DistributorReleaseWakes, the pipes its sends write are noted instead of
// woken, and then each is woken once. A handler or a pass that sends many
// messages to a sleeping thread so wakes it once rather than per message.
// Nests; calls from another thread are ignored. A wait on the pipe gives the
// wakes held so far first, so a thread that waits for an answer to what it
// sent is never left waiting on a reader that was not woken.
void DistributorHoldWakes(i32 pipe);
void DistributorReleaseWakes(i32 pipe);
// Sleeps on the owner thread until the pipe has news since the last wait
// (true, the news consumed) or the microseconds have passed (false). News that
// came before the call returns at once: none is missed between a pump and
// the next wait. Waits longer than DISTRIBUTOR_WAIT_LIMIT_US are cut to it.
bool DistributorWaitPipe(i32 pipe, u64 microseconds);
} // namespace internal
} // namespace orvo
