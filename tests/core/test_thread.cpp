// Threads: start and join, names and indexes, waiting with a pumping callback
// and with a time limit under a stepping test clock, and abandonment of a
// thread that overruns its limit: logged, never cancelled, its record never
// touched again, and the process still exits cleanly.
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
// Sets a flag from the thread's own exit, after thread_entry has returned:
// thread-local destructors run only then. Lets a test know that a detached
// thread is completely gone without sleeping.
struct ExitNotice
{
    std::atomic<bool>* flag = nullptr;
    ~ExitNotice()
    {
        if (flag)
            flag->store(true, std::memory_order_release);
    }
};
thread_local ExitNotice exit_notice;

void WaitFor(const std::atomic<bool>& flag)
{
    while (!flag.load(std::memory_order_acquire))
        thread_yield();
}

// What a thread saw of itself, and the switches a test holds it by.
struct Probe
{
    std::atomic<int> calls{0};
    std::atomic<void*> user_seen{nullptr};
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};  // a stuck thread waits for this
    std::atomic<int> pumps{0};         // raised by the waiting thread's callback
    int pumps_needed = 0;              // the thread ends once this many pumps happened
    std::atomic<bool> exited{false};
    std::string name;  // thread_get_name() inside the thread; "<null>" when none
    u32 index = 0;
};

void RecordSelf(Probe& probe)
{
    const stringbuffer_t* name = thread_get_name();
    probe.name = name ? std::string(name->str, name->length) : std::string("<null>");
    probe.index = thread_get_index();
}

void Work(void* user)
{
    Probe& probe = *static_cast<Probe*>(user);
    exit_notice.flag = &probe.exited;
    RecordSelf(probe);
    probe.user_seen.store(user);
    probe.calls.fetch_add(1);
    probe.started.store(true, std::memory_order_release);
    while (probe.pumps.load(std::memory_order_acquire) < probe.pumps_needed)
        thread_yield();
}

// Runs until the test lets it go, whatever its waiter's limit.
void Stuck(void* user)
{
    Probe& probe = *static_cast<Probe*>(user);
    exit_notice.flag = &probe.exited;
    probe.started.store(true, std::memory_order_release);
    while (!probe.release.load(std::memory_order_acquire))
        thread_yield();
}

void Pump(void* user)
{
    static_cast<Probe*>(user)->pumps.fetch_add(1, std::memory_order_acq_rel);
}

// A monotonic test clock that moves by a fixed step on every read, so that
// time limits are reached after a known number of checks.
struct SteppingClock
{
    std::atomic<u64> now{1000};
    u64 step = 0;
    clock_hooks_t hooks{&SteppingClock::Ticks, nullptr, this};
    explicit SteppingClock(u64 s) : step(s) { time_set_clock(&hooks); }
    ~SteppingClock() { time_set_clock(nullptr); }
    static u64 Ticks(void* user)
    {
        SteppingClock* self = static_cast<SteppingClock*>(user);
        return self->now.fetch_add(self->step);
    }
};

struct ThreadRecord : ::testing::Test
{
    lumivane_test::LogCapture log;
    thread_t thread;
    void SetUp() override { thread_initialise(thread); }
    void TearDown() override
    {
        thread_release(thread);
        thread_release(thread);
        EXPECT_FALSE(thread_is_running(thread));
        EXPECT_EQ(thread.handle, nullptr);
    }
};
} // namespace

TEST_F(ThreadRecord, RunsTheFunctionOnceWithItsUserDataAndJoins)
{
    EXPECT_EQ(thread.function, nullptr);
    EXPECT_EQ(thread.name.length, 0u);
    Probe probe;
    thread_set(thread, Work, &probe, string_make("WORKER"));
    ASSERT_TRUE(thread_run(thread));
    EXPECT_NE(thread.handle, nullptr);

    EXPECT_TRUE(thread_wait(thread, nullptr, nullptr));
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_EQ(probe.user_seen.load(), &probe);
    EXPECT_EQ(probe.name, "WORKER");
    EXPECT_FALSE(thread_is_running(thread));
    EXPECT_EQ(thread.handle, nullptr); // joined
    EXPECT_TRUE(thread_wait(thread, nullptr, nullptr)); // not running: returns at once
    EXPECT_FALSE(log.Contains("Forcing"));
}

TEST_F(ThreadRecord, RunRefusesARecordThatIsStillRunning)
{
    Probe probe;
    thread_set(thread, Stuck, &probe, string_make("BUSY"));
    ASSERT_TRUE(thread_run(thread));
    thread_start_t* first = thread.handle;
    EXPECT_FALSE(thread_run(thread));
    EXPECT_TRUE(log.Contains("Failed to start thread BUSY: it is already running"));
    EXPECT_EQ(thread.handle, first);
    EXPECT_TRUE(thread_is_running(thread));

    probe.release.store(true);
    EXPECT_TRUE(thread_wait(thread, nullptr, nullptr));
    EXPECT_FALSE(log.Contains("Forcing"));
}

