// msgthread_t: a thread that owns one message hub named after itself and
// runs its servers: every 34 ms it pumps the hub and calls each server's
// update. The servers are owned by whoever made them; the thread opens,
// closes and finally destroys them (their destroy callback frees them).
#pragma once

#include "orvo/core/core_msghub.h"
#include "orvo/core/core_thread.h"

#include <atomic>

namespace orvo
{
// One pass of the loop (ticks of one microsecond), and how long
// msgthread_stop waits for the thread.
const u64 MSGTHREAD_PERIOD = 34000;
const u64 MSGTHREAD_STOP_LIMIT = 8000000;

struct msgthread_t
{
    std::atomic<bool> running;      // set once the servers are open
    std::atomic<bool> keep_running; // cleared to stop the loop
    std::atomic<bool> abandoned;    // the thread outlived msgthread_stop's limit
    thread_t thread;                // named after the thread; its name names the hub
    vector_t<msgserver_t*> servers; // in the order added
    // How long msgthread_stop waits, in ticks; 0 means MSGTHREAD_STOP_LIMIT.
    // Tests shorten it.
    u64 stop_limit;
};

// The name's text is not copied and must outlive the thread.
bool msgthread_initialise(msgthread_t& thread, const char* name);
// Adds a server before the start (null is ignored; order kept).
bool msgthread_add_server(msgthread_t& thread, msgserver_t* server);
// Starts the thread and waits until its servers are open: true when they
// are, false when the thread could not start or attach its hub.
bool msgthread_start(msgthread_t& thread);
// Stops the loop and waits up to the stop limit, calling wait (when set)
// with user between checks. A thread that outlives the limit is logged and
// abandoned: it still uses the record, which must then stay allocated.
void msgthread_stop(msgthread_t& thread, thread_callback_t wait, void* user);
// Destroys the servers still listed (none after a normal stop) and frees
// the list. Leaves everything to an abandoned thread. Safe twice.
void msgthread_release(msgthread_t& thread);
} // namespace orvo
