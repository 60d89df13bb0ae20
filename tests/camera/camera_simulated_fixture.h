// The camera processor with the four simulated cameras on a real "CAMERA"
// message thread, driven by requests from the test's own queue. The test
// queue holds a client (every response and event it sees) and a camera data
// surface, whose mirror is what the tests read: the processor's own state
// belongs to the camera thread.
#pragma once

#include "camera_pass_thread.h"
#include "orvo/camera/camera_datasurface.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/camera_testdriver.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"
#include "camera_test_client.h"
#include "support/image/image_camera_samples.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace simulated_test
{
using namespace orvo;

using camera_test::Client;
using camera_test::Copy;
using camera_test::PumpCallback;
using camera_test::Seen;

inline std::string Text(const stringid_t& id)
{
    return id.str ? std::string(id.str, id.length) : std::string();
}

struct SimulatedCameras : ::testing::Test
{
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    MessageQueue queue;
    Client* client = nullptr;
    CameraDataSurface* surface = nullptr;
    camera_test::PassCountingThread* thread = nullptr;
    CameraProcessor* processor = nullptr;
    u16 destination = 0;
    testdriver_settings_t settings = testdriver_default_settings();
    std::string photos;

    void SetUp() override
    {
        CameraProcessor::SupportPTP = false;
        testdriver_reset_counters();
        ASSERT_TRUE(lumivane_test::WriteCameraSamples(dir.File("samples"), 3, 4));
        settings.sample_folder = dir.File("samples");
        // Waits shortened: the behaviour, not the duration, is under test.
        settings.autofocus_ticks = 1000;
        settings.bulb_ticks_per_second = 10000;
        photos = dir.File("photos");

        ASSERT_TRUE(Distributor::Initialise());
        ASSERT_TRUE(Distributor::Start());
        queue.SetName("TEST");
        ASSERT_TRUE(queue.Initialise());
        client = new Client("Test::SimulatedClient");
        ASSERT_TRUE(queue.Register(client));
        ASSERT_TRUE(client->Subscribe(CAMERA_EVENT_CHANNEL));
        ASSERT_TRUE(client->Subscribe(CAMERA_LIVEVIEW_CHANNEL));
        destination = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);

        thread = new camera_test::PassCountingThread();
        processor = new CameraProcessor();
        processor->AddDriver(new TestDriver(processor));
        processor->SetDownloadFolder(string_make(photos.c_str()));
    }

    // Starts the camera thread and the surface (which asks for a Synchronise).
    bool Start()
    {
        testdriver_set_settings(settings);
        thread->Add(processor);
        if (!thread->Start("CAMERA", PumpCallback, &queue))
            return false;
        surface = new CameraDataSurface("Test surface");
        if (!queue.Register(surface) || !surface->Initialise())
            return false;
        return PumpUntil([&] { return surface->IsSynchronised(); });
    }

    // Started, the four cameras detected and connected.
    bool StartConnected()
    {
        if (!Start())
            return false;
        if (!Simple(CameraRequest::DetectCameras).Bool(CAMERAFIELD_RESULT))
            return false;
        return Request(Builder(cameraid_t{CAMERAID_NONE, 0}, true).Connect()).Bool(CAMERAFIELD_RESULT);
    }

    void Stop()
    {
        if (!thread)
            return;
        thread->Stop(PumpCallback, &queue);
        delete thread;
        thread = nullptr;
        processor = nullptr;
        queue.Pump();
    }

    void TearDown() override
    {
        Stop();
        queue.Release();
        delete surface;
        delete client;
        Distributor::Stop();
        Distributor::Release();
        testdriver_set_settings(testdriver_default_settings());
        CameraProcessor::SupportPTP = true;
    }

    bool PumpUntil(const std::function<bool()>& done) { return camera_test::PumpUntil(queue, done); }

    CameraMessageBuilder Builder(const cameraid_t& camera, bool all = false, photoid_t photo = -1)
    {
        return CameraMessageBuilder(queue.GetEncoder(), photo, camera, string_make("Test"), all);
    }

    // The identity of the surface's camera at the index.
    cameraid_t Camera(u64 index) const
    {
        return index < surface->GetCameras().count ? surface->GetCameras().data[index].id
                                                   : cameraid_t{CAMERAID_NONE, 0};
    }
    const camera_t& CameraRecord(u64 index) const { return surface->GetCameras().data[index]; }
    const photo_t& Photo(u64 index) const { return surface->GetPhotos().data[index]; }
    u64 NumPhotos() const { return surface->GetPhotos().count; }

    // Sends and waits for the response to this request.
    Seen Request(Message message)
    {
        const u32 ref = client->Send(message, destination);
        size_t found = SIZE_MAX;
        EXPECT_TRUE(PumpUntil([&] { return (found = client->FindResponse(ref)) != SIZE_MAX; }));
        last_response_position = found == SIZE_MAX ? 0 : client->response_positions[found];
        return found == SIZE_MAX ? Seen{} : client->responses[found];
    }

    Seen Simple(i32 type)
    {
        MessageEncoder* encoder = queue.GetEncoder();
        encoder->Begin();
        encoder->AddField(CAMERAFIELD_REQUEST, type);
        return Request(encoder->End());
    }

    // A request of the type with the fields the callback adds.
    Seen With(i32 type, const std::function<void(MessageEncoder&)>& fields)
    {
        MessageEncoder* encoder = queue.GetEncoder();
        encoder->Begin();
        encoder->AddField(CAMERAFIELD_REQUEST, type);
        fields(*encoder);
        return Request(encoder->End());
    }

    size_t CountInformation(const std::string& text) const
    {
        size_t n = 0;
        for (const Seen& e : client->events)
            if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_INFORMATION && e.Text() == text)
                ++n;
        return n;
    }

    // Index of the first information event with the text, or SIZE_MAX.
    size_t FindInformation(const std::string& text) const
    {
        for (size_t i = 0; i < client->events.size(); ++i)
            if (client->events[i].Int(CAMERAFIELD_EVENT) == CAMERAEVENT_INFORMATION && client->events[i].Text() == text)
                return i;
        return SIZE_MAX;
    }

    // The camera thread has run that many passes after everything sent so
    // far, and a round trip since has brought in what they sent. A
    // LiveviewRecord without its field changes nothing.
    void Settle(int passes = 4)
    {
        EXPECT_TRUE(thread->WaitPasses(passes, [&](const std::function<bool()>& done) { return PumpUntil(done); }));
        Simple(CameraRequest::LiveviewRecord);
    }

    // Sets a property of one camera by value name.
    bool SetProperty(u64 camera, CameraProperty::Type type, const char* value)
    {
        return Request(Builder(Camera(camera)).SetProperty(type, string_make(value))).Bool(CAMERAFIELD_RESULT);
    }

    bool TakePhoto(u64 camera, float bulb = 0.0f)
    {
        return Request(Builder(Camera(camera)).TakePhoto(bulb)).Bool(CAMERAFIELD_RESULT);
    }

    // The value name of a property as the surface mirrors it.
    std::string ValueName(u64 camera, CameraProperty::Type type) const
    {
        const CameraSettings& settings = *surface->GetSettings().data[camera];
        const u64 value = settings.GetProperty(type).value;
        const camerarange_t& range = settings.GetRange(type);
        return value < range.names.count ? Text(range.names.data[value]) : std::string();
    }

    size_t last_response_position = 0;
};
} // namespace simulated_test
