// A Canon EOS responder camera with its connected engine device, shared by the
// Canon test files: a context, a recorder that saves photos into a folder of
// the test's own, and camera-thread passes until something has happened.
#pragma once

#include "orvo/camera/mtp_canon.h"
#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_update.h"
#include "support/ptpsim/ptpsim_canon.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_download_helpers.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace canon_test
{
inline std::mutex& announced_mutex()
{
    static std::mutex mutex;
    return mutex;
}

inline std::vector<std::string>& announced_names()
{
    static std::vector<std::string> names;
    return names;
}

inline void* record_object(const orvo::mtp_objectinfo_t& object, void*)
{
    std::lock_guard<std::mutex> lock(announced_mutex());
    announced_names().emplace_back(object.filename.str, object.filename.length);
    return nullptr;
}

inline std::vector<std::string> announced()
{
    std::lock_guard<std::mutex> lock(announced_mutex());
    return announced_names();
}

class Rig
{
public:
    explicit Rig(const std::string& model = "Canon EOS 5D Mark III") : camera(model)
    {
        {
            std::lock_guard<std::mutex> lock(announced_mutex());
            announced_names().clear();
        }
        EXPECT_TRUE(orvo::mtp_context_initialise(context));
        orvo::mtp_device_callbacks_t callbacks = recorder.callbacks(camera, dir.Path(), dir.Path() + "/Backup");
        callbacks.add_object = record_object;
        EXPECT_TRUE(orvo::mtp_device_initialise(device, &context, callbacks));
        camera.attach(device);
    }

    ~Rig()
    {
        camera.detach();
        if (device.registered)
            orvo::mtp_device_disconnect(device);
        std::vector<std::string> violations = camera.violations();
        EXPECT_TRUE(violations.empty()) << violations.front();
        orvo::mtp_context_release(context);
        orvo::mtp_device_release(device);
    }

    bool Connect()
    {
        bool ok = orvo::mtp_device_connect(device);
        Update();
        return ok;
    }

    // One update with the poll due at once (the camera's events are read).
    orvo::u32 Update()
    {
        orvo::countdown_clear(device.poll_countdown);
        return orvo::mtp_device_update(device);
    }

    orvo::mtp_canon_state_t& State() { return *orvo::mtp_canon_state(device); }

    bool PumpUntil(const std::function<bool()>& done)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done())
        {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            Update();
            orvo::mtp_context_update(context);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Decodes a GetEvent answer as the poll would.
    void Decode(const ptpsim::Bytes& bytes)
    {
        orvo::mtp_buffer_t buffer = {const_cast<orvo::u8*>(bytes.data()), bytes.size(), bytes.size(), false};
        orvo::mtp_device_lock(device);
        orvo::mtp_canon_decode_events(device, buffer);
        orvo::mtp_device_unlock(device);
    }

    orvo::u32 TakeFlags() { return device.change_flags.exchange(0); }

    ptpsim::TestClock clock;
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    ptpsim::DownloadRecorder recorder;
    orvo::mtp_context_t context = {};
    ptpsim::CanonCamera camera;
    orvo::mtp_device_t device = {};
};

inline std::vector<std::string> names_of(const orvo::mtp_cameraproperty_t& property)
{
    std::vector<std::string> names;
    for (orvo::u64 i = 0; i < property.value_names.strings.count; ++i)
        names.emplace_back(property.value_names.strings.data[i].str, property.value_names.strings.data[i].length);
    return names;
}

inline std::vector<orvo::u32> allowed_of(orvo::mtp_device_t& device, orvo::u32 code)
{
    std::vector<orvo::u32> values;
    const orvo::mtp_devicepropdesc_t* desc = orvo::hashtable_find(device.properties, code);
    if (!desc)
        return values;
    for (orvo::u64 i = 0; i < orvo::mtp_datavalue_num_elements(desc->dataset.values); ++i)
        values.push_back(orvo::mtp_datavalue_to_uint(desc->dataset.values, i));
    return values;
}
} // namespace canon_test
