// The camera processor on a real "CAMERA" message thread with scripted
// cameras, driven by requests from the test's own queue: one response per
// request (at once and on later passes, for one camera and for many), stale
// identities, detection keeping ids and renumbering indexes, property status
// forced and unforced, live-view recording names and limit, connection
// callbacks, refused request fields, and a release that ends a download in
// flight before anything it touches is freed.
#include "camera_pass_thread.h"
#include "camera_test_client.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"
#include "support/support_log_capture.h"
#include "support/support_scripted_camera.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace orvo;
using camera_test::Client;
using camera_test::PumpCallback;
using camera_test::Seen;
using lumivane_test::CameraScript;
using lumivane_test::ScriptedDriver;

namespace
{
i64 FixedWallclock(void*)
{
    return 1709622489ll * 1000000 + 123456; // 2024-03-05 07:08:09.123 UTC
}

struct CameraProcessorThread : ::testing::Test
{
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    MessageQueue queue;
    Client* client = nullptr;
    camera_test::PassCountingThread* thread = nullptr;
    CameraProcessor* processor = nullptr;
    ScriptedDriver* driver = nullptr;
    u16 destination = 0;
    clock_hooks_t clock{nullptr, FixedWallclock, nullptr};

    void SetUp() override
    {
        CameraProcessor::SupportPTP = false;
        time_set_clock(&clock);
        ASSERT_TRUE(Distributor::Initialise());
        ASSERT_TRUE(Distributor::Start());
        queue.SetName("TEST");
        ASSERT_TRUE(queue.Initialise());
        client = new Client("Test::CameraClient");
        ASSERT_TRUE(queue.Register(client));
        ASSERT_TRUE(client->Subscribe(CAMERA_EVENT_CHANNEL));
        ASSERT_TRUE(client->Subscribe(CAMERA_LIVEVIEW_CHANNEL));
        destination = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);

        thread = new camera_test::PassCountingThread();
        processor = new CameraProcessor();
        driver = new ScriptedDriver(processor);
        processor->AddDriver(driver);
        // Before the thread starts: the processor is the thread's from then on.
        processor->SetDownloadFolder(string_make(dir.File("photos").c_str()));
    }

    bool Start()
    {
        thread->Add(processor);
        return thread->Start("CAMERA", PumpCallback, &queue);
    }

    // Stops the thread; its processor is released on it and deleted here.
    void Stop()
    {
        if (!thread)
            return;
        thread->Stop(PumpCallback, &queue);
        delete thread;
        thread = nullptr;
        processor = nullptr;
        driver = nullptr;
        queue.Pump();
    }

    void TearDown() override
    {
        Stop();
        queue.Release();
        delete client;
        Distributor::Stop();
        Distributor::Release();
        time_set_clock(nullptr);
        CameraProcessor::SupportPTP = true;
    }

    bool PumpUntil(const std::function<bool()>& done) { return camera_test::PumpUntil(queue, done); }

    CameraMessageBuilder Builder(const cameraid_t& camera, bool all = false, photoid_t photo = -1)
    {
        return CameraMessageBuilder(queue.GetEncoder(), photo, camera, string_make("Test"), all);
    }

    // Sends and waits for the response to this request.
    Seen Request(Message message)
    {
        const u32 ref = client->Send(message, destination);
        size_t found = SIZE_MAX;
        EXPECT_TRUE(PumpUntil([&] { return (found = client->FindResponse(ref)) != SIZE_MAX; }));
        return found == SIZE_MAX ? Seen{} : client->responses[found];
    }

    Seen Simple(i32 type)
    {
        MessageEncoder* encoder = queue.GetEncoder();
        encoder->Begin();
        encoder->AddField(CAMERAFIELD_REQUEST, type);
        return Request(encoder->End());
    }

    void Attach(const std::string& serial, int passes = 0, bool succeed = true)
    {
        CameraScript script;
        script.serial = serial;
        script.name = "Cam " + serial;
        script.passes = passes;
        script.succeed = succeed;
        driver->Attach(script);
    }

