// A GoogleTest fixture of one engine device on one responder camera: the test
// clock installed, the log captured, a context, the device initialised over
// the camera's callbacks and the event pump attached. TearDown disconnects a
// registered device, checks that the responder saw no broken protocol rule and
// releases everything. Also a helper that holds a device lock from another
// thread, as a download thread would.
#pragma once

#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/support_log_capture.h"

#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_device.h"
#include "orvo/camera/mtp_update.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ptpsim
{
class DeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(orvo::mtp_context_initialise(context));
        ASSERT_TRUE(orvo::mtp_device_initialise(device, &context, camera.callbacks()));
        camera.attach(device);
    }

    void TearDown() override
    {
        camera.detach();
        if (device.registered)
            orvo::mtp_device_disconnect(device);
        EXPECT_TRUE(camera.violations().empty()) << camera.violations().front();
        orvo::mtp_device_release(device);
        orvo::mtp_context_release(context);
    }

    // Connects and lets the pump deliver whatever the connection caused.
    bool Connect()
    {
        bool ok = orvo::mtp_device_connect(device);
        camera.drain_events();
        return ok;
    }

    // Delivers the queued events, then runs one update step.
    orvo::u32 Update()
    {
        camera.drain_events();
        return orvo::mtp_device_update(device);
    }

    TestClock clock;
    lumivane_test::LogCapture log;
    orvo::mtp_context_t context = {};
    Camera camera;
    orvo::mtp_device_t device = {};
};

// Holds a device lock from a thread of its own until destroyed.
class LockHolder
{
public:
    explicit LockHolder(orvo::mtp_device_t& device) : m_device(device)
    {
        m_thread = std::thread([this] {
            orvo::mtp_device_lock(m_device);
            std::unique_lock<std::mutex> lock(m_mutex);
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_done; });
            orvo::mtp_device_unlock(m_device);
        });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_held; });
    }

    ~LockHolder()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
            m_changed.notify_all();
        }
        m_thread.join();
    }

    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    orvo::mtp_device_t& m_device;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_done = false;
    std::thread m_thread;
};
} // namespace ptpsim
