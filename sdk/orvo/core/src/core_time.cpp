// Clocks, unit conversion, stopwatches, countdowns and calendar time.
// Calendar fields come from localtime_r so that threads never share the C
// library's static broken-down time.
#include "orvo/core/core_time.h"

#include "orvo/core/core_log.h"

#include <atomic>
#include <ctime>
#include <sys/time.h>

namespace orvo
{
namespace
{
std::atomic<const clock_hooks_t*> test_clock{nullptr};

const u64 TICKS_PER_SECOND = 1000000;

// Ticks in one unit; 0 for an unknown unit.
u64 ticks_per_unit(u32 unit)
{
    switch (unit)
    {
    case TIMEUNIT_TICKS:
    case TIMEUNIT_MICROSECONDS:
        return 1;
    case TIMEUNIT_SECONDS:
        return TICKS_PER_SECOND;
    case TIMEUNIT_MILLISECONDS:
        return 1000;
    default:
        return 0;
    }
}

// Floor division, so that times before 1970 break down into the right second.
i64 floor_div(i64 a, i64 b)
{
    i64 q = a / b;
    if ((a % b) != 0 && ((a < 0) != (b < 0)))
        --q;
    return q;
}

void datetime_refill(datetime_t& time)
{
    i64 seconds = floor_div(time.ticks, static_cast<i64>(TICKS_PER_SECOND));
    time_t platform_seconds = static_cast<time_t>(seconds);
    struct tm fields;
    if (!localtime_r(&platform_seconds, &fields))
    {
        datetime_clear(time);
        return;
    }
    time.year = fields.tm_year + 1900;
    time.month = fields.tm_mon + 1;
    time.day = fields.tm_mday;
    time.hour = fields.tm_hour;
    time.minute = fields.tm_min;
    time.second = fields.tm_sec;
    time.microsecond = static_cast<i32>(time.ticks - seconds * static_cast<i64>(TICKS_PER_SECOND));
}
} // namespace

void time_set_clock(const clock_hooks_t* clock)
{
    test_clock.store(clock, std::memory_order_release);
}

u64 time_get_ticks()
{
    const clock_hooks_t* clock = test_clock.load(std::memory_order_acquire);
    if (clock && clock->ticks)
        return clock->ticks(clock->user);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<u64>(now.tv_sec) * TICKS_PER_SECOND + static_cast<u64>(now.tv_nsec) / 1000;
}

i64 time_get_wallclock()
{
    const clock_hooks_t* clock = test_clock.load(std::memory_order_acquire);
    if (clock && clock->wallclock)
        return clock->wallclock(clock->user);
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<i64>(now.tv_sec) * static_cast<i64>(TICKS_PER_SECOND) + now.tv_usec;
}

u64 time_compute_ticks(u64 amount, u32 unit)
{
    return amount * ticks_per_unit(unit);
}

u64 time_compute_units(u64 ticks, u32 unit)
{
    u64 per = ticks_per_unit(unit);
    return per ? ticks / per : 0;
}

float time_compute_unitsf(u64 ticks, u32 unit)
{
    float value = static_cast<float>(ticks);
    switch (unit)
    {
    case TIMEUNIT_TICKS:
    case TIMEUNIT_MICROSECONDS:
        return value;
    case TIMEUNIT_SECONDS:
        return value / 1000000.0f;
    case TIMEUNIT_MILLISECONDS:
        return value * 1000.0f / 1000000.0f;
    default:
        return 0.0f;
    }
}

u64 time_convert_units(u64 amount, u32 source_unit, u32 target_unit)
{
    u64 source = ticks_per_unit(source_unit);
    u64 target = ticks_per_unit(target_unit);
    if (!source || !target)
        return 0;
    if (source_unit == target_unit || source == target)
        return amount;
    if (source > target)
        return amount * (source / target);
    return amount / (target / source);
}

bool time_print_units(u64 amount, u32 unit, stringbuffer_t& out)
{
    // The amount is a count of ticks; other units are converted first.
    if (!ticks_per_unit(unit))
        return stringbuffer_set(out, "0us");
    unsigned long long t = time_compute_ticks(amount, unit);
    if (t < 1000ull)
        return stringbuffer_format(out, "%lluus", t);
    if (t < 1000000ull)
        return stringbuffer_format(out, "%llums", t / 1000ull);
    if (t < 1000000000ull)
        return stringbuffer_format(out, "%llus", t / 1000000ull);
    if (t < 60000000000ull)
        return stringbuffer_format(out, "%llum", t / 60000000ull);
    return stringbuffer_format(out, "%lluh", t / 3600000000ull);
}

void timer_start(timer_t& timer)
{
    timer.start = time_get_ticks();
    timer.ticks = 0;
}

u64 timer_elapsed(const timer_t& timer)
{
    return time_get_ticks() - timer.start;
}

void timer_clear(timer_t& timer)
{
    timer.start = 0;
    timer.ticks = 0;
}

void countdown_start(countdown_t& countdown, u64 amount, u32 unit)
{
    timer_start(countdown.timer);
    countdown.target = time_compute_ticks(amount, unit);
}

bool countdown_expired(const countdown_t& countdown)
{
    return countdown.timer.start == 0 || timer_elapsed(countdown.timer) > countdown.target;
}

void countdown_clear(countdown_t& countdown)
{
    timer_clear(countdown.timer);
    countdown.target = 0;
}

void datetime_clear(datetime_t& time)
{
    time = datetime_t{0, 0, 0, 0, 0, 0, 0, 0};
}

void datetime_set_now(datetime_t& time)
{
    time.ticks = time_get_wallclock();
    datetime_refill(time);
}

void datetime_set(datetime_t& time, u64 amount, u32 unit)
{
    time.ticks = static_cast<i64>(time_compute_ticks(amount, unit));
    datetime_refill(time);
}

void datetime_set(datetime_t& time, i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second,
                  i32 microsecond)
{
    struct tm fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1; // let the platform decide daylight saving for that date
    time_t seconds = mktime(&fields);
    time.ticks = static_cast<i64>(seconds) * static_cast<i64>(TICKS_PER_SECOND) + microsecond;
    time.year = year;
    time.month = month;
    time.day = day;
    time.hour = hour;
    time.minute = minute;
    time.second = second;
    time.microsecond = microsecond;
}

bool datetime_add(datetime_t& time, i64 amount, u32 unit)
{
    i64 step = 0;
    i64 ticks = 0;
    if (__builtin_mul_overflow(amount, static_cast<i64>(ticks_per_unit(unit)), &step) ||
        __builtin_add_overflow(time.ticks, step, &ticks))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to add %lld units of %u to a date: out of range",
                   static_cast<long long>(amount), unit);
        return false;
    }
    time.ticks = ticks;
    datetime_refill(time);
    return true;
}

u64 datetime_get(const datetime_t& time, u32 unit)
{
    return time_compute_units(static_cast<u64>(time.ticks), unit);
}

i64 datetime_diff(const datetime_t& a, const datetime_t& b, u32 unit)
{
    i64 per = static_cast<i64>(ticks_per_unit(unit));
    if (!per)
        return 0;
    return (b.ticks - a.ticks) / per; // C++ division truncates toward zero
}

bool datetime_to_str(const datetime_t& time, stringbuffer_t& out)
{
    return stringbuffer_format(out, "%04d%02d%02d %02d:%02d:%02d.%03d", time.year, time.month, time.day, time.hour,
                               time.minute, time.second, time.microsecond / 1000);
}

void datetime_print(const datetime_t& time)
{
    log_printf("%04d%02d%02d %02d:%02d:%02d.%03d", time.year, time.month, time.day, time.hour, time.minute,
               time.second, time.microsecond / 1000);
}
} // namespace orvo
