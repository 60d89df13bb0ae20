// The profiling log: the analyser's report from a small CSV fixture (nested
// scopes, repeated scopes, broken records), refused files, a thread writing
// its own log through the buffer, and the timer sample block.
#include "orvo/core/core_profile.h"
#include "orvo/core/core_thread.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <cstdio>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;
using lumivane_test::ReadFile;
using lumivane_test::WriteFile;
namespace fs = boost::filesystem;

namespace
{
const char* const RULE = "|----------------------------------------------------------------------------------";

// The report's lines, from "PROFILE RESULT" on (the log header cut off).
std::vector<std::string> Report(LogCapture& log)
{
    std::vector<std::string> lines = log.Lines();
    for (size_t i = 0; i < lines.size(); ++i)
    {
        size_t at = lines[i].find("] PROFILE RESULT");
        if (at != std::string::npos && lines[i].find("Info]") != std::string::npos)
        {
            std::vector<std::string> report(lines.begin() + static_cast<long>(i), lines.end());
            report[0] = report[0].substr(at + 2);
            return report;
        }
    }
    return {};
}

struct Profile : ::testing::Test
{
    lumivane_test::TempDir temp;
    LogCapture log;
};
} // namespace

TEST_F(Profile, AnalyserReportsTheFixture)
{
    const std::string path = temp.File("profile.csv");
    WriteFile(path, "stacklevel,type,microseconds,linenumber,filename,label\n"
                // frame 1: 3000 us, of which draw 500 and load 300 (load holds decode 200)
                "0,e,1000,10,main.cpp,frame\n"
                "1,e,1100,20,draw.cpp,draw\n"
                "1,x,1600,21,draw.cpp,draw\n"
                "1,e,1700,30,load.cpp,load\n"
                "2,e,1750,40,decode.cpp,decode\n"
                "2,x,1950,41,decode.cpp,decode\n"
                "1,x,2000,31,load.cpp,load\n"
                "0,x,4000,11,main.cpp,frame\n"
                // frame 2: 1000 us with draw 200; a stray exit closes nothing
                "0,e,10000,10,main.cpp,frame\n"
                "1,e,10100,20,draw.cpp,draw\n"
                "3,x,10150,99,stray.cpp,stray\n"
                "1,x,10300,21,draw.cpp,draw\n"
                "0,x,11000,11,main.cpp,frame\n"
                "\n"
                // frame 3: 2000 us; the scope inside is never closed and is left out
                "0,e,20000,10,main.cpp,frame\r\n"
                "1,e,20500,50,lost.cpp,lost\n"
                "0,x,22000,11,main.cpp,frame\n"
                // a line that is no record ends the reading
                "0,q,30000,10,main.cpp,frame\n"
                "0,e,30000,10,main.cpp,frame\n"
                "0,x,99000,11,main.cpp,frame\n");
    ASSERT_TRUE(profilelog_analyse(string_make(path.c_str())));
    // Sorted by file name, then line. Medians: the middle sample (frame's
    // inclusive 1000/2000/3000 gives 2ms), the lower middle of an even count.
    const std::vector<std::string> expected = {
        "PROFILE RESULT",
        "| Statistics (in milliseconds):",
        "|      Count  Inclusive  Exclusive        Min        Max      Line  Label (Filename)",
        RULE,
        "|          1      200us      200us      200us      200us        40  decode (decode.cpp)",
        "|          2      200us      200us      200us      500us        20  draw (draw.cpp)",
        "|          1      300us      100us      300us      300us        30  load (load.cpp)",
        "|          3        2ms        2ms        1ms        3ms        10  frame (main.cpp)",
        RULE,
        "",
        "",
    };
    EXPECT_EQ(Report(log), expected);
}