    // The cameras of the last Status event.
    std::vector<camera_t> LastStatus()
    {
        for (auto it = client->events.rbegin(); it != client->events.rend(); ++it)
            if (it->Int(CAMERAFIELD_EVENT) == CAMERAEVENT_STATUS)
                return it->Cameras();
        return {};
    }

    size_t CountInformation(const std::string& text)
    {
        size_t n = 0;
        for (const Seen& e : client->events)
            if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_INFORMATION && e.Text() == text)
                ++n;
        return n;
    }

    // The camera thread has run passes after everything sent so far, and a
    // round trip since has brought in what they sent, so a late duplicate
    // response would have arrived. A LiveviewRecord without its field changes
    // nothing and broadcasts nothing.
    void Settle()
    {
        EXPECT_TRUE(thread->WaitPasses(4, [&](const std::function<bool()>& done) { return PumpUntil(done); }));
        Simple(CameraRequest::LiveviewRecord);
    }

    void ExpectEachAnsweredOnce()
    {
        for (const auto& entry : client->answered)
        {
            SCOPED_TRACE(entry.first);
            EXPECT_EQ(entry.second, 1);
        }
        EXPECT_EQ(client->answered.size(), static_cast<size_t>(client->GetContext(destination).lastRefNum));
        EXPECT_EQ(client->GetContext(destination).pending, 0);
    }
};
} // namespace

