// Named threads over POSIX threads: the thread_t record and the Thread class,
// waiting with or without a time limit, the per-thread name and index for
// diagnostics, sleeping, yielding and the processor count. The caller owns the
// record; while a thread runs it shares a small start record with it, so a
// thread that outlives its time limit can be abandoned (logged, never
// cancelled) without touching the caller's record again. No thread pools.
#pragma once

#include "orvo/core/core_string.h"

#include <atomic>

namespace orvo
{
typedef void (*thread_function_t)(void* user);
// Called by a waiting thread between checks, so that it keeps pumping its own
// work (messages) while it waits.
typedef void (*thread_callback_t)(void* user);

struct thread_start_t; // shared by the record's owner and the running thread

struct thread_t
{
    thread_function_t function;    // null: the thread runs nothing and ends
    void* user;                    // handed to function
    std::atomic<bool> running;     // set by thread_run, cleared when function returns
    string_t name;                 // a view, not copied: the text must outlive the start
    thread_start_t* handle;        // the platform thread; null when there is none
};

// The record as a class, for code that prefers members. No virtual operations.
class Thread
{
public:
    Thread();
    ~Thread(); // as Stop
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void SetFunction(thread_function_t function, void* user);
    // Keeps a view of the text; null or "" gives the empty name.
    void SetName(const char* name);
    void Run();
    void Wait(thread_callback_t callback, void* user);
    // The limit is truncated to whole milliseconds; a negative one counts as 0.
    void Wait(thread_callback_t callback, void* user, float milliseconds);
    // Detaches a finished thread; a thread still running is abandoned (logged).
    void Stop();
    bool IsRunning() const;
    const char* GetName() const;

private:
    thread_t m_thread;
};

// --- lifecycle ------------------------------------------------------------------
// No function, no user data, not running, empty name, no handle.
void thread_initialise(thread_t& thread);
void thread_set(thread_t& thread, thread_function_t function, void* user, const string_t& name);
// Sets running and starts a platform thread with default attributes running
// thread_entry. False, with running clear, when the thread cannot be created
// or the record already runs a thread.
bool thread_run(thread_t& thread);
// Detaches a finished thread that was never joined. A thread that is still
// running is abandoned: logged as "Forcing thread termination: <name>" and left
// to end on its own; it never touches the record again. Running and the handle
// end up clear. Safe twice and on a zeroed record. thread_terminate is the same.
void thread_release(thread_t& thread);
void thread_terminate(thread_t& thread);

// --- waiting ---------------------------------------------------------------------
// Without a time limit. With a callback: calls it and yields until running turns
// false, without joining (the handle stays until a release or a later wait).
// Without one: joins the platform thread, also one that has already finished,
// and clears the handle. True when the thread has ended.
bool thread_wait(thread_t& thread, thread_callback_t callback, void* user);
// With a time limit (converted by time_compute_ticks, measured by time_get_ticks):
// waits like the callback form while running and the elapsed ticks are at most
// the limit, then joins. Past the limit the thread is abandoned as by
// thread_release and false is returned; true when it ended in time.
bool thread_wait(thread_t& thread, thread_callback_t callback, void* user, u64 amount, u32 unit);

// --- queries ---------------------------------------------------------------------
bool thread_is_running(const thread_t& thread);
// The calling thread's name record and index: the name is null and the index 0
// for a thread that did not start through thread_entry (and for the main thread
// before thread_library_initialise). For diagnostics only.
const stringbuffer_t* thread_get_name();
u32 thread_get_index();

// --- library ---------------------------------------------------------------------
// Restarts the thread numbering (the first thread started afterwards gets 1) and
// names the calling thread "MAIN" with index 0. Counted neither way: call once
// at start-up and thread_library_release once at the end.
bool thread_library_initialise();
// Drops the calling thread's name.
void thread_library_release();

// The start routine that thread_run hands to the platform; its argument is the
// start record that thread_run made, so it is not called directly. It numbers
// the thread, gives it its name ("THREAD_<index>" when the record's name is
// empty), runs the function, clears running and drops the name.
void* thread_entry(void* start);

// --- processor -------------------------------------------------------------------
void thread_yield();
// Ticks and microseconds unchanged, milliseconds times 1,000, seconds times
// 1,000,000; an unknown unit sleeps 0. Resumes after a signal interrupts it.
void thread_sleep(u64 amount, u32 unit);
// Online processors, at least 1.
u32 get_num_cpu();
} // namespace orvo