TEST_F(Profile, RefusedFiles)
{
    WriteFile(temp.File("short.csv"), "stacklevel,type,microseconds,linenumber,filename\n0,e,1,1,a,b\n0,x,2,1,a,b\n");
    WriteFile(temp.File("crlf.csv"), "stacklevel,type,microseconds,linenumber,filename,label\r\n");
    WriteFile(temp.File("empty.csv"), "");
    fs::create_directory(temp.File("folder.csv"));
    struct Case
    {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {temp.File("short.csv"), "Unregonised header in profile: "},
        {temp.File("crlf.csv"), "Unregonised header in profile: "},
        {temp.File("empty.csv"), "Unregonised header in profile: "},
        {temp.File("folder.csv"), "Unregonised header in profile: "},
        {temp.File("missing.csv"), "Failed to open profile: "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        log.Clear();
        EXPECT_FALSE(profilelog_analyse(string_make(c.path.c_str())));
        EXPECT_TRUE(log.Contains("Error] " + c.message + c.path));
        EXPECT_TRUE(Report(log).empty());
    }
}

TEST_F(Profile, DeepNestingIsNoProblem)
{
    // One scope nested 100,000 times: the analyser keeps its own stack.
    const int depth = 100000;
    std::string text = "stacklevel,type,microseconds,linenumber,filename,label\n";
    for (int i = 0; i < depth; ++i)
        text += std::to_string(i) + ",e," + std::to_string(i) + ",7,deep.cpp,deep\n";
    for (int i = depth - 1; i >= 0; --i)
        text += std::to_string(i) + ",x," + std::to_string(2 * depth - i) + ",7,deep.cpp,deep\n";
    WriteFile(temp.File("deep.csv"), text);
    ASSERT_TRUE(profilelog_analyse(string_make(temp.File("deep.csv").c_str())));
    std::vector<std::string> report = Report(log);
    ASSERT_EQ(report.size(), 8u);
    // Inclusive times 2, 4, ... 200000; each scope's own time is 2 us.
    EXPECT_EQ(report[4], "|     100000      100ms        2us        2us      200ms         7  deep (deep.cpp)");
}

namespace
{
struct Worker
{
    bool opened = false;
    bool same_record = false;
    bool wrote = false;
    std::string path;
};

void WorkerMain(void* user)
{
    Worker* w = static_cast<Worker*>(user);
    w->opened = profilelog_open();
    profilelog_t* record = profilelog_current();
    if (!record)
        return;
    w->same_record = profilelog_open() && profilelog_current() == record;
    w->path = record->filename.path.str;
    // Enough records to fill the 1 MiB buffer once: it is written out in between.
    const std::string label(1000, 'L');
    bool ok = true;
    for (int i = 0; i < 600; ++i)
    {
        ok = ok && profilelog_write(*record, 0, 'e', 1000 * i, 12, "work.cpp", label.c_str());
        ok = ok && profilelog_write(*record, 1, 'e', 1000 * i + 100, 34, "step,one.cpp", "a,b\nc");
        ok = ok && profilelog_write(*record, 1, 'x', 1000 * i + 400, 35, "step,one.cpp", "");
        ok = ok && profilelog_write(*record, 0, 'x', 1000 * i + 900, 13, "work.cpp", label.c_str());
    }
    w->wrote = ok && !profilelog_write(*record, 0, 'q', 1, 1, "x", "y");
    profilelog_close();
}
} // namespace

TEST_F(Profile, AThreadWritesItsOwnLog)
{
    const std::string root = fs::canonical(temp.Path()).string();
    const std::string old_cwd = fs::current_path().string();
    fs::current_path(root);

    EXPECT_FALSE(profilelog_open()) << "not before the key exists";
    ASSERT_TRUE(thread_library_initialise());
    ASSERT_TRUE(profilelog_initialise());

    Worker worker;
    thread_t thread;
    thread_initialise(thread);
    thread_set(thread, WorkerMain, &worker, string_make("WORKER"));
    ASSERT_TRUE(thread_run(thread));
    thread_wait(thread, nullptr, nullptr);
    thread_release(thread);
    EXPECT_EQ(profilelog_current(), nullptr) << "the main thread has none";

    EXPECT_TRUE(worker.opened);
    EXPECT_TRUE(worker.same_record);
    EXPECT_TRUE(worker.wrote);
    const std::string path = root + "/profilelog_1_WORKER.csv";
    EXPECT_EQ(worker.path, path);
    EXPECT_TRUE(log.Contains("Info] Profile log saved: " + path));

    const std::string text = ReadFile(path);
    const std::string label(1000, 'L');
    EXPECT_EQ(text.compare(0, 56, "stacklevel,type,microseconds,linenumber,filename,label\n0"), 0);
    EXPECT_NE(
        text.find("\n1,e,100,34,step_one.cpp,a_b_c\n1,x,400,35,step_one.cpp,?\n0,x,900,13,work.cpp," + label + "\n"),
        std::string::npos);
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 1u + 4u * 600u);
    EXPECT_GT(text.size(), PROFILELOG_BUFFER_SIZE);

    std::vector<std::string> report = Report(log);
    ASSERT_EQ(report.size(), 9u);
    EXPECT_EQ(report[4], "|        600      300us      300us      300us      300us        34  a_b_c (step_one.cpp)");
    EXPECT_EQ(report[5],
              "|        600      900us      600us      900us      900us        12  " + label + " (work.cpp)");

    // The main thread's log, named after it, is closed by the release.
    ASSERT_TRUE(profilelog_open());
    ASSERT_NE(profilelog_current(), nullptr);
    profilelog_release();
    EXPECT_TRUE(fs::exists(root + "/profilelog_0_MAIN.csv"));
    EXPECT_TRUE(log.Contains("Info] Profile log saved: " + root + "/profilelog_0_MAIN.csv"));
    profilelog_release(); // twice is harmless
    thread_library_release();
    fs::current_path(old_cwd);
}

TEST(TimerLog, InitialiseAndRelease)
{
    timerlog_t timer;
    ASSERT_TRUE(timerlog_initialise(timer, 64, TIMEUNIT_MILLISECONDS));
    EXPECT_EQ(timer.capacity, 64u);
    EXPECT_EQ(timer.unit, TIMEUNIT_MILLISECONDS);
    EXPECT_EQ(timer.num_samples, 0u);
    ASSERT_NE(timer.samples, nullptr);
    for (u64 i = 0; i < timer.capacity; ++i)
        EXPECT_EQ(timer.samples[i], 0u);
    timerlog_release(timer);
    EXPECT_EQ(timer.samples, nullptr);
    EXPECT_EQ(timer.capacity, 0u);
    timerlog_release(timer);

    ASSERT_TRUE(timerlog_initialise(timer, 0, TIMEUNIT_TICKS));
    EXPECT_EQ(timer.samples, nullptr);
    timerlog_release(timer);

    LogCapture log;
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(timerlog_initialise(timer, 1000, TIMEUNIT_MICROSECONDS));
    }
    EXPECT_EQ(timer.samples, nullptr);
    EXPECT_EQ(timer.capacity, 0u);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate 4000 bytes"));
    EXPECT_FALSE(timerlog_initialise(timer, UINT64_MAX / 2, TIMEUNIT_MICROSECONDS));
    timerlog_release(timer);
}