TEST_F(CameraProcessorThread, DetectionKeepsIdsAndRenumbersIndexes)
{
    Attach("A");
    Attach("B");
    Attach("C");
    ASSERT_TRUE(Start());
    EXPECT_TRUE(Simple(CameraRequest::DetectCameras).Bool(CAMERAFIELD_RESULT));
    std::vector<camera_t> cameras = LastStatus();
    ASSERT_EQ(cameras.size(), 3u);
    for (i32 i = 0; i < 3; ++i)
    {
        EXPECT_EQ(cameras[i].id.id, i);
        EXPECT_EQ(cameras[i].id.index, i);
    }
    EXPECT_EQ(CountInformation("3 cameras detected"), 1u);

    // A leaves, D arrives: B and C keep their ids and move up; D takes the
    // next id although 0 is free.
    driver->Detach("A");
    Attach("D");
    Simple(CameraRequest::DetectCameras);
    cameras = LastStatus();
    ASSERT_EQ(cameras.size(), 3u);
    const i32 ids[] = {1, 2, 3};
    const char* serials[] = {"B", "C", "D"};
    for (i32 i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(serials[i]);
        EXPECT_EQ(std::string(cameras[i].serial.str), serials[i]);
        EXPECT_EQ(cameras[i].id.id, ids[i]);
        EXPECT_EQ(cameras[i].id.index, i);
    }
    // The device object of a camera detected again is kept.
    EXPECT_EQ(driver->Calls("B")->deleted.load(), 1); // the duplicate made by the second pass
    EXPECT_EQ(driver->Calls("A")->deleted.load(), 1);

    driver->Detach("B");
    driver->Detach("C");
    driver->Detach("D");
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(LastStatus().empty());
    // An empty Status still carries both lists, with no records.
    for (auto it = client->events.rbegin(); it != client->events.rend(); ++it)
        if (it->Int(CAMERAFIELD_EVENT) == CAMERAEVENT_STATUS)
        {
            EXPECT_EQ(it->Count(CAMERAFIELD_CAMERAS, sizeof(camera_t)), 0u);
            EXPECT_EQ(it->Count(CAMERAFIELD_PHOTOS, sizeof(photo_t)), 0u);
            break;
        }
    EXPECT_EQ(CountInformation("No cameras detected"), 1u);
    Settle();
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, OneResponsePerRequestAtOnceAndOnLaterPasses)
{
    struct Case
    {
        const char* why;
        std::vector<int> passes; // one camera per entry
        bool all;
        bool succeed;
    };
    const Case cases[] = {
        {"one camera at once", {0}, false, true},
        {"one camera after three passes", {3}, false, true},
        {"three cameras at once", {0, 0, 0}, true, true},
        {"three cameras ending on different passes", {1, 2, 3}, true, true},
        {"three cameras, all failing later", {2, 1, 3}, true, false},
    };
    ASSERT_TRUE(Start());
    int round = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        std::vector<std::string> serials;
        for (size_t i = 0; i < c.passes.size(); ++i)
        {
            serials.push_back("R" + std::to_string(round) + "_" + std::to_string(i));
            Attach(serials.back(), c.passes[i], c.succeed);
        }
        ++round;
        Simple(CameraRequest::DetectCameras);
        const std::vector<camera_t> cameras = LastStatus();
        // Earlier rounds' cameras stay listed; this round's are at the end.
        ASSERT_GE(cameras.size(), c.passes.size());
        const camera_t& first = cameras[cameras.size() - c.passes.size()];

        const size_t before = client->responses.size();
        // For all cameras, earlier rounds' cameras answer at once.
        Seen response = Request(c.all ? Builder(cameraid_t{-1, 0}, true).Connect() : Builder(first.id).Connect());
        EXPECT_EQ(response.Int(CAMERAFIELD_REQUEST), CameraRequest::Connect);
        EXPECT_EQ(response.Bool(CAMERAFIELD_RESULT), c.succeed);
        cameraid_t named;
        EXPECT_EQ(response.Camera(named), !c.all);
        if (!c.all)
        {
            EXPECT_TRUE(cameraid_equal(named, first.id));
        }
        Settle();
        // The Connect and the settling request, nothing more.
        EXPECT_EQ(client->responses.size(), before + 2);
        for (const std::string& serial : serials)
            EXPECT_EQ(driver->Calls(serial)->connect.load(), 1);
        for (const std::string& serial : serials)
            driver->Detach(serial);
        Simple(CameraRequest::DetectCameras);
    }
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, StaleIdentityFailsAtOnceWithoutCallingACamera)
{
    Attach("A");
    Attach("B");
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(Request(Builder(cameraid_t{-1, 0}, true).Connect()).Bool(CAMERAFIELD_RESULT));
    driver->Detach("A");
    Simple(CameraRequest::DetectCameras); // B: id 1, index 0

    struct Case
    {
        const char* why;
        cameraid_t id;
    };
    const Case cases[] = {
        {"the old index of B", {1, 1}},
        {"the id of A that left", {0, 0}},
        {"an index past the end", {1, 5}},
        {"a negative id", {-1, 0}},
        {"a negative index", {1, -1}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Seen response = Request(Builder(c.id).TakePhoto(0.0f));
        EXPECT_FALSE(response.Bool(CAMERAFIELD_RESULT));
        EXPECT_FALSE(response.Has(CAMERAFIELD_CAMERA));
    }
    EXPECT_EQ(driver->Calls("B")->take_photo.load(), 0);

    // The same stale identity with the all-cameras flag goes on and shoots
    // with every connected camera.
    MessageEncoder* encoder = queue.GetEncoder();
    encoder->Begin();
    encoder->AddField(CAMERAFIELD_REQUEST, static_cast<int>(CameraRequest::TakePhoto));
    const cameraid_t stale{1, 1};
    encoder->AddField(CAMERAFIELD_CAMERA, &stale, 1, sizeof(cameraid_t));
    encoder->AddField(CAMERAFIELD_ALL_CAMERAS, true);
    EXPECT_TRUE(Request(encoder->End()).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(driver->Calls("B")->take_photo.load(), 1);
    Settle();
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, UnreadableAndUnknownRequests)
{
    ASSERT_TRUE(Start());
    struct Case
    {
        const char* why;
        std::function<void(MessageEncoder&)> fields;
        i32 type;
    };
    const Case cases[] = {
        {"no fields", [](MessageEncoder&) {}, CameraRequest::Unknown},
        {"no field 0", [](MessageEncoder& e) { e.AddField(CAMERAFIELD_ALL_CAMERAS, true); }, CameraRequest::Unknown},
        {"field 0 not an integer", [](MessageEncoder& e) { e.AddField(CAMERAFIELD_REQUEST, 2.0f); },
         CameraRequest::Unknown},
        {"type 40", [](MessageEncoder& e) { e.AddField(CAMERAFIELD_REQUEST, 40); }, 40},
        {"type -3", [](MessageEncoder& e) { e.AddField(CAMERAFIELD_REQUEST, -3); }, -3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        MessageEncoder* encoder = queue.GetEncoder();
        encoder->Begin();
        c.fields(*encoder);
        Seen response = Request(encoder->End());
        EXPECT_EQ(response.Int(CAMERAFIELD_REQUEST), c.type);
        EXPECT_FALSE(response.Bool(CAMERAFIELD_RESULT));
    }
    EXPECT_TRUE(log.Contains("- invalid"));
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, RefusedRequestFieldsFailWithoutCallingTheCamera)
{
    Attach("A");
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    const cameraid_t a{0, 0};
    EXPECT_TRUE(Request(Builder(a).Connect()).Bool(CAMERAFIELD_RESULT));

    auto request = [&](std::function<void(MessageEncoder&)> fields) {
        MessageEncoder* encoder = queue.GetEncoder();
        encoder->Begin();
        fields(*encoder);
        encoder->AddField(CAMERAFIELD_CAMERA, &a, 1, sizeof(cameraid_t));
        return Request(encoder->End());
    };
    struct Case
    {
        const char* why;
        std::function<void(MessageEncoder&)> fields;
        bool ok;
    };
    const std::string too_long(CAMERAREQUEST_MAX_TEXT + 1, 'f');
    const i32 one[] = {5};
    const i32 two[] = {5, 6};
    const i32 property_12[] = {12};
    const i32 property_0[] = {0};
    const Case cases[] = {
        {"position of two values", [&](MessageEncoder& e) {
             e.AddField(0, 15);
             e.AddField(17, two, 2, 4);
         },
         true},
        {"position of one value", [&](MessageEncoder& e) {
             e.AddField(0, 15);
             e.AddField(17, one, 1, 4);
         },
         false},
        {"shutter button 1", [&](MessageEncoder& e) {
             e.AddField(0, 28);
             e.AddField(49, 1);
         },
         true},
        {"shutter button -1", [&](MessageEncoder& e) {
             e.AddField(0, 28);
             e.AddField(49, -1);
         },
         false},
        {"property 12", [&](MessageEncoder& e) {
             e.AddField(0, 19);
             e.AddField(8, property_12, 1, 4);
             e.AddField(12, "F/4");
         },
         false},
        {"value past the text limit", [&](MessageEncoder& e) {
             e.AddField(0, 19);
             e.AddField(8, property_0, 1, 4);
             e.AddField(12, too_long.c_str());
         },
         false},
        {"value matched ignoring case", [&](MessageEncoder& e) {
             e.AddField(0, 19);
             e.AddField(8, property_0, 1, 4);
             e.AddField(12, "f/5.6");
         },
         true},
        {"value no camera has", [&](MessageEncoder& e) {
             e.AddField(0, 19);
             e.AddField(8, property_0, 1, 4);
             e.AddField(12, "f/99");
         },
         false},
        {"origin past the text limit", [&](MessageEncoder& e) {
             e.AddField(0, 4);
             e.AddField(45, too_long.c_str());
         },
         false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        const int position = driver->Calls("A")->position.load();
        const int shutter = driver->Calls("A")->shutter.load();
        const int property = driver->Calls("A")->property.load();
        const int shots = driver->Calls("A")->take_photo.load();
        EXPECT_EQ(request(c.fields).Bool(CAMERAFIELD_RESULT), c.ok);
        const int calls = driver->Calls("A")->position.load() - position + driver->Calls("A")->shutter.load() -
                          shutter + driver->Calls("A")->property.load() - property +
                          driver->Calls("A")->take_photo.load() - shots;
        EXPECT_EQ(calls, c.ok ? 1 : 0);
    }
    EXPECT_EQ(driver->Calls("A")->last_x.load(), 5);
    EXPECT_EQ(driver->Calls("A")->last_y.load(), 6);
    EXPECT_EQ(driver->Calls("A")->last_shutter.load(), 1);
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, PropertyStatusForcedAndUnforced)
{
    Attach("A");
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).Connect()).Bool(CAMERAFIELD_RESULT));
    Settle();

    auto property_events = [&](size_t from) {
        std::vector<Seen> found;
        for (size_t i = from; i < client->events.size(); ++i)
            if (client->events[i].Int(CAMERAFIELD_EVENT) == CAMERAEVENT_PROPERTY_STATUS)
                found.push_back(client->events[i]);
        return found;
    };

    // Forced: all 12 properties with their names.
    size_t from = client->events.size();
    Simple(CameraRequest::Synchronise);
    std::vector<Seen> forced = property_events(from);
    ASSERT_EQ(forced.size(), 12u);
    for (const Seen& e : forced)
        EXPECT_TRUE(e.Has(CAMERAFIELD_PROPERTY_NAMES));
    EXPECT_EQ(forced[CameraProperty::Aperture].Count(CAMERAFIELD_PROPERTY_NAMES, sizeof(string_t)), 2u);
    EXPECT_EQ(forced[CameraProperty::FocusMode].Count(CAMERAFIELD_PROPERTY_NAMES, sizeof(string_t)), 0u);

    // Unchanged: the camera's passes send nothing.
    from = client->events.size();
    Settle();
    EXPECT_TRUE(property_events(from).empty());

    // A value change goes out once, without names (the range did not change).
    from = client->events.size();
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).SetProperty(CameraProperty::Aperture, string_make("F/5.6")))
                    .Bool(CAMERAFIELD_RESULT));
    Settle();
    std::vector<Seen> unforced = property_events(from);
    ASSERT_EQ(unforced.size(), 1u);
    const void* data = nullptr;
    u32 count = 0;
    ASSERT_TRUE(camerarequest_get_data(unforced[0].View(), CAMERAFIELD_PROPERTY_TYPE, 4, data, count));
    i32 type = -1;
    std::memcpy(&type, data, 4);
    EXPECT_EQ(type, CameraProperty::Aperture);
    EXPECT_FALSE(unforced[0].Has(CAMERAFIELD_PROPERTY_NAMES));
    ASSERT_TRUE(camerarequest_get_data(unforced[0].View(), CAMERAFIELD_PROPERTY, sizeof(CameraProperty), data, count));
    CameraProperty property;
    std::memcpy(&property, data, sizeof(property));
    EXPECT_EQ(property.value, 1u);
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, ConnectionCallbacksAndRemoval)
{
    Attach("A", 0, false);
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);

    // A failed connection still counts, and sends a detection pass after it.
    EXPECT_FALSE(Request(Builder(cameraid_t{0, 0}).Connect()).Bool(CAMERAFIELD_RESULT));
    Settle();
    EXPECT_EQ(CountInformation("ERROR: Failed to connect to camera: Cam A"), 1u);
    EXPECT_GE(CountInformation("Detecting cameras..."), 2u);

    CameraScript script = driver->GetScript("A");
    script.succeed = true;
    driver->SetScript(script);
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Connected to camera: Cam A"), 1u);
    std::vector<camera_t> cameras = LastStatus();
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).Disconnect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Camera disconnected: Cam A"), 1u);

    // The camera status after the disconnect: two attempts and a disconnect.
    for (const Seen& e : client->events)
        if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_CAMERA_STATUS && !e.Cameras().empty())
            cameras = e.Cameras();
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_FALSE(cameras[0].connected);
    EXPECT_FALSE(cameras[0].busy);
    EXPECT_EQ(cameras[0].connection_changes, 3);

    // Unplugged: reported gone with valid and connected false, then missing
    // from the next Status.
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).Connect()).Bool(CAMERAFIELD_RESULT));
    driver->Detach("A");
    ASSERT_TRUE(PumpUntil([&] { return CountInformation("No cameras detected") == 1; }));
    EXPECT_TRUE(log.Contains("Camera has been removed: Cam A"));
    bool seen_gone = false;
    for (const Seen& e : client->events)
        if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_CAMERA_STATUS && e.Cameras().size() == 1 &&
            !e.Cameras()[0].valid && !e.Cameras()[0].connected)
            seen_gone = true;
    EXPECT_TRUE(seen_gone);
    EXPECT_TRUE(LastStatus().empty());
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, LiveviewFrameRatesKeepWhatIsNotGiven)
{
    Attach("A");
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    // Not connected: the rates are stored all the same.
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}, true).SetLiveviewFPS(-1, 15)).Bool(CAMERAFIELD_RESULT));
    std::vector<camera_t> cameras;
    for (const Seen& e : client->events)
        if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_CAMERA_STATUS)
            cameras = e.Cameras();
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].liveview_fps, 20);
    EXPECT_EQ(cameras[0].video_fps, 15);
    EXPECT_EQ(cameras[0].liveview_changes, 1);
    ExpectEachAnsweredOnce();
}

