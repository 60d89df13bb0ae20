// Mutexes and the wake-up signal over pthreads.
#include "orvo/core/core_mutex.h"

#include "orvo/core/core_thread.h"

namespace orvo
{
bool mutex_initialise(mutex_t& mutex)
{
    mutex.locked.store(false, std::memory_order_relaxed);
    return pthread_mutex_init(&mutex.mutex, nullptr) == 0;
}

bool mutex_lock(mutex_t& mutex)
{
    bool taken = pthread_mutex_lock(&mutex.mutex) == 0;
    if (taken)
        mutex.locked.store(true, std::memory_order_relaxed);
    return taken;
}

bool mutex_lock(global_mutex_t& mutex)
{
    bool taken = pthread_mutex_lock(&mutex.mutex) == 0;
    if (taken)
        mutex.locked.store(true, std::memory_order_relaxed);
    return taken;
}

bool mutex_try_lock(mutex_t& mutex)
{
    bool taken = pthread_mutex_trylock(&mutex.mutex) == 0;
    if (taken)
        mutex.locked.store(true, std::memory_order_relaxed);
    return taken;
}

void mutex_unlock(mutex_t& mutex)
{
    mutex.locked.store(false, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex.mutex);
}

void mutex_unlock(global_mutex_t& mutex)
{
    mutex.locked.store(false, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex.mutex);
}

void mutex_release(mutex_t& mutex)
{
    if (mutex.locked.exchange(false, std::memory_order_relaxed))
        pthread_mutex_unlock(&mutex.mutex);
    pthread_mutex_destroy(&mutex.mutex);
}

bool mutex_is_locked(const mutex_t& mutex)
{
    return mutex.locked.load(std::memory_order_relaxed);
}

bool mutex_is_locked(const global_mutex_t& mutex)
{
    return mutex.locked.load(std::memory_order_relaxed);
}

global_mutex_t::global_mutex_t() : locked(false)
{
    pthread_mutex_init(&mutex, nullptr);
}

global_mutex_t::~global_mutex_t()
{
    if (locked.exchange(false, std::memory_order_relaxed))
        pthread_mutex_unlock(&mutex);
    pthread_mutex_destroy(&mutex);
}

Mutex::Mutex() : m_locked(false)
{
    pthread_mutex_init(&m_mutex, nullptr);
}

Mutex::~Mutex()
{
    if (m_locked.exchange(false, std::memory_order_relaxed))
        pthread_mutex_unlock(&m_mutex);
    pthread_mutex_destroy(&m_mutex);
}

bool Mutex::Acquire()
{
    bool taken = pthread_mutex_lock(&m_mutex) == 0;
    if (taken)
        m_locked.store(true, std::memory_order_relaxed);
    return taken;
}

void Mutex::Release()
{
    m_locked.store(false, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_mutex);
}

bool Mutex::IsAcquired() const
{
    return m_locked.load(std::memory_order_relaxed);
}

bool signal_initialise(signal_t& signal)
{
    signal.waiting.store(false, std::memory_order_relaxed);
    signal.inside.store(0, std::memory_order_relaxed);
    if (pthread_cond_init(&signal.condition, nullptr) != 0)
        return false;
    if (pthread_mutex_init(&signal.mutex, nullptr) != 0)
    {
        pthread_cond_destroy(&signal.condition);
        return false;
    }
    return true;
}

void signal_wait(signal_t& signal)
{
    signal.inside.fetch_add(1, std::memory_order_acq_rel);
    if (pthread_mutex_lock(&signal.mutex) == 0)
    {
        signal.waiting.store(true, std::memory_order_release);
        pthread_cond_wait(&signal.condition, &signal.mutex);
        signal.waiting.store(false, std::memory_order_release);
        pthread_mutex_unlock(&signal.mutex);
    }
    // The last touch of the record: signal_release waits for it.
    signal.inside.fetch_sub(1, std::memory_order_acq_rel);
}

void signal_trigger(signal_t& signal)
{
    if (!signal.waiting.load(std::memory_order_acquire))
        return;
    if (pthread_mutex_lock(&signal.mutex) != 0)
        return;
    pthread_cond_signal(&signal.condition);
    pthread_mutex_unlock(&signal.mutex);
}

void signal_release(signal_t& signal)
{
    // A woken waiter still has to take the mutex back and leave: destroying
    // it under that waiter is undefined, so keep waking until all have gone.
    while (signal.inside.load(std::memory_order_acquire) > 0)
    {
        if (pthread_mutex_lock(&signal.mutex) == 0)
        {
            pthread_cond_broadcast(&signal.condition);
            pthread_mutex_unlock(&signal.mutex);
        }
        thread_yield();
    }
    pthread_cond_destroy(&signal.condition);
    pthread_mutex_destroy(&signal.mutex);
}

bool signal_is_waiting(const signal_t& signal)
{
    return signal.waiting.load(std::memory_order_acquire);
}
} // namespace orvo
