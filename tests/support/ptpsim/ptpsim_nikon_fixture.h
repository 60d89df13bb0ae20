// A GoogleTest fixture of one engine device on a responder camera dressed as
// a Nikon body: the test clock, the captured log, a temporary download folder
// with the download recorder, a context and the device. Use() picks the model
// and connects; TearDown disconnects, checks the responder's protocol rules
// and releases everything. Helpers run vendor functions under the device lock.
#pragma once

#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_download_helpers.h"
#include "support/ptpsim/ptpsim_nikon.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_device.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_nikon.h"
#include "orvo/camera/mtp_update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ptpsim
{
class NikonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> lock(AddedMutex());
            AddedList().clear();
        }
        ASSERT_TRUE(orvo::mtp_context_initialise(context));
    }

    void TearDown() override
    {
        if (initialised)
        {
            if (device.registered)
                orvo::mtp_device_disconnect(device);
            camera.detach();
            std::vector<std::string> violations = camera.violations();
            EXPECT_TRUE(violations.empty()) << violations.front();
            orvo::mtp_device_release(device);
        }
        orvo::mtp_context_release(context);
    }

    // Dresses the camera as the model (edited first when asked) and connects.
    bool Use(const std::string& name, const std::function<void(NikonModel&)>& edit = {})
    {
        NikonModel model = nikon_model(name);
        if (edit)
            edit(model);
        nikon = std::make_unique<NikonCamera>(camera, model);
        orvo::mtp_device_callbacks_t callbacks = recorder.callbacks(camera, dir.Path(), dir.Path() + "/Backup");
        callbacks.add_object = RecordObject;
        if (!orvo::mtp_device_initialise(device, &context, callbacks))
            return false;
        initialised = true;
        camera.attach(device);
        return orvo::mtp_device_connect(device);
    }

    // One pass of the camera thread a second after the last (the poll's and
    // the frame's countdowns have run out; the idle live-view check needs 5 s).
    orvo::u32 Step(orvo::u64 milliseconds = 1000)
    {
        clock.advance_ms(milliseconds);
        orvo::u32 flags = orvo::mtp_device_update(device);
        orvo::mtp_context_update(context);
        return flags;
    }

    template <typename F>
    auto Locked(F f) -> decltype(f())
    {
        orvo::mtp_device_lock(device);
        struct Unlock
        {
            orvo::mtp_device_t& device;
            ~Unlock() { orvo::mtp_device_unlock(device); }
        } unlock{device};
        return f();
    }

    orvo::mtp_nikon_state_t& State() { return *static_cast<orvo::mtp_nikon_state_t*>(device.vendor_state); }

    orvo::mtp_cameraproperty_t& Property(orvo::mtp_camerapropertytype_t type)
    {
        return device.cameraproperties[type];
    }

    std::string Name(orvo::mtp_camerapropertytype_t type)
    {
        const orvo::string_t& name = device.cameraproperties[type].current_name;
        return std::string(name.str ? name.str : "", name.length);
    }

    // The index of a value name of a camera property, -1 when absent.
    int IndexOf(orvo::mtp_camerapropertytype_t type, const std::string& name)
    {
        const orvo::stringarray_t& names = device.cameraproperties[type].value_names;
        for (orvo::u64 i = 0; i < names.strings.count; ++i)
            if (std::string(names.strings.data[i].str, names.strings.data[i].length) == name)
                return static_cast<int>(i);
        return -1;
    }

    // Takes the change flags set so far.
    orvo::u32 TakeFlags() { return device.change_flags.exchange(0); }

    // Runs camera-thread passes until the downloads are finished; the limit
    // only guards against a hang.
    bool PumpUntilFinished(size_t n)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (recorder.num_finished() < n || orvo::mtp_context_num_downloads(context, device) > 0)
        {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            orvo::mtp_context_update(context);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Handles of the objects announced to the camera layer, in order.
    static std::vector<orvo::u32> Added()
    {
        std::lock_guard<std::mutex> lock(AddedMutex());
        return AddedList();
    }

    TestClock clock;
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    DownloadRecorder recorder;
    orvo::mtp_context_t context = {};
    Camera camera;
    std::unique_ptr<NikonCamera> nikon;
    orvo::mtp_device_t device = {};
    bool initialised = false;

private:
    static std::mutex& AddedMutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<orvo::u32>& AddedList()
    {
        static std::vector<orvo::u32> list;
        return list;
    }
    static void* RecordObject(const orvo::mtp_objectinfo_t& object, void*)
    {
        std::lock_guard<std::mutex> lock(AddedMutex());
        AddedList().push_back(object.handle);
        return nullptr;
    }
};
} // namespace ptpsim
