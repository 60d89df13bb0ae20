// MessageThread: a named thread that owns one MessageQueue and the processors
// added to it, and runs them in passes of 34 ms: pump the queue, then update
// every processor. Between passes it sleeps on its queue: a message from
// another thread wakes it to be delivered at once (a pump, no update), and the
// passes keep their period. The thread owns (and deletes) its processors; they are
// initialised, registered and released on the thread itself. Stopping waits
// up to 8 s; a thread that does not stop by then is logged and abandoned,
// never cancelled.
#pragma once

#include "orvo/core/core_message_processor.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_thread.h"

#include <atomic>

namespace orvo
{
// One pass per period; a pass that took longer is followed by a yield only.
const u64 MESSAGETHREAD_PERIOD_US = 34000;
// How long Stop waits for the thread by default.
const u32 MESSAGETHREAD_STOP_LIMIT_MS = 8000;

class MessageThread
{
public:
    MessageThread();
    // Stops a thread that still runs, then deletes every processor added. The
    // processors of a thread that was abandoned and may still be using them
    // are left alone (logged) rather than deleted under it.
    virtual ~MessageThread();
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // Takes ownership and returns the processor's location id. Refused (0, the
    // caller keeps the processor; logged) for null, while the thread runs, or
    // when the list cannot grow.
    u16 Add(MessageProcessor* processor);

    // Names the queue and the thread (the text must outlive the thread),
    // starts it and waits, calling wait(user) between yields, until it has
    // initialised (true) or ended (false, e.g. a processor failed to
    // initialise). False also when the thread cannot be created or runs.
    bool Start(const char* name, thread_callback_t wait, void* user);
    // Asks the thread to end and waits for it up to the stop limit, calling
    // wait(user) meanwhile; past the limit the thread is abandoned (logged).
    void Stop(thread_callback_t wait, void* user);
    bool IsRunning() const;

    // The stop limit in milliseconds; 8000 unless changed (tests shorten it).
    void SetStopLimit(u32 milliseconds) { m_stopLimitMs = milliseconds; }
    u32 GetStopLimit() const { return m_stopLimitMs; }

    MessageQueue* GetQueue() { return &m_queue; }

    // The thread's entry: runs Process() of the MessageThread given.
    static void Entry(void* self);

    // Links the queue (1 MiB encoder buffer included), then initialises the
    // processors in Add order, each with the queue set and registered under
    // its location id beforehand; one that fails is unregistered again and
    // makes the result false.
    virtual bool Initialise();
    // ProcessorRelease of every processor in order, then the processors leave
    // the queue and the queue is released.
    virtual void Release();
    virtual void Pump();
    // ProcessorUpdate of every processor in order.
    virtual void Update();
    // The thread's body: Initialise, the passes while it may run, Release.
    virtual void Process();

protected:
    thread_t m_thread;
    MessageQueue m_queue;
    std::atomic<bool> m_initialised;
    std::atomic<bool> m_keepRunning;
    vector_t<MessageProcessor*> m_processors;

private:
    // From Start until the last statement of Process: while set, the thread
    // may still use the processors and the queue.
    std::atomic<bool> m_processActive;
    u32 m_stopLimitMs;
    // The queue's pipe while linked, else -1: Stop wakes the thread through it.
    std::atomic<i32> m_pipe;
};
} // namespace orvo
