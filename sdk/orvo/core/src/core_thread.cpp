// Threads over POSIX threads. thread_run hands the new thread a start record
// (thread_start_t) that the owner's record and the thread share, counted by
// two references; the owner lets go of it by join, detach or abandonment, the
// thread when it ends, and the last one frees it. An abandoned thread is never
// cancelled: cancelling can leave the log lock or a library lock held for ever.
#include "orvo/core/core_thread.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_time.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace orvo
{
struct thread_start_t
{
    pthread_t platform;
    thread_function_t function;
    void* user;
    // Guards record: the thread clears the owner's running flag through it
    // only while the owner has not let go, so an abandoned thread never writes
    // into a record that its owner may already have freed.
    std::mutex lock;
    thread_t* record;
    std::atomic<int> references;
    std::atomic<u32> index; // the thread's index once it has started, for the log
};

namespace
{
std::atomic<u32> thread_counter{0};
thread_local stringbuffer_t* current_name = nullptr;
thread_local u32 current_index = 0;

void start_drop(thread_start_t* start)
{
    if (start->references.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    start->~thread_start_t();
    heap_free(start, ORVO_HEAP_TAG);
}

// The thread's own copy of its name. Null when the buffer itself cannot be
// allocated; an empty name when only the copy fails (heap_alloc logs both).
stringbuffer_t* name_make(const string_t& name, u32 index)
{
    stringbuffer_t* buffer = static_cast<stringbuffer_t*>(heap_alloc(sizeof(stringbuffer_t), 8, ORVO_HEAP_TAG));
    if (!buffer)
        return nullptr;
    stringbuffer_initialise(*buffer);
    if (string_is_empty(name))
        stringbuffer_format(*buffer, "THREAD_%u", index);
    else
        stringbuffer_set(*buffer, name);
    return buffer;
}

void name_free(stringbuffer_t* buffer)
{
    if (!buffer)
        return;
    stringbuffer_release(*buffer);
    heap_free(buffer, ORVO_HEAP_TAG);
}

// The owner's side of the start record goes: after this the thread never
// touches the record again. A join lets the thread run to its end first (a
// thread not yet started must still run its function); a detach cuts it off.
void handle_let_go(thread_t& thread, bool join)
{
    thread_start_t* start = thread.handle;
    if (!start)
        return;
    if (join)
    {
        pthread_join(start->platform, nullptr);
    }
    else
    {
        {
            std::lock_guard<std::mutex> guard(start->lock);
            start->record = nullptr;
        }
        pthread_detach(start->platform);
    }
    thread.handle = nullptr;
    start_drop(start);
}

// A thread that is still running is left to finish on its own.
void thread_abandon(thread_t& thread)
{
    if (thread.running.load(std::memory_order_acquire))
    {
        if (!string_is_empty(thread.name))
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Forcing thread termination: %.*s",
                       static_cast<int>(thread.name.length), thread.name.str);
        else
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Forcing thread termination: THREAD_%u",
                       thread.handle ? thread.handle->index.load(std::memory_order_relaxed) : 0u);
    }
    handle_let_go(thread, false);
    thread.running.store(false, std::memory_order_release);
}

// The limit in ticks, saturated: a limit of "for ever" must not wrap round
// to a short one.
u64 limit_ticks(u64 amount, u32 unit)
{
    u64 per_unit = time_compute_ticks(1, unit);
    if (per_unit != 0 && amount > ~0ull / per_unit)
        return ~0ull;
    return time_compute_ticks(amount, unit);
}
} // namespace

// --- lifecycle ----------------------------------------------------------------------

void thread_initialise(thread_t& thread)
{
    thread.function = nullptr;
    thread.user = nullptr;
    thread.running.store(false, std::memory_order_relaxed);
    thread.name = empty_str;
    thread.handle = nullptr;
}

void thread_set(thread_t& thread, thread_function_t function, void* user, const string_t& name)
{
    thread.function = function;
    thread.user = user;
    thread.name = name;
}

bool thread_run(thread_t& thread)
{
    if (!thread.name.str)
        thread.name = empty_str; // a zeroed record
    if (thread.running.load(std::memory_order_acquire))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to start thread %.*s: it is already running",
                   static_cast<int>(thread.name.length), thread.name.str);
        return false;
    }
    // A finished thread that nobody joined: its platform thread is done with.
    handle_let_go(thread, false);

    void* memory = heap_alloc(sizeof(thread_start_t), alignof(thread_start_t), ORVO_HEAP_TAG);
    if (!memory)
        return false;
    thread_start_t* start = new (memory) thread_start_t();
    start->function = thread.function;
    start->user = thread.user;
    start->record = &thread;
    start->references.store(2, std::memory_order_relaxed);
    start->index.store(0, std::memory_order_relaxed);

    thread.running.store(true, std::memory_order_release);
    int result = pthread_create(&start->platform, nullptr, thread_entry, start);
    if (result != 0)
    {
        thread.running.store(false, std::memory_order_release);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to start thread %.*s: %s",
                   static_cast<int>(thread.name.length), thread.name.str, std::strerror(result));
        start->~thread_start_t();
        heap_free(start, ORVO_HEAP_TAG);
        return false;
    }
    thread.handle = start;
    return true;
}

