// The non-recursive mutex in its three forms (plain record, static object,
// class) and the one-shot wake-up signal, over POSIX threads. The locked flag
// is a hint written by the holder; it is atomic so that other threads may read
// it without a data race, but it synchronises nothing.
#pragma once

#include <atomic>
#include <pthread.h>

namespace orvo
{
struct mutex_t
{
    pthread_mutex_t mutex;
    std::atomic<bool> locked;
};

// A mutex for objects of static storage: usable before main and until exit.
struct global_mutex_t
{
    pthread_mutex_t mutex;
    std::atomic<bool> locked;

    global_mutex_t();
    ~global_mutex_t();
    global_mutex_t(const global_mutex_t&) = delete;
    global_mutex_t& operator=(const global_mutex_t&) = delete;
};

class Mutex
{
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool Acquire();
    void Release();
    bool IsAcquired() const;

private:
    pthread_mutex_t m_mutex;
    std::atomic<bool> m_locked;
};

// One-shot wake-up: a trigger wakes one waiter that is already waiting; a
// trigger while nobody waits is not remembered.
struct signal_t
{
    pthread_cond_t condition;
    pthread_mutex_t mutex;
    std::atomic<bool> waiting;
    std::atomic<int> inside; // threads between entering and leaving signal_wait
};

bool mutex_initialise(mutex_t& mutex);
bool mutex_lock(mutex_t& mutex);
bool mutex_lock(global_mutex_t& mutex);
// Takes the mutex only when it is free; false at once when another holds it.
bool mutex_try_lock(mutex_t& mutex);
void mutex_unlock(mutex_t& mutex);
void mutex_unlock(global_mutex_t& mutex);
void mutex_release(mutex_t& mutex);
bool mutex_is_locked(const mutex_t& mutex);
bool mutex_is_locked(const global_mutex_t& mutex);

bool signal_initialise(signal_t& signal);
void signal_wait(signal_t& signal);
void signal_trigger(signal_t& signal);
// Wakes every waiter and destroys the signal once the last of them has left
// signal_wait, so that the memory may be freed as soon as this returns.
void signal_release(signal_t& signal);
bool signal_is_waiting(const signal_t& signal);
} // namespace orvo
