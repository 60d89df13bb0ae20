// Unit conversions, printing, countdowns under a test clock, and calendar
// arithmetic (the suite runs with TZ=UTC).
#include "orvo/core/core_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
struct ManualClock
{
    u64 now = 1000;
    static u64 Ticks(void* user) { return static_cast<ManualClock*>(user)->now; }
};

std::string Print(u64 amount, u32 unit = TIMEUNIT_MICROSECONDS)
{
    stringbuffer_t out;
    stringbuffer_initialise(out);
    time_print_units(amount, unit, out);
    std::string text(out.str, out.length);
    stringbuffer_release(out);
    return text;
}

std::string Text(const datetime_t& t)
{
    stringbuffer_t out;
    stringbuffer_initialise(out);
    datetime_to_str(t, out);
    std::string text(out.str, out.length);
    stringbuffer_release(out);
    return text;
}
} // namespace

TEST(TimeUnits, Conversions)
{
    EXPECT_EQ(time_compute_ticks(5, TIMEUNIT_SECONDS), 5000000u);
    EXPECT_EQ(time_compute_ticks(7, TIMEUNIT_MILLISECONDS), 7000u);
    EXPECT_EQ(time_compute_ticks(9, TIMEUNIT_MICROSECONDS), 9u);
    EXPECT_EQ(time_compute_units(1999, TIMEUNIT_MILLISECONDS), 1u);
    EXPECT_EQ(time_compute_units(1999999, TIMEUNIT_SECONDS), 1u);
    EXPECT_FLOAT_EQ(time_compute_unitsf(1500, TIMEUNIT_MILLISECONDS), 1.5f);
    EXPECT_FLOAT_EQ(time_compute_unitsf(2500000, TIMEUNIT_SECONDS), 2.5f);
    EXPECT_EQ(time_convert_units(3, TIMEUNIT_SECONDS, TIMEUNIT_MILLISECONDS), 3000u);
    EXPECT_EQ(time_convert_units(999, TIMEUNIT_MILLISECONDS, TIMEUNIT_SECONDS), 0u);
    EXPECT_EQ(time_convert_units(42, TIMEUNIT_TICKS, TIMEUNIT_MICROSECONDS), 42u);
    EXPECT_EQ(time_convert_units(2, TIMEUNIT_SECONDS, TIMEUNIT_TICKS), 2000000u);
    // Unit 4 does not exist: every operation yields 0.
    EXPECT_EQ(time_compute_ticks(5, 4), 0u);
    EXPECT_EQ(time_compute_units(5, 4), 0u);
    EXPECT_EQ(time_compute_unitsf(5, 4), 0.0f);
    EXPECT_EQ(time_convert_units(5, 4, TIMEUNIT_SECONDS), 0u);
    EXPECT_EQ(time_convert_units(5, TIMEUNIT_SECONDS, 4), 0u);
    EXPECT_EQ(Print(5, 4), "0us");
}

