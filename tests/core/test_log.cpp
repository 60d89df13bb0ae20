// The log: filtering by level and module, the exact header, multi-piece
// lines, growth of the line buffer, the hex dump, handlers, 8 threads that
// never interleave, and the debugging hooks.
#include "orvo/core/core_log.h"
#include "orvo/core/core_time.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;

namespace
{
// 09:05:03.042 on 2016-03-01, UTC (the tests run with TZ=UTC).
i64 fixed_wallclock(void*)
{
    return 1456823103042000ll + 999; // the sub-millisecond part is truncated
}
const clock_hooks_t fixed_clock = {nullptr, fixed_wallclock, nullptr};

struct Log : ::testing::Test
{
    LogCapture capture;
    void TearDown() override { time_set_clock(nullptr); }
};
} // namespace

TEST_F(Log, HeaderHasTheExactLayout)
{
    time_set_clock(&fixed_clock);
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "took %d photos", 3);
    log_write(LOGLEVEL_WARNING, LOGMODULE_NETWORK, nullptr);
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[09:05:03.042   Camera    Error] took 3 photos");
    EXPECT_EQ(lines[1], "[09:05:03.042  Network  Warning] ");
}

TEST_F(Log, FiltersByLevelAndModule)
{
    // After the first open: Info, Error and Warning of every module only.
    for (u32 module = 0; module < LOGMODULE_MAX; ++module)
    {
        SCOPED_TRACE(module);
        for (u32 level : {LOGLEVEL_DEBUG, LOGLEVEL_TRACE, LOGLEVEL_VERBOSE})
            EXPECT_FALSE(log_is_enabled(level, module));
        for (u32 level : {LOGLEVEL_INFO, LOGLEVEL_ERROR, LOGLEVEL_WARNING})
            EXPECT_TRUE(log_is_enabled(level, module));
    }
    capture.Clear();
    log_writef(LOGLEVEL_DEBUG, LOGMODULE_CAMERA, "hidden");
    log_enable(LOGLEVEL_DEBUG, LOGMODULE_CAMERA, true);
    log_writef(LOGLEVEL_DEBUG, LOGMODULE_CAMERA, "shown");
    log_writef(LOGLEVEL_DEBUG, LOGMODULE_GENERAL, "other module");
    log_enable(LOGLEVEL_INFO, LOGMODULE_APP, false);
    log_writef(LOGLEVEL_INFO, LOGMODULE_APP, "switched off");
    log_writef(LOGLEVEL_INFO, LOGMODULE_MAX, "not a module");
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("  Camera    Debug] shown"), std::string::npos);

    EXPECT_FALSE(log_lock(LOGLEVEL_TRACE, LOGMODULE_CAMERA)); // and holds no lock:
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "still writes");
    EXPECT_TRUE(capture.Contains("still writes"));
}

TEST_F(Log, MultiPieceLineReachesTheHandlerInOrder)
{
    capture.Clear();
    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_TEST));
    log_print("a");
    log_print(string_t{"bcdef", 2}); // a view that is not terminated where it ends
    log_printf("%s", "-");
    datetime_t t;
    datetime_set(t, 2016, 3, 1, 9, 5, 3, 42000);
    datetime_print(t);
    log_unlock();
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(pieces.size(), 6u);
    EXPECT_EQ(pieces[1], "a");
    EXPECT_EQ(pieces[2], "bc");
    EXPECT_EQ(pieces[4], "20160301 09:05:03.042");
    EXPECT_EQ(pieces[5], "\n");
}

TEST_F(Log, LongLineGrowsTheBufferAndIsWrittenWhole)
{
    EXPECT_EQ(log_buffer_size(), LOG_INITIAL_BUFFER_SIZE);
    std::string text(3000, 'q');
    log_writef(LOGLEVEL_INFO, LOGMODULE_TEST, "%s", text.c_str());
    EXPECT_EQ(log_buffer_size(), 6002u);
    EXPECT_TRUE(capture.Contains("] " + text));
}

TEST_F(Log, HexDumpLayout)
{
    const unsigned char bytes[] = {'a', 0x00, 'Z', 0x7F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                                   0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 'x', 'y'};
    capture.Clear();
    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_TEST));
    log_print(bytes, 3);
    log_print(bytes, sizeof(bytes));
    log_print(bytes, 0);
    log_unlock();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 7u); // the dump's own line feeds, then the line's end
    EXPECT_NE(lines[0].find("] 3 bytes"), std::string::npos);
    EXPECT_EQ(lines[1], "00000000  61 00 5A" + std::string(42, ' ') + "|a.Z|"); // padded to the full width
    EXPECT_EQ(lines[2], "18 bytes");
    EXPECT_EQ(lines[3], "00000000  61 00 5A 7F 10 11 12 13  14 15 16 17 18 19 1A 1B  |a.Z.............|");
    EXPECT_EQ(lines[4], "00000010  78 79" + std::string(45, ' ') + "|xy|");
    EXPECT_EQ(lines[5], "0 bytes");
    EXPECT_EQ(lines[6], "");
}

TEST_F(Log, EightThreadsNeverInterleave)
{
    capture.Clear();
    const int per_thread = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i)
            {
                if (i % 2)
                    log_writef(LOGLEVEL_INFO, LOGMODULE_TEST, "thread %d line %d end", t, i);
                else if (log_lock(LOGLEVEL_INFO, LOGMODULE_TEST))
                {
                    log_printf("thread %d ", t);
                    log_printf("line %d ", i);
                    log_print("end");
                    log_unlock();
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 8u * per_thread);
    const std::regex line_form(R"(\[\d\d:\d\d:\d\d\.\d\d\d     Test     Info\] thread (\d) line (\d+) ?end)");
    std::vector<int> next(8, 0);
    for (const std::string& line : lines)
    {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, line_form)) << line;
        int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++); // each thread's lines in order
    }
}