TEST_F(ThreadRecord, FailedStartLeavesTheRecordIdle)
{
    Probe probe;
    thread_set(thread, Work, &probe, string_make("NOSTART"));
    {
        lumivane_test::FailingAllocator failing(0); // the start record cannot be had
        EXPECT_FALSE(thread_run(thread));
    }
    EXPECT_FALSE(thread_is_running(thread));
    EXPECT_EQ(thread.handle, nullptr);
    EXPECT_EQ(probe.calls.load(), 0);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
}

TEST_F(ThreadRecord, WaitWithCallbackPumpsUntilTheThreadEndsAndKeepsTheHandle)
{
    Probe probe;
    probe.pumps_needed = 3; // the thread cannot end unless the waiter pumps
    thread_set(thread, Work, &probe, string_make("PUMPED"));
    ASSERT_TRUE(thread_run(thread));
    EXPECT_TRUE(thread_wait(thread, Pump, &probe));
    EXPECT_GE(probe.pumps.load(), 3);
    EXPECT_FALSE(thread_is_running(thread));
    EXPECT_NE(thread.handle, nullptr); // not joined: release (or a new run) detaches it

    // A finished, unjoined record can run again; the old platform thread is detached.
    Probe second;
    thread_set(thread, Work, &second, string_make("AGAIN"));
    ASSERT_TRUE(thread_run(thread));
    EXPECT_TRUE(thread_wait(thread, Pump, &second));
    EXPECT_EQ(second.calls.load(), 1);
    EXPECT_EQ(second.name, "AGAIN");
    // A plain wait joins even a thread that has already finished, so nothing is
    // left for a release to do.
    EXPECT_NE(thread.handle, nullptr);
    EXPECT_TRUE(thread_wait(thread, nullptr, nullptr));
    EXPECT_EQ(thread.handle, nullptr);
    EXPECT_TRUE(second.exited.load());
    WaitFor(probe.exited);
}

TEST(ThreadNames, MainIsZeroAndStartedThreadsAreNumberedFromOne)
{
    ASSERT_TRUE(thread_library_initialise());
    ASSERT_NE(thread_get_name(), nullptr);
    EXPECT_EQ(std::string(thread_get_name()->str), "MAIN");
    EXPECT_EQ(thread_get_index(), 0u);

    // The first thread of the process with an empty name is THREAD_1.
    Probe first;
    thread_t unnamed;
    thread_initialise(unnamed);
    thread_set(unnamed, Work, &first, empty_str);
    ASSERT_TRUE(thread_run(unnamed));
    thread_wait(unnamed, nullptr, nullptr);
    EXPECT_EQ(first.name, "THREAD_1");
    EXPECT_EQ(first.index, 1u);

    // Eight at once draw distinct indexes 2..9 and are named by them.
    const int count = 8;
    std::vector<Probe> probes(count);
    std::vector<thread_t> threads(count);
    for (int i = 0; i < count; ++i)
    {
        thread_initialise(threads[i]);
        thread_set(threads[i], Work, &probes[i], empty_str);
        ASSERT_TRUE(thread_run(threads[i]));
    }
    std::set<u32> indexes;
    for (int i = 0; i < count; ++i)
    {
        thread_wait(threads[i], nullptr, nullptr);
        indexes.insert(probes[i].index);
        EXPECT_EQ(probes[i].name, "THREAD_" + std::to_string(probes[i].index));
        thread_release(threads[i]);
    }
    EXPECT_EQ(indexes, (std::set<u32>{2, 3, 4, 5, 6, 7, 8, 9}));

    // The thread's name is its own copy, not the record's view.
    char text[] = "LOAD";
    Probe named;
    thread_t loader;
    thread_initialise(loader);
    thread_set(loader, Work, &named, string_make(text));
    ASSERT_TRUE(thread_run(loader));
    thread_wait(loader, nullptr, nullptr);
    EXPECT_EQ(named.name, "LOAD");
    EXPECT_EQ(named.index, 10u);
    EXPECT_EQ(std::string(thread_get_name()->str), "MAIN"); // the main thread is unchanged

    thread_library_release();
    EXPECT_EQ(thread_get_name(), nullptr);
    thread_library_release(); // safe twice
}

