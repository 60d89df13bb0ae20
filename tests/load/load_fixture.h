// The fixture of the "LOAD" thread tests: the test's own thread plays MAIN
// (it initialises the distributor, so its hub is "MAIN"), a message thread
// "LOAD" hosts the image and font servers, and every answer reaches the test
// only when it pumps. Verbose lines of the image and font modules are
// captured, pictures are written into a temporary folder of the test.
#pragma once

#include "orvo/core/core_msgthread.h"
#include "orvo/core/core_time.h"
#include "orvo/graphics/graphics_fontservice.h"
#include "orvo/graphics/graphics_imageservice.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace load_test
{
// What a service client was answered, in arrival order: (request, result)
// for every load and the request of every unload. Resource is image_t or font_t.
template <typename Resource>
struct Answers
{
    std::vector<std::pair<int, Resource*>> loads;
    std::vector<int> unloads;

    static void Load(void* user, int request, Resource* resource)
    {
        static_cast<Answers*>(user)->loads.push_back({request, resource});
    }
    static void Unload(void* user, int request) { static_cast<Answers*>(user)->unloads.push_back(request); }
};

class LoadThread : public ::testing::Test
{
protected:
    void SetUp() override
    {
        orvo::log_enable(orvo::LOGLEVEL_VERBOSE, orvo::LOGMODULE_IMAGE, true);
        orvo::log_enable(orvo::LOGLEVEL_VERBOSE, orvo::LOGMODULE_FONT, true);
        ASSERT_TRUE(orvo::distributor_initialise());
        distributor_started = true;
        ASSERT_TRUE(orvo::msgthread_initialise(thread, "LOAD"));
        image_server = orvo::image_server_create();
        font_server = orvo::font_server_create();
        ASSERT_NE(image_server, nullptr);
        ASSERT_NE(font_server, nullptr);
        ASSERT_TRUE(orvo::msgthread_add_server(thread, image_server));
        ASSERT_TRUE(orvo::msgthread_add_server(thread, font_server));
        ASSERT_TRUE(orvo::msgthread_start(thread));
        thread_started = true;
    }

    void TearDown() override
    {
        if (HasFailure())
            for (const std::string& line : log.Lines())
                std::printf("log: %s\n", line.c_str());
        if (thread_started)
            orvo::msgthread_stop(thread, PumpMain, nullptr);
        orvo::msgthread_release(thread);
        if (distributor_started)
            orvo::distributor_release();
    }

    static void PumpMain(void*) { orvo::distributor_pump(nullptr); }

    // Pumps MAIN until the condition holds; the bound only keeps a broken
    // build from hanging (nothing here measures time).
    template <typename F>
    static bool PumpUntil(F condition)
    {
        orvo::timer_t waited;
        orvo::timer_start(waited);
        while (!condition())
        {
            if (orvo::timer_elapsed(waited) > 20000000)
                return false;
            orvo::distributor_pump(nullptr);
            orvo::thread_sleep(1, orvo::TIMEUNIT_MILLISECONDS);
        }
        return true;
    }

    // Waits, without pumping MAIN, until the log shows the text: the LOAD
    // thread has done its part but the answer still waits for MAIN.
    bool WaitForLog(const std::string& text)
    {
        orvo::timer_t waited;
        orvo::timer_start(waited);
        while (!log.Contains(text))
        {
            if (orvo::timer_elapsed(waited) > 20000000)
                return false;
            orvo::thread_sleep(1, orvo::TIMEUNIT_MILLISECONDS);
        }
        return true;
    }

    // The managers belong to the LOAD thread; the tests read them only after
    // the answer to their last request has been pumped, which orders the
    // reads after the thread's writes.
    orvo::image_manager_t& Images() { return orvo::image_server_manager(image_server); }
    orvo::font_manager_t& Fonts() { return orvo::font_server_manager(font_server); }

    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    orvo::msgthread_t thread{};
    orvo::msgserver_t* image_server = nullptr;
    orvo::msgserver_t* font_server = nullptr;
    bool distributor_started = false;
    bool thread_started = false;
};
} // namespace load_test