void* thread_entry(void* pointer)
{
    thread_start_t* start = static_cast<thread_start_t*>(pointer);
    u32 index = thread_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    current_index = index;
    start->index.store(index, std::memory_order_relaxed);

    bool abandoned;
    stringbuffer_t* name = nullptr;
    {
        // The owner's name text is only promised while the owner holds on.
        std::lock_guard<std::mutex> guard(start->lock);
        abandoned = start->record == nullptr;
        if (!abandoned)
            name = name_make(start->record->name, index);
    }
    // A thread abandoned before it started runs nothing: its user data may be gone.
    if (!abandoned)
    {
        current_name = name;
        if (start->function)
            start->function(start->user);
        // Freed before running clears: a waiter that sees the thread finished may
        // change the heap allocator at once.
        current_name = nullptr;
        name_free(name);

        std::lock_guard<std::mutex> guard(start->lock);
        if (start->record)
            start->record->running.store(false, std::memory_order_release);
    }
    current_index = 0;
    start_drop(start);
    return nullptr;
}

void thread_release(thread_t& thread)
{
    thread_abandon(thread);
}

void thread_terminate(thread_t& thread)
{
    thread_abandon(thread);
}

// --- waiting ------------------------------------------------------------------------

bool thread_wait(thread_t& thread, thread_callback_t callback, void* user)
{
    if (callback)
    {
        while (thread.running.load(std::memory_order_acquire))
        {
            callback(user);
            thread_yield();
        }
        return true;
    }
    // A thread that has already finished is joined too (at once): otherwise
    // its platform thread and start record would wait for a release.
    handle_let_go(thread, true);
    thread.running.store(false, std::memory_order_release);
    return true;
}

bool thread_wait(thread_t& thread, thread_callback_t callback, void* user, u64 amount, u32 unit)
{
    timer_t timer;
    timer_start(timer);
    u64 limit = limit_ticks(amount, unit);
    while (thread.running.load(std::memory_order_acquire))
    {
        if (timer_elapsed(timer) > limit)
        {
            thread_abandon(thread);
            return false;
        }
        if (callback)
            callback(user);
        thread_yield();
    }
    // The function has returned; the join only waits for the entry's last steps.
    handle_let_go(thread, true);
    return true;
}

// --- queries ------------------------------------------------------------------------

bool thread_is_running(const thread_t& thread)
{
    return thread.running.load(std::memory_order_acquire);
}

const stringbuffer_t* thread_get_name()
{
    return current_name;
}

u32 thread_get_index()
{
    return current_index;
}

// --- library ------------------------------------------------------------------------

bool thread_library_initialise()
{
    thread_counter.store(0, std::memory_order_relaxed);
    current_index = 0;
    name_free(current_name);
    current_name = nullptr;
    stringbuffer_t* name = name_make(string_make("MAIN"), 0);
    if (!name || string_is_empty(*name))
    {
        name_free(name);
        return false;
    }
    current_name = name;
    return true;
}

void thread_library_release()
{
    name_free(current_name);
    current_name = nullptr;
}

// --- processor ----------------------------------------------------------------------

void thread_yield()
{
    sched_yield();
}

void thread_sleep(u64 amount, u32 unit)
{
    u64 microseconds = limit_ticks(amount, unit);
    struct timespec remaining;
    remaining.tv_sec = static_cast<time_t>(microseconds / 1000000);
    remaining.tv_nsec = static_cast<long>((microseconds % 1000000) * 1000);
    // nanosleep takes the whole duration; a 32-bit microsecond count would cap it at 71 minutes.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR)
    {
    }
}

u32 get_num_cpu()
{
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<u32>(count) : 1u;
}

// --- Thread -------------------------------------------------------------------------

Thread::Thread()
{
    thread_initialise(m_thread);
}

Thread::~Thread()
{
    thread_release(m_thread);
}

void Thread::SetFunction(thread_function_t function, void* user)
{
    m_thread.function = function;
    m_thread.user = user;
}

void Thread::SetName(const char* name)
{
    m_thread.name = string_make(name);
}

void Thread::Run()
{
    thread_run(m_thread);
}

void Thread::Wait(thread_callback_t callback, void* user)
{
    thread_wait(m_thread, callback, user);
}

void Thread::Wait(thread_callback_t callback, void* user, float milliseconds)
{
    u64 amount = 0;
    if (milliseconds >= 18446744073709551615.0f)
        amount = ~0ull;
    else if (milliseconds > 0.0f)
        amount = static_cast<u64>(milliseconds);
    thread_wait(m_thread, callback, user, amount, TIMEUNIT_MILLISECONDS);
}

void Thread::Stop()
{
    thread_release(m_thread);
}

bool Thread::IsRunning() const
{
    return thread_is_running(m_thread);
}

const char* Thread::GetName() const
{
    return m_thread.name.str;
}
} // namespace orvo