TEST(ThreadNames, ThreadsStartedWithoutTheLibraryStillGetNames)
{
    EXPECT_EQ(thread_get_name(), nullptr);
    EXPECT_EQ(thread_get_index(), 0u);
    Probe probe;
    thread_t thread;
    thread_initialise(thread);
    thread_set(thread, Work, &probe, string_make("USBXFER"));
    ASSERT_TRUE(thread_run(thread));
    thread_wait(thread, nullptr, nullptr);
    EXPECT_EQ(probe.name, "USBXFER");
    EXPECT_GE(probe.index, 1u); // 0 is the main thread's
    // Started threads count on from there (the first of a fresh process is 1).
    Probe second;
    thread_set(thread, Work, &second, string_make("USBXFER"));
    ASSERT_TRUE(thread_run(thread));
    thread_wait(thread, nullptr, nullptr);
    EXPECT_EQ(second.index, probe.index + 1);
    thread_release(thread);
}

TEST(ThreadNames, AFailedNameStillRunsTheFunction)
{
    struct Case
    {
        const char* name;
        long failing_allocation; // counted from thread_run: 0 start record, 1 name buffer, 2 its text
        const char* expected_name;
    };
    const Case cases[] = {
        {"name buffer missing: no name at all", 1, "<null>"},
        {"only the copy failed: an empty name", 2, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        lumivane_test::LogCapture log;
        Probe probe;
        thread_t thread;
        thread_initialise(thread);
        thread_set(thread, Work, &probe, string_make("NAMED"));
        {
            lumivane_test::FailingAllocator failing(c.failing_allocation, false);
            ASSERT_TRUE(thread_run(thread));
            thread_wait(thread, nullptr, nullptr); // joined before the allocator goes
            EXPECT_EQ(failing.Failures(), 1);
        }
        EXPECT_EQ(probe.calls.load(), 1);
        EXPECT_EQ(probe.name, c.expected_name);
        EXPECT_FALSE(thread_is_running(thread));
        EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
    }
}

TEST(ThreadWaitLimit, EndsInTimeOrIsAbandonedWithoutTouchingItsRecordAgain)
{
    struct Case
    {
        const char* name;
        u64 amount;
        u32 unit;
        u64 step;          // ticks the clock moves per read
        bool callback;
        bool thread_stops; // the thread ends after 3 pumps (needs the callback) or at once
        bool in_time;
        int pumps;         // callbacks made before an abandonment; -1: not checked
    };
    const Case cases[] = {
        // A clock that stands still never reaches the limit, however long a busy
        // machine takes to schedule the thread.
        {"ends within the limit while pumped", 10, TIMEUNIT_SECONDS, 0, true, true, true, -1},
        {"ends at once, no callback, joined", 1, TIMEUNIT_SECONDS, 0, false, true, true, -1},
        // Checks at 1000..5000 elapsed are within 5 ms; the one at 6000 is past it.
        {"overruns 5 ms: abandoned after 5 pumps", 5, TIMEUNIT_MILLISECONDS, 1000, true, false, false, 5},
        {"overruns 5000 ticks without a callback", 5000, TIMEUNIT_TICKS, 1000, false, false, false, 0},
        // A limit of 0 gives up on the first check after one tick.
        {"limit 0: first check after a tick", 0, TIMEUNIT_MILLISECONDS, 1, true, false, false, 0},
        // 2^64 / 1000 + 1 ms in ticks would wrap round to 384; it saturates instead.
        {"a limit past 2^64 ticks does not wrap", 18446744073709552ull, TIMEUNIT_MILLISECONDS, 1000000, true, true,
         true, -1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        lumivane_test::LogCapture log;
        Probe probe;
        probe.pumps_needed = c.thread_stops && c.callback ? 3 : 0;
        // The record lives on the heap so that ASan sees any late write into it.
        thread_t* thread = new thread_t;
        thread_initialise(*thread);
        thread_set(*thread, c.thread_stops ? Work : Stuck, &probe, string_make("STUCK"));
        ASSERT_TRUE(thread_run(*thread));
        WaitFor(probe.started); // the clock only starts once the thread is going

        bool in_time;
        {
            SteppingClock clock(c.step);
            in_time = thread_wait(*thread, c.callback ? Pump : nullptr, &probe, c.amount, c.unit);
        }
        EXPECT_EQ(in_time, c.in_time);
        EXPECT_FALSE(thread_is_running(*thread));
        EXPECT_EQ(thread->handle, nullptr); // joined, or detached when abandoned
        EXPECT_EQ(log.Contains("Forcing thread termination: STUCK"), !c.in_time);
        if (c.pumps >= 0)
        {
            EXPECT_EQ(probe.pumps.load(), c.pumps);
        }

        // The owner may free its record at once; the thread goes on and must not
        // write into it when it finally ends.
        delete thread;
        probe.release.store(true, std::memory_order_release);
        WaitFor(probe.exited);
    }
}

TEST(ThreadWaitLimit, AnAbandonedThreadThatLogsLeavesTheLogUsable)
{
    // A cancelled thread could die holding the log lock; an abandoned one only
    // goes on logging, and every other thread can still write lines.
    lumivane_test::LogCapture log;
    struct Chatter
    {
        std::atomic<bool> stop{false};
        std::atomic<bool> exited{false};
        std::atomic<int> lines{0};
    } chatter;
    thread_t thread;
    thread_initialise(thread);
    thread_set(
        thread,
        [](void* user) {
            Chatter& c = *static_cast<Chatter*>(user);
            exit_notice.flag = &c.exited;
            while (!c.stop.load(std::memory_order_acquire))
            {
                log_writef(LOGLEVEL_INFO, LOGMODULE_GENERAL, "chatter %d", c.lines.load());
                c.lines.fetch_add(1, std::memory_order_release);
            }
        },
        &chatter, string_make("CHATTER"));
    ASSERT_TRUE(thread_run(thread));
    while (chatter.lines.load(std::memory_order_acquire) < 10)
        thread_yield();
    {
        SteppingClock clock(1);
        EXPECT_FALSE(thread_wait(thread, nullptr, nullptr, 0, TIMEUNIT_MILLISECONDS));
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_GENERAL, "main goes on");
    EXPECT_TRUE(log.Contains("Forcing thread termination: CHATTER"));
    EXPECT_TRUE(log.Contains("main goes on"));
    int before = chatter.lines.load();
    while (chatter.lines.load(std::memory_order_acquire) < before + 10)
        thread_yield(); // still alive: not cancelled
    chatter.stop.store(true, std::memory_order_release);
    WaitFor(chatter.exited);
}

TEST(ThreadWaitLimit, ProcessExitsCleanlyWithAnAbandonedThreadStillRunning)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log_open();
            static std::atomic<bool> never{false};
            Thread stuck;
            stuck.SetName("FOREVER");
            stuck.SetFunction(
                [](void*) {
                    while (!never.load(std::memory_order_acquire))
                        thread_yield();
                },
                nullptr);
            stuck.Run();
            stuck.Wait(nullptr, nullptr, 0.0f);
            if (stuck.IsRunning())
                std::exit(3);
            log_writef(LOGLEVEL_INFO, LOGMODULE_GENERAL, "after abandoning");
            log_close();
            std::fprintf(stderr, "abandoned, exiting\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "abandoned, exiting");
}

TEST(ThreadClass, MembersMirrorTheRecordAndTheDestructorAbandons)
{
    lumivane_test::LogCapture log;
    Probe probe;
    {
        Thread thread;
        EXPECT_STREQ(thread.GetName(), "");
        thread.SetName(nullptr);
        EXPECT_STREQ(thread.GetName(), "");
        thread.SetName("TCL");
        EXPECT_STREQ(thread.GetName(), "TCL");
        thread.SetFunction(Work, &probe);
        EXPECT_FALSE(thread.IsRunning());
        thread.Run();
        thread.Wait(nullptr, nullptr);
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_EQ(probe.name, "TCL");
        EXPECT_EQ(probe.calls.load(), 1);
    }
    EXPECT_FALSE(log.Contains("Forcing"));

    // A negative limit counts as 0: abandoned on the first check after a tick.
    Probe stuck;
    {
        Thread thread;
        thread.SetName("LOADER");
        thread.SetFunction(Stuck, &stuck);
        thread.Run();
        WaitFor(stuck.started);
        SteppingClock clock(1);
        thread.Wait(nullptr, nullptr, -5.0f);
        EXPECT_FALSE(thread.IsRunning());
    }
    EXPECT_TRUE(log.Contains("Forcing thread termination: LOADER"));
    log.Clear();

    // The destructor of a running thread abandons it rather than cancelling it.
    Probe running;
    {
        Thread thread;
        thread.SetName("SCRIPT");
        thread.SetFunction(Stuck, &running);
        thread.Run();
        WaitFor(running.started);
    }
    EXPECT_TRUE(log.Contains("Forcing thread termination: SCRIPT"));
    running.release.store(true);
    stuck.release.store(true);
    WaitFor(running.exited);
    WaitFor(stuck.exited);
}

TEST(ThreadRecordZeroed, ReleaseOfAZeroedRecordDoesNothing)
{
    lumivane_test::LogCapture log;
    thread_t zeroed{};
    thread_release(zeroed);
    thread_terminate(zeroed);
    EXPECT_FALSE(thread_is_running(zeroed));
    EXPECT_FALSE(log.Contains("Forcing"));
    EXPECT_GE(get_num_cpu(), 1u);
}
