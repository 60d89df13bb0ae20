// Message threads: start-up handshake, the 34 ms pass loop and shut-down. The
// processor list is written only before the thread starts and read only by the
// thread while it runs (thread creation orders the two), so it needs no lock.
#include "orvo/core/core_message_thread.h"

#include "orvo/core/core_distributor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_time.h"

#include <chrono>

namespace orvo
{
namespace
{
const u64 MESSAGETHREAD_INITIAL_PROCESSORS = 4;
}

MessageThread::MessageThread()
    : m_initialised(false), m_keepRunning(false), m_processActive(false), m_stopLimitMs(MESSAGETHREAD_STOP_LIMIT_MS),
      m_pipe(-1)
{
    thread_initialise(m_thread);
    vector_initialise(m_processors, MESSAGETHREAD_INITIAL_PROCESSORS, false);
}

MessageThread::~MessageThread()
{
    if (thread_is_running(m_thread))
        Stop(nullptr, nullptr);
    thread_release(m_thread);
    if (m_processActive.load(std::memory_order_acquire))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE,
                   "Message thread %s did not end: its %llu processors are not deleted", m_queue.GetName(),
                   static_cast<unsigned long long>(m_processors.count));
    }
    else
    {
        for (u64 i = 0; i < m_processors.count; ++i)
            delete m_processors.data[i];
    }
    vector_release(m_processors);
}

u16 MessageThread::Add(MessageProcessor* processor)
{
    if (!processor)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message processor: no processor");
        return 0;
    }
    if (m_processActive.load(std::memory_order_acquire))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add message processor %s: thread %s is running",
                   Location::GetLocationName(processor->GetLocationId()), m_queue.GetName());
        return 0;
    }
    if (!vector_insert(m_processors, processor))
        return 0; // the allocation failure is logged
    return processor->GetLocationId();
}

bool MessageThread::Start(const char* name, thread_callback_t wait, void* user)
{
    if (m_processActive.load(std::memory_order_acquire))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to start message thread %s: it is running",
                   m_queue.GetName());
        return false;
    }
    m_initialised.store(false, std::memory_order_relaxed);
    m_keepRunning.store(true, std::memory_order_relaxed);
    m_queue.SetName(name);
    thread_set(m_thread, &MessageThread::Entry, this, string_make(name));
    m_processActive.store(true, std::memory_order_relaxed);
    if (!thread_run(m_thread))
    {
        m_processActive.store(false, std::memory_order_relaxed);
        return false; // thread_run has logged why
    }
    while (thread_is_running(m_thread) && !m_initialised.load(std::memory_order_acquire))
    {
        if (wait)
            wait(user);
        thread_yield();
    }
    if (m_initialised.load(std::memory_order_acquire))
        return true;
    // The thread has ended: collect it now rather than leave it to the next start.
    thread_wait(m_thread, nullptr, nullptr);
    return false;
}

void MessageThread::Stop(thread_callback_t wait, void* user)
{
    m_keepRunning.store(false, std::memory_order_release);
    // Out of its sleep between passes at once rather than at the next pass.
    internal::DistributorWakePipe(m_pipe.load(std::memory_order_acquire));
    if (thread_is_running(m_thread))
        thread_wait(m_thread, wait, user, m_stopLimitMs, TIMEUNIT_MILLISECONDS);
}

bool MessageThread::IsRunning() const
{
    return thread_is_running(m_thread);
}

void MessageThread::Entry(void* self)
{
    static_cast<MessageThread*>(self)->Process();
}

bool MessageThread::Initialise()
{
    if (!m_queue.Initialise())
        return false; // logged by the queue
    m_pipe.store(m_queue.GetId(), std::memory_order_release);
    bool ok = true;
    for (u64 i = 0; i < m_processors.count; ++i)
    {
        MessageProcessor* processor = m_processors.data[i];
        // The queue and the registration come first so that a processor can
        // subscribe or send while it initialises: the answer to a request it
        // sends then finds it, however soon the other thread answers. Nothing
        // reaches it before it has initialised, as only this thread pumps.
        processor->SetQueue(&m_queue);
        if (!m_queue.Register(processor))
        {
            m_queue.Unregister(processor);
            ok = false;
            continue;
        }
        if (!processor->ProcessorInitialise())
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to initialise message processor %s on thread %s",
                       Location::GetLocationName(processor->GetLocationId()), m_queue.GetName());
            m_queue.Unregister(processor); // drops its registration, subscriptions it made and its queue
            ok = false;
        }
    }
    return ok;
}

void MessageThread::Release()
{
    for (u64 i = 0; i < m_processors.count; ++i)
        m_processors.data[i]->ProcessorRelease();
    // Off the queue as well: a later Start registers them afresh, and must not
    // find them there twice.
    for (u64 i = 0; i < m_processors.count; ++i)
        m_queue.Unregister(m_processors.data[i]);
    m_pipe.store(-1, std::memory_order_release);
    m_queue.Release();
}

void MessageThread::Pump()
{
    m_queue.Pump();
}

void MessageThread::Update()
{
    // A pass that sends many messages wakes each reader once, at its end.
    m_queue.HoldWakes();
    for (u64 i = 0; i < m_processors.count; ++i)
        m_processors.data[i]->ProcessorUpdate();
    m_queue.ReleaseWakes();
}

void MessageThread::Process()
{
    if (Initialise())
    {
        m_initialised.store(true, std::memory_order_release);
        while (m_keepRunning.load(std::memory_order_acquire))
        {
            u64 start = time_get_ticks();
            Pump();
            Update();
            u64 now = time_get_ticks();
            u64 elapsed = now > start ? now - start : 0;
            if (elapsed > MESSAGETHREAD_PERIOD_US - 1)
            {
                thread_yield();
                continue;
            }
            // Until the next pass, each message from another thread is
            // delivered as it comes; the updates keep the period. The real
            // clock bounds the sleep, whatever clock a test has put in.
            const auto next_pass =
                std::chrono::steady_clock::now() + std::chrono::microseconds(MESSAGETHREAD_PERIOD_US - elapsed);
            while (m_keepRunning.load(std::memory_order_acquire))
            {
                const auto left = next_pass - std::chrono::steady_clock::now();
                if (left <= std::chrono::steady_clock::duration::zero())
                    break;
                const u64 wait = static_cast<u64>(std::chrono::duration_cast<std::chrono::microseconds>(left).count());
                if (!m_queue.Wait(wait + 1))
                    break;
                Pump();
            }
        }
    }
    Release();
    // The last touch of this object: from here the owner may delete it.
    m_processActive.store(false, std::memory_order_release);
}
} // namespace orvo
