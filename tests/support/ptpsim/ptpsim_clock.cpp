// The test clock behind time_set_clock.
#include "support/ptpsim/ptpsim_clock.h"

namespace ptpsim
{
TestClock::TestClock() : m_ticks(kDefaultTicks), m_wallclock(kDefaultWallclock), m_step(0)
{
    m_hooks.ticks = Ticks;
    m_hooks.wallclock = Wallclock;
    m_hooks.user = this;
    orvo::time_set_clock(&m_hooks);
}

TestClock::~TestClock()
{
    orvo::time_set_clock(nullptr);
}

void TestClock::advance_us(uint64_t microseconds)
{
    m_ticks.fetch_add(microseconds, std::memory_order_acq_rel);
    m_wallclock.fetch_add(static_cast<int64_t>(microseconds), std::memory_order_acq_rel);
}

void TestClock::set_wallclock_us(int64_t microseconds)
{
    m_wallclock.store(microseconds, std::memory_order_release);
}

int64_t TestClock::wallclock_us() const
{
    return m_wallclock.load(std::memory_order_acquire);
}

uint64_t TestClock::ticks() const
{
    return m_ticks.load(std::memory_order_acquire);
}

void TestClock::set_step_us(uint64_t step)
{
    m_step.store(step, std::memory_order_release);
}

uint64_t TestClock::Ticks(void* user)
{
    return static_cast<TestClock*>(user)->ticks();
}

int64_t TestClock::Wallclock(void* user)
{
    TestClock* clock = static_cast<TestClock*>(user);
    uint64_t step = clock->m_step.load(std::memory_order_acquire);
    if (step == 0)
        return clock->wallclock_us();
    clock->m_ticks.fetch_add(step, std::memory_order_acq_rel);
    return clock->m_wallclock.fetch_add(static_cast<int64_t>(step), std::memory_order_acq_rel) +
           static_cast<int64_t>(step);
}
} // namespace ptpsim