TEST_F(CameraProcessorThread, LiveviewRecordingNamesAndLimit)
{
    const std::string folder = dir.File("liveview");
    processor->SetLiveviewFolder(string_make(folder.c_str()));
    // Just under the limit of 1 GiB: the first frame of 1,000 bytes fits, the
    // next ones pass it.
    processor->GetOptions().liveview_limit = 1;
    processor->GetOptions().liveview_recorded = (1ull << 30) - 1500;
    CameraScript script;
    script.serial = "A";
    driver->Attach(script);
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(Request(Builder(cameraid_t{-1, 0}).EnableLiveviewRecord(true)).Bool(CAMERAFIELD_RESULT));

    script.frames_left = 3;
    script.frame_bytes = 1000;
    driver->SetScript(script);
    ASSERT_TRUE(PumpUntil([&] { return client->liveview.size() == 3; }));
    Settle();

    const std::string file = folder + "/Camera0_20240305_070809_123.jpg";
    EXPECT_TRUE(file_exists(string_make(file.c_str())));
    EXPECT_EQ(file_num_bytes(string_make(file.c_str())), 1000u);
    EXPECT_EQ(log.Count("Liveview frame saved to: " + file), 1u);
    EXPECT_EQ(CountInformation("Liveview recording data limit reached"), 2u);

    // Each frame: its metrics first, then the frame on its own channel.
    for (const Seen& frame : client->liveview)
    {
        EXPECT_EQ(frame.Int(CAMERAFIELD_EVENT), CAMERAEVENT_LIVEVIEW);
        EXPECT_EQ(frame.Count(CAMERAFIELD_LIVEVIEW_FRAME, 1), 1000u);
    }
    size_t metrics = 0;
    for (const Seen& e : client->events)
        if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_CAMERA_METRICS)
            metrics = e.Cameras().at(0).liveview_frames;
    EXPECT_EQ(metrics, 3u);
}