TEST(LogNames, LevelAndModuleNames)
{
    EXPECT_EQ(std::string(loglevel_to_str(LOGLEVEL_WARNING).str), "Warning");
    EXPECT_EQ(std::string(loglevel_to_str(3).str), "None");
    EXPECT_EQ(loglevel_from_str(string_make("Verbose")), static_cast<u32>(LOGLEVEL_VERBOSE));
    EXPECT_EQ(loglevel_from_str(string_make("info")), static_cast<u32>(LOGLEVEL_NONE));
    EXPECT_EQ(std::string(logmodule_to_str(LOGMODULE_GRAPHICS).str), "Graphics");
    EXPECT_EQ(logmodule_from_str(string_make("Camera")), static_cast<u32>(LOGMODULE_CAMERA));
    EXPECT_EQ(logmodule_from_str(string_make("camera")), static_cast<u32>(LOGMODULE_UNKNOWN));
}

TEST(LogLifecycle, OpenIsCountedAndHandlersGetTheByteOrderMark)
{
    EXPECT_FALSE(log_is_open());
    EXPECT_FALSE(log_lock(LOGLEVEL_ERROR, LOGMODULE_GENERAL)); // closed: nothing, no lock
    {
        LogCapture capture; // first open
        std::vector<std::string> pieces = capture.Pieces();
        ASSERT_FALSE(pieces.empty());
        EXPECT_EQ(pieces[0], std::string(utf8_bom.str, utf8_bom.length));
        ASSERT_TRUE(log_open()); // second open
        log_close();
        EXPECT_TRUE(log_is_open());
        log_writef(LOGLEVEL_INFO, LOGMODULE_APP, "after close");
        EXPECT_TRUE(capture.Contains("after close"));
        capture.Clear();
        log_set_handler(nullptr, nullptr); // default again: nothing reaches the capture
        log_writef(LOGLEVEL_INFO, LOGMODULE_APP, "to stdout");
        EXPECT_TRUE(capture.Pieces().empty());
    }
    EXPECT_FALSE(log_is_open());
    EXPECT_EQ(log_buffer_size(), 0u);
}

TEST(LogLifecycle, OpenAndCloseWriteTheirLines)
{
    std::vector<std::string> seen;
    auto handler = [](const string_t& text, void* user) {
        static_cast<std::vector<std::string>*>(user)->emplace_back(text.str, text.length);
    };
    ASSERT_TRUE(log_open());
    log_set_handler(handler, &seen);
    log_close();
    std::string all;
    for (const std::string& piece : seen)
        all += piece;
    EXPECT_NE(all.find(" General     Info] Log closed\n"), std::string::npos);
}

TEST(Debug, AssertCallsTheHandlerOnlyOnFailure)
{
    std::vector<std::string> seen;
    debug_set_handler(
        [](const string_t& text, void* user) {
            static_cast<std::vector<std::string>*>(user)->emplace_back(text.str, text.length);
        },
        &seen);
    debug_assert(true, "fine");
    debug_assert(false, "broken invariant");
    debug_set_handler(nullptr, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "broken invariant");
    // No debugger is attached under CTest, so the default hook only prints.
    EXPECT_FALSE(debug_is_attached());
    debug_break();
}

namespace
{
// Two handlers, each with its own user record: a line reaching a handler
// with the other's record, or a handler called after its replacement was
// installed, is counted as a fault.
struct HandlerRecord
{
    std::atomic<bool> retired{false};
    std::atomic<long> calls{0};
    std::atomic<long> faults{0};
};
HandlerRecord handler_records[2];

template <int Which>
void counting_handler(const string_t&, void* user)
{
    HandlerRecord& mine = handler_records[Which];
    if (user != &mine || mine.retired.load())
        mine.faults.fetch_add(1);
    mine.calls.fetch_add(1);
}
} // namespace

TEST(LogLifecycle, ReplacingTheHandlerWhileOthersLogIsClean)
{
    ASSERT_TRUE(log_open());
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; ++i)
        writers.emplace_back(
            [&]
            {
                while (!stop.load())
                    log_writef(LOGLEVEL_INFO, LOGMODULE_TEST, "line %d", 1);
            });
    for (int round = 0; round < 2000; ++round)
    {
        const int next = round % 2;
        handler_records[next].retired.store(false);
        if (next == 0)
            log_set_handler(counting_handler<0>, &handler_records[0]);
        else
            log_set_handler(counting_handler<1>, &handler_records[1]);
        // From here on the other handler must never be called again.
        handler_records[1 - next].retired.store(true);
    }
    stop.store(true);
    for (std::thread& writer : writers)
        writer.join();
    log_set_handler(nullptr, nullptr);
    log_close();
    EXPECT_GT(handler_records[0].calls.load() + handler_records[1].calls.load(), 0);
    EXPECT_EQ(handler_records[0].faults.load(), 0);
    EXPECT_EQ(handler_records[1].faults.load(), 0);
}

namespace
{
void discard(const string_t&, void*) {}
} // namespace

TEST(LogLifecycleDeathTest, AThreadStillLoggingWhileTheProcessExitsFindsTheLog)
{
    // A thread abandoned at its stop limit may log on while exit runs the
    // static destructors: the log's lock and buffer must outlive it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log_open();
            log_set_handler(discard, nullptr);
            std::atomic<long> lines{0};
            std::thread([&lines] {
                for (;;)
                {
                    log_writef(LOGLEVEL_INFO, LOGMODULE_TEST, "still here %ld", lines.load());
                    lines.fetch_add(1);
                }
            }).detach();
            while (lines.load() < 1000)
                std::this_thread::yield();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
