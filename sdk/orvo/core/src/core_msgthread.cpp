// The message thread's loop: attach a hub, open the servers, pump and update
// once per period, then close, detach and destroy in that order. Stopping
// never cancels the thread: one that does not end in time is abandoned.
#include "orvo/core/core_msgthread.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_time.h"

namespace orvo
{
namespace
{
const u64 MSGTHREAD_INITIAL_SERVERS = 8;

void msgthread_loop(void* user)
{
    msgthread_t& t = *static_cast<msgthread_t*>(user);
    const string_t name = t.thread.name;
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Started message thread: %.*s", static_cast<int>(name.length), name.str);
    msghub_t* hub = distributor_attach_hub(name);
    if (!hub)
        return;
    for (u64 i = 0; i < t.servers.count; ++i)
        msgserver_open(*t.servers.data[i], hub); // a failure is logged by the open
    t.running.store(true, std::memory_order_release);

    while (t.keep_running.load(std::memory_order_acquire))
    {
        const u64 start = time_get_ticks();
        distributor_pump(hub);
        for (u64 i = 0; i < t.servers.count; ++i)
            msgserver_update(*t.servers.data[i]);
        const u64 now = time_get_ticks();
        const u64 elapsed = now > start ? now - start : 0;
        if (elapsed > MSGTHREAD_PERIOD - 1)
            thread_yield();
        else
            thread_sleep((MSGTHREAD_PERIOD - elapsed) / 1000, TIMEUNIT_MILLISECONDS);
    }

    for (u64 i = 0; i < t.servers.count; ++i)
        msgserver_close(*t.servers.data[i]);
    distributor_detach_hub(hub);
    for (u64 i = 0; i < t.servers.count; ++i)
        msgserver_destroy(*t.servers.data[i]);
    vector_release(t.servers);
    t.running.store(false, std::memory_order_release);
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Stopped message thread: %.*s", static_cast<int>(name.length), name.str);
}
} // namespace

bool msgthread_initialise(msgthread_t& t, const char* name)
{
    t.running.store(false, std::memory_order_relaxed);
    t.keep_running.store(false, std::memory_order_relaxed);
    t.abandoned.store(false, std::memory_order_relaxed);
    t.stop_limit = 0;
    thread_initialise(t.thread);
    thread_set(t.thread, msgthread_loop, &t, string_make(name));
    vector_initialise(t.servers, MSGTHREAD_INITIAL_SERVERS, false);
    return t.servers.data != nullptr;
}

bool msgthread_add_server(msgthread_t& t, msgserver_t* server)
{
    if (!server)
        return true;
    if (thread_is_running(t.thread))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add server to message thread %.*s: it already runs",
                   static_cast<int>(t.thread.name.length), t.thread.name.str);
        return false;
    }
    return vector_insert(t.servers, server);
}

bool msgthread_start(msgthread_t& t)
{
    t.running.store(false, std::memory_order_release);
    t.keep_running.store(true, std::memory_order_release);
    if (!thread_run(t.thread))
        return false;
    while (!t.running.load(std::memory_order_acquire) && thread_is_running(t.thread))
        thread_yield();
    return t.running.load(std::memory_order_acquire);
}

void msgthread_stop(msgthread_t& t, thread_callback_t wait, void* user)
{
    t.keep_running.store(false, std::memory_order_release);
    const u64 limit = t.stop_limit ? t.stop_limit : MSGTHREAD_STOP_LIMIT;
    if (!thread_wait(t.thread, wait, user, limit, TIMEUNIT_TICKS))
        t.abandoned.store(true, std::memory_order_release);
}

void msgthread_release(msgthread_t& t)
{
    if (t.abandoned.load(std::memory_order_acquire))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message thread %.*s did not stop: its servers are left to it",
                   static_cast<int>(t.thread.name.length), t.thread.name.str);
        return;
    }
    if (thread_is_running(t.thread))
        msgthread_stop(t, nullptr, nullptr);
    if (t.abandoned.load(std::memory_order_acquire))
        return;
    thread_release(t.thread);
    for (u64 i = 0; i < t.servers.count; ++i)
        msgserver_destroy(*t.servers.data[i]);
    vector_release(t.servers);
}
} // namespace orvo