TEST_F(CameraProcessorThread, NoDownloadFolderKeepsThePhotoOnTheCamera)
{
    processor->SetDownloadFolder(empty_str);
    Attach("A");
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    Seen response = Request(Builder(cameraid_t{0, 0}, false, 0).Download());
    EXPECT_FALSE(response.Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(response.Count(CAMERAFIELD_PHOTO, 4), 1u);
    EXPECT_EQ(driver->Calls("A")->download.load(), 0);
    EXPECT_TRUE(log.Contains("No download folder set: photo LVP_1.JPG not saved, kept on the camera"));
    ExpectEachAnsweredOnce();
}

// Stopping the thread while a download is in flight: the camera ends its
// download first (reporting it on the photo and answering the request), and
// only then are photos and cameras freed. AddressSanitizer watches the order.
TEST_F(CameraProcessorThread, ReleaseEndsADownloadInFlightBeforeFreeing)
{
    CameraScript script;
    script.serial = "A";
    script.download_passes = 1000000; // never ends on its own
    driver->Attach(script);
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Request(Builder(cameraid_t{0, 0}).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));

    Message message = Builder(cameraid_t{0, 0}, false, 0).Download();
    ASSERT_TRUE(client->SendRequest(message, destination));
    const u32 ref = static_cast<u32>(client->GetContext(destination).lastRefNum);
    ASSERT_TRUE(PumpUntil([&] { return driver->Calls("A")->download.load() == 1; }));
    EXPECT_EQ(client->answered.count(ref), 0u);

    Stop();
    // Answered once, with failure, by the release.
    ASSERT_EQ(client->answered.count(ref), 1u);
    EXPECT_EQ(client->answered[ref], 1);
    for (const Seen& r : client->responses)
        if (r.header.refNum == ref)
        {
            EXPECT_EQ(r.Int(CAMERAFIELD_REQUEST), CameraRequest::Download);
            EXPECT_FALSE(r.Bool(CAMERAFIELD_RESULT));
        }
    EXPECT_EQ(CountInformation("ERROR: Failed to download: LVP_1.JPG"), 1u);
}

