// Time in ticks of one microsecond: unit conversion, the stopwatch timer_t,
// the timeout countdown_t and calendar time datetime_t. Ticks come from the
// monotonic clock, calendar time from the wall clock; both can be replaced by
// a test clock through time_set_clock. No other module state.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
enum timeunit_t : u32
{
    TIMEUNIT_TICKS = 0,
    TIMEUNIT_SECONDS = 1,
    TIMEUNIT_MILLISECONDS = 2,
    TIMEUNIT_MICROSECONDS = 3,
};

struct timer_t
{
    u64 start; // tick count when started; 0 means never started
    u64 ticks; // elapsed ticks, zero after a clear
};

struct countdown_t
{
    timer_t timer;
    u64 target; // duration in ticks
};

// Calendar time: microseconds since 1970-01-01 00:00:00 UTC and, except after
// the field setter, their local-time fields.
struct datetime_t
{
    i64 ticks;
    i32 year;
    i32 month; // 1 to 12
    i32 day;   // 1 to 31
    i32 hour;
    i32 minute;
    i32 second;
    i32 microsecond;
};

// A replacement clock for tests; a null hook falls back to the system clock.
struct clock_hooks_t
{
    u64 (*ticks)(void* user);     // monotonic microseconds
    i64 (*wallclock)(void* user); // microseconds since 1970 UTC
    void* user;
};

// --- clocks -----------------------------------------------------------------------
// Null restores the system clocks. The record must outlive its installation.
void time_set_clock(const clock_hooks_t* clock);
u64 time_get_ticks();
i64 time_get_wallclock();

// --- unit conversion (division truncates; an unknown unit gives 0) ----------------
u64 time_compute_ticks(u64 amount, u32 unit);
u64 time_compute_units(u64 ticks, u32 unit);
float time_compute_unitsf(u64 ticks, u32 unit);
u64 time_convert_units(u64 amount, u32 source_unit, u32 target_unit);
// A duration of at most three significant digits: "999us", "1ms", "16m", "16h".
bool time_print_units(u64 amount, u32 unit, stringbuffer_t& out);

// --- stopwatch and countdown -----------------------------------------------------------
void timer_start(timer_t& timer);
u64 timer_elapsed(const timer_t& timer);
void timer_clear(timer_t& timer);
void countdown_start(countdown_t& countdown, u64 amount, u32 unit);
// True when never started, or when strictly more than the target has elapsed.
bool countdown_expired(const countdown_t& countdown);
void countdown_clear(countdown_t& countdown);

// --- calendar -------------------------------------------------------------------------
void datetime_clear(datetime_t& time);
void datetime_set_now(datetime_t& time);
void datetime_set(datetime_t& time, u64 amount, u32 unit);
// Stores the fields unchanged; the ticks are their local-time conversion,
// which normalises out-of-range values.
void datetime_set(datetime_t& time, i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second,
                  i32 microsecond);
// False (logged, the date unchanged) when the result would leave the range of
// 64-bit microsecond ticks.
bool datetime_add(datetime_t& time, i64 amount, u32 unit);
u64 datetime_get(const datetime_t& time, u32 unit);
// b minus a in the unit, truncated toward zero.
i64 datetime_diff(const datetime_t& a, const datetime_t& b, u32 unit);
// "%04d%02d%02d %02d:%02d:%02d.%03d"
bool datetime_to_str(const datetime_t& time, stringbuffer_t& out);
// The same text through log_print; the caller holds the log lock.
void datetime_print(const datetime_t& time);
} // namespace orvo