TEST(TimeUnits, PrintsThreeSignificantDigits)
{
    const std::pair<u64, const char*> cases[] = {
        {0, "0us"},           {999, "999us"},        {1000, "1ms"},           {999999, "999ms"},
        {999999999, "999s"},  {1000000000, "16m"},   {59999999999, "999m"},   {60000000000, "16h"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(Print(c.first), c.second);
    }
    EXPECT_EQ(Print(2, TIMEUNIT_SECONDS), "2s");
}

TEST(Countdown, ExpiresOnlyAfterMoreThanTheTarget)
{
    ManualClock clock;
    clock_hooks_t hooks = {ManualClock::Ticks, nullptr, &clock};
    time_set_clock(&hooks);

    countdown_t countdown;
    countdown_clear(countdown);
    EXPECT_TRUE(countdown_expired(countdown)); // never started
    countdown_start(countdown, 100, TIMEUNIT_MILLISECONDS);
    EXPECT_FALSE(countdown_expired(countdown));
    clock.now += 100000;
    EXPECT_FALSE(countdown_expired(countdown)); // equal is not yet expired
    clock.now += 1;
    EXPECT_TRUE(countdown_expired(countdown));

    orvo::timer_t timer;
    timer_start(timer);
    clock.now += 250;
    EXPECT_EQ(timer_elapsed(timer), 250u);
    time_set_clock(nullptr);
}

TEST(Countdown, SystemTicksAreMonotonic)
{
    u64 previous = time_get_ticks();
    for (int i = 0; i < 1000; ++i)
    {
        u64 now = time_get_ticks();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST(Calendar, FieldsAndArithmetic)
{
    datetime_t t;
    datetime_set(t, 2016, 3, 1, 12, 0, 0, 123456);
    EXPECT_EQ(Text(t), "20160301 12:00:00.123");
    EXPECT_EQ(datetime_get(t, TIMEUNIT_SECONDS), 1456833600u);

    datetime_add(t, -1, TIMEUNIT_SECONDS);
    EXPECT_EQ(t.hour, 11);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(t.second, 59);
    EXPECT_EQ(t.microsecond, 123456);

    datetime_t month_end;
    datetime_set(month_end, 2016, 2, 29, 8, 30, 0, 0);
    datetime_add(month_end, 86400, TIMEUNIT_SECONDS);
    EXPECT_EQ(Text(month_end), "20160301 08:30:00.000");

    datetime_t year_end;
    datetime_set(year_end, 2015, 12, 31, 23, 59, 59, 999999);
    datetime_add(year_end, 1, TIMEUNIT_MICROSECONDS);
    EXPECT_EQ(Text(year_end), "20160101 00:00:00.000");
}

TEST(Calendar, FieldSetterKeepsOutOfRangeValues)
{
    datetime_t t;
    datetime_set(t, 2015, 13, 1, 0, 0, 0, 0);
    EXPECT_EQ(t.month, 13);
    datetime_t refilled;
    datetime_set(refilled, static_cast<u64>(t.ticks), TIMEUNIT_TICKS);
    EXPECT_EQ(refilled.year, 2016);
    EXPECT_EQ(refilled.month, 1);
    EXPECT_EQ(refilled.day, 1);
}

TEST(Calendar, DiffTruncatesTowardZero)
{
    datetime_t a, b;
    datetime_set(a, 2016, 3, 1, 12, 0, 2, 0);
    datetime_set(b, 2016, 3, 1, 12, 0, 0, 500000);
    EXPECT_EQ(datetime_diff(a, b, TIMEUNIT_SECONDS), -1);
    EXPECT_EQ(datetime_diff(b, a, TIMEUNIT_MILLISECONDS), 1500);
    EXPECT_EQ(datetime_diff(a, b, 4), 0);
}

TEST(Calendar, SetNowUsesTheWallClockAndClearZeroes)
{
    clock_hooks_t hooks = {nullptr, [](void*) -> i64 { return 1456823103042000ll; }, nullptr};
    time_set_clock(&hooks);
    datetime_t t;
    datetime_set_now(t);
    time_set_clock(nullptr);
    EXPECT_EQ(Text(t), "20160301 09:05:03.042");
    datetime_clear(t);
    EXPECT_EQ(t.ticks, 0);
    EXPECT_EQ(t.year, 0);
    EXPECT_EQ(t.microsecond, 0);
}

TEST(Calendar, BeforeTheEpochBreaksDownIntoTheRightSecond)
{
    datetime_t t;
    datetime_clear(t);
    datetime_add(t, -1, TIMEUNIT_MILLISECONDS);
    EXPECT_EQ(Text(t), "19691231 23:59:59.999");
}

TEST(Calendar, ManyThreadsBreakDownTimesIndependently)
{
    // Each thread works on its own date; a shared static struct tm (plain
    // localtime) would hand threads each other's fields.
    std::vector<datetime_t> expected(8);
    for (int t = 0; t < 8; ++t)
        datetime_set(expected[t], static_cast<u64>(t) * 400 * 86400 + static_cast<u64>(t) * 3600, TIMEUNIT_SECONDS);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &expected, &mismatches] {
            for (int i = 0; i < 2000; ++i)
            {
                datetime_t d;
                datetime_set(d, static_cast<u64>(expected[t].ticks), TIMEUNIT_TICKS);
                if (d.year != expected[t].year || d.month != expected[t].month || d.day != expected[t].day ||
                    d.hour != t)
                    ++mismatches;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Calendar, AddingPastTheRangeIsRefusedAndKeepsTheDate)
{
    struct Case
    {
        const char* name;
        i64 amount;
        u32 unit;
    };
    const i64 most = std::numeric_limits<i64>::max();
    const i64 least = std::numeric_limits<i64>::min();
    const Case cases[] = {
        {"seconds that overflow the multiplication", most / 1000, TIMEUNIT_SECONDS},
        {"milliseconds below the range", least / 10, TIMEUNIT_MILLISECONDS},
        {"microseconds that overflow the sum", most, TIMEUNIT_MICROSECONDS},
        {"the least amount", least, TIMEUNIT_SECONDS},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        datetime_t t;
        datetime_set(t, 2016, 3, 1, 12, 0, 0, 0);
        const datetime_t before = t;
        EXPECT_FALSE(datetime_add(t, c.amount, c.unit));
        EXPECT_EQ(t.ticks, before.ticks);
        EXPECT_EQ(Text(t), "20160301 12:00:00.000");
    }
    // Large amounts that fit still work.
    datetime_t t;
    datetime_set(t, 2016, 3, 1, 12, 0, 0, 0);
    EXPECT_TRUE(datetime_add(t, 86400ll * 365 * 1000, TIMEUNIT_SECONDS));
    EXPECT_GT(t.year, 3000);
}
