// A test clock for the engine and the responder: installed through
// time_set_clock for its lifetime, it stands still until a test moves it, so
// timers, countdowns and clock offsets are tested from tables without sleeping.
// The wall clock can also step by itself on every reading, for code that waits
// busily for a moment of the clock. Safe to read from any thread.
#pragma once

#include "orvo/core/core_time.h"

#include <atomic>
#include <cstdint>

namespace ptpsim
{
class TestClock
{
public:
    // 2024-03-01 12:00:00 UTC, and a tick count far from 0 (0 means "never started").
    static const int64_t kDefaultWallclock = 1709294400000000;
    static const uint64_t kDefaultTicks = 1000000000000;

    TestClock();
    ~TestClock(); // restores the system clocks
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;

    // Moves both clocks forward.
    void advance_us(uint64_t microseconds);
    void advance_ms(uint64_t milliseconds) { advance_us(milliseconds * 1000); }
    // Sets the wall clock (microseconds since 1970); the ticks keep running.
    void set_wallclock_us(int64_t microseconds);
    int64_t wallclock_us() const;
    uint64_t ticks() const;
    // Every wall-clock reading moves both clocks by this much (0: frozen).
    void set_step_us(uint64_t step);

private:
    static uint64_t Ticks(void* user);
    static int64_t Wallclock(void* user);

    orvo::clock_hooks_t m_hooks;
    std::atomic<uint64_t> m_ticks;
    std::atomic<int64_t> m_wallclock;
    std::atomic<uint64_t> m_step;
};
} // namespace ptpsim