TEST(CameraProcessorStart, FailedDriverInitialisationStopsTheThread)
{
    lumivane_test::LogCapture log;
    CameraProcessor::SupportPTP = false;
    ASSERT_TRUE(Distributor::Initialise());
    ASSERT_TRUE(Distributor::Start());
    {
        MessageThread thread;
        CameraProcessor* processor = new CameraProcessor();
        processor->AddDriver(new ScriptedDriver(processor, true, "First"));
        processor->AddDriver(new ScriptedDriver(processor, false, "Second"));
        thread.Add(processor);
        EXPECT_FALSE(thread.Start("CAMERA", nullptr, nullptr));
        thread.Stop(nullptr, nullptr);
    }
    EXPECT_TRUE(log.Contains("Failed to initialise driver: First"));
    EXPECT_FALSE(log.Contains("Initialised driver: Second"));
    EXPECT_TRUE(log.Contains("Failed to initialise CameraProcessor"));
    Distributor::Stop();
    Distributor::Release();
    CameraProcessor::SupportPTP = true;
}

// A camera that moves up the list keeps its photos: their owner follows it,
// so a later download still finds the camera.
TEST_F(CameraProcessorThread, PhotosFollowTheirCameraToItsNewIndex)
{
    Attach("A");
    CameraScript script;
    script.serial = "B";
    script.download_passes = 0;
    driver->Attach(script);
    ASSERT_TRUE(Start());
    Simple(CameraRequest::DetectCameras);
    EXPECT_TRUE(Request(Builder(cameraid_t{1, 1}).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Request(Builder(cameraid_t{1, 1}).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    driver->Detach("A");
    Simple(CameraRequest::DetectCameras);

    Seen response = Request(Builder(cameraid_t{-1, 0}, false, 0).Download());
    EXPECT_TRUE(response.Bool(CAMERAFIELD_RESULT));
    cameraid_t owner;
    ASSERT_TRUE(response.Camera(owner));
    EXPECT_EQ(owner.id, 1);
    EXPECT_EQ(owner.index, 0);
    EXPECT_EQ(CountInformation("Photo downloaded: LVP_1.JPG"), 1u);
    ExpectEachAnsweredOnce();
}
