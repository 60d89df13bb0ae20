// The camera road between the camera processor and its consumers, pass by
// pass, with the processor and two message queues on the test thread: "TEST"
// holds the processor and the requester, "VIEW" a consumer of camera events
// and live-view frames that the test pumps only when it chooses, so that it
// can play a consumer that has fallen behind.
// - A camera is not updated while a download of it is unacknowledged; the
//   event it raised meanwhile is read on the very pass that acknowledges the
//   download, not one pass later.
// - A download thread hands a photo back to the camera thread between its
//   passes: acknowledged, saved and announced as downloaded while the
//   processor's queue is only pumped, as a message thread does when woken.
// - A camera stuck in a transfer holds up only itself: its download thread
//   keeps its device lock, while the camera thread's passes, its answers and
//   the other cameras' photos go on.
// - The camera thread never waits for a camera's lock while a download
//   thread holds it for the camera's next photo: the step waits instead.
// - A consumer that stops taking its messages is left at most a few live-view
//   frames per camera, and as many of the metrics sent with them (each
//   supersedes the camera's earlier ones), while every photo event and every
//   answer still reaches it; once it pumps again the frames flow again.
#include "camera_test_client.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/mtp_download.h"
#include "orvo/camera/src/mic/camera_mic_driver.h"
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "orvo/core/core_channel.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_thread.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_nikon.h"
#include "support/ptpsim/ptpsim_usb.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
// Counts what reaches the "VIEW" queue: frames per camera id, photo events,
// and every camera event in order of arrival.
class Consumer : public MessageProcessor
{
public:
    Consumer() : MessageProcessor("Test::RoadConsumer", false) {}
    void ReceiveEvent(const Message& message) override
    {
        i32 type = -1;
        if (!camerarequest_get_int(message, CAMERAFIELD_EVENT, type))
            return;
        cameraid_t camera = {CAMERAID_NONE, 0};
        camerarequest_get_camera(message, camera);
        if (type == CAMERAEVENT_LIVEVIEW)
            ++frames[camera.id];
        else if (type == CAMERAEVENT_CAMERA_METRICS)
            ++metrics[camera.id];
        else if (type == CAMERAEVENT_PHOTO_TAKEN)
            ++photos;
        else
            ++others;
    }
    static u64 Total(const std::map<i32, u64>& per_camera)
    {
        u64 total = 0;
        for (const auto& entry : per_camera)
            total += entry.second;
        return total;
    }
    std::map<i32, u64> frames;
    std::map<i32, u64> metrics; // sent with every frame
    u64 photos = 0;
    u64 others = 0;
};

// Should the camera thread wait for a camera held in a transfer, lets the
// transfer go after a while, so that the test fails instead of hanging.
class TransferWatchdog
{
public:
    TransferWatchdog(ptpsim::Camera& camera, u16 operation)
        : m_thread([this, &camera, operation] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_done; }))
              {
                  m_fired = true;
                  camera.release(operation);
              }
          })
    {
    }
    ~TransferWatchdog() { Fired(); }
    // Ends the watch: whether it had to let the transfer go.
    bool Fired()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_fired;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    bool m_fired = false;
    std::thread m_thread;
};

class CameraRoadFlow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mic_loopback_initialise(backend));
        CameraProcessor::SupportPTP = false;
        ASSERT_TRUE(Distributor::Initialise());
        ASSERT_TRUE(Distributor::Start());
        queue.SetName("TEST");
        ASSERT_TRUE(queue.Initialise());
        view.SetName("VIEW");
        ASSERT_TRUE(view.Initialise());
        requester = new camera_test::Client("Test::RoadRequester");
        ASSERT_TRUE(queue.Register(requester));
        consumer = new Consumer();
        ASSERT_TRUE(view.Register(consumer));
        ASSERT_TRUE(consumer->Subscribe(CAMERA_EVENT_CHANNEL));
        ASSERT_TRUE(consumer->Subscribe(CAMERA_LIVEVIEW_CHANNEL));
        destination = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);

        processor = new CameraProcessor();
        processor->AddDriver(new MICDriver(processor, &backend));
        ASSERT_TRUE(processor->SetDownloadFolder(string_make(dir.File("photos").c_str())));
        ASSERT_TRUE(queue.Register(processor));
        ASSERT_TRUE(processor->ProcessorInitialise());
        mtp_context_set_default(processor->GetMTPContext(), MTP_CAMERAPROPERTY_STORAGEMODE, string_make("Disk"));
    }

    void TearDown() override
    {
        processor->ProcessorRelease();
        queue.Unregister(processor);
        delete processor;
        queue.Pump();
        view.Pump();
        usb.clear();
        nikons.clear();
        cameras.clear();
        mic_backend_release(backend);
        queue.Release();
        view.Release();
        delete requester;
        delete consumer;
        Distributor::Stop();
        Distributor::Release();
        CameraProcessor::SupportPTP = true;
    }

    ptpsim::Camera& AddCamera(bool nikon)
    {
        const int index = static_cast<int>(cameras.size());
        cameras.push_back(std::make_unique<ptpsim::Camera>());
        if (nikon)
        {
            nikons.push_back(std::make_unique<ptpsim::NikonCamera>(*cameras.back(), ptpsim::nikon_model("D810")));
            nikons.back()->set_frame_jpeg_size(48 * 1000);
        }
        ptpsim::UsbOptions options;
        options.product = "Road " + std::to_string(index);
        options.serial = std::to_string(7000 + index);
        const std::string serial = options.serial;
        cameras.back()->edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = serial; });
        usb.push_back(std::make_unique<ptpsim::UsbCamera>(*cameras.back(), backend, options));
        return *cameras.back();
    }

    // One pass of the camera thread alone. The processor's queue is not
    // pumped, so a download thread's wake waits: a test that counts passes
    // knows that nothing but its passes stepped the downloads.
    void Step()
    {
        for (auto& camera : usb)
            camera->drain_events();
        clock.advance_ms(100);
        processor->ProcessorUpdate();
    }

    // A pass with the requester's queue pumped after it, as the camera
    // thread does; "VIEW" only when asked.
    void Pass(bool pump_view)
    {
        Step();
        queue.Pump();
        if (pump_view)
            view.Pump();
    }

    bool PassUntil(const std::function<bool()>& done, bool pump_view = true)
    {
        return camera_test::RepeatUntil(
            done,
            [&] {
                Pass(pump_view);
                // The download threads work in real time.
                thread_sleep(1, TIMEUNIT_MILLISECONDS);
            },
            3000);
    }

    bool Request(const std::function<Message(CameraMessageBuilder&)>& make, bool pump_view = true)
    {
        CameraMessageBuilder builder(queue.GetEncoder(), -1, cameraid_t{CAMERAID_NONE, 0}, string_make("Road"), true);
        Message message = make(builder);
        const u32 ref = requester->Send(message, destination);
        EXPECT_TRUE(PassUntil([&] { return requester->FindResponse(ref) != SIZE_MAX; }, pump_view));
        const size_t at = requester->FindResponse(ref);
        return at != SIZE_MAX && requester->responses[at].Bool(CAMERAFIELD_RESULT);
    }

    void ConnectAll()
    {
        processor->DetectCameras();
        ASSERT_EQ(processor->GetDevices().count, cameras.size());
        ASSERT_TRUE(Request([](CameraMessageBuilder& b) { return b.Connect(); }));
    }

    // The states of the download tasks, read under the engine's lock.
    std::vector<int> TaskStates()
    {
        mtp_context_t& context = processor->GetMTPContext();
        std::vector<int> states;
        mutex_lock(*context.lock);
        for (u64 c = 0; c < context.controllers.count; ++c)
        {
            const mtp_usbcontroller_t& controller = *context.controllers.data[c];
            for (u64 i = 0; i < controller.tasks.count; ++i)
                states.push_back(controller.tasks.data[i]->state);
        }
        mutex_unlock(*context.lock);
        return states;
    }

    ptpsim::TestClock clock;
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    mic_backend_t backend = {};
    MessageQueue queue;
    MessageQueue view;
    camera_test::Client* requester = nullptr;
    Consumer* consumer = nullptr;
    CameraProcessor* processor = nullptr;
    u16 destination = 0;
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<ptpsim::NikonCamera>> nikons;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
};
} // namespace

TEST_F(CameraRoadFlow, AnEventRaisedDuringADownloadIsReadOnThePassThatAcknowledgesIt)
{
    ptpsim::Camera& camera = AddCamera(false);
    ConnectAll();

    ptpsim::ObjectInfo first;
    first.filename = "DSC00001.JPG";
    camera.send_event(ptpsim::kEvObjectAdded, {camera.add_object(first, 30000)});
    Step();
    ASSERT_EQ(processor->GetPhotos().count, 1u);
    // The pass that announced the photo queued its download; the download
    // thread takes it without the camera thread and ends with it downloaded,
    // awaiting its acknowledgement (its wake waits, unpumped).
    const std::vector<int> downloaded = {MTP_DOWNLOAD_DOWNLOADED};
    for (int i = 0; i < 5000 && TaskStates() != downloaded; ++i)
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    ASSERT_EQ(TaskStates(), downloaded);

    // The next photo's event, raised while that download is unacknowledged.
    ptpsim::ObjectInfo second;
    second.filename = "DSC00002.JPG";
    camera.send_event(ptpsim::kEvObjectAdded, {camera.add_object(second, 30000)});
    Step();
    view.Pump();
    EXPECT_EQ(processor->GetPhotos().count, 2u) << "the event waited for another pass";
    EXPECT_EQ(consumer->photos, 2u);

    // Both photos come in, each once.
    ASSERT_TRUE(PassUntil([&] {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        return photos.count == 2 && photos.data[0]->downloaded && photos.data[1]->downloaded && TaskStates().empty();
    }));
    EXPECT_EQ(camera.calls(ptpsim::kOpGetObject), 2);
}

TEST_F(CameraRoadFlow, APhotoIsAcknowledgedSavedAndAnnouncedBetweenPasses)
{
    ptpsim::Camera& camera = AddCamera(false);
    ConnectAll();
    ptpsim::ObjectInfo info;
    info.filename = "DSC00001.JPG";
    const u32 handle = camera.add_object(info, 30000);
    camera.send_event(ptpsim::kEvObjectAdded, {handle});
    // The pass that reads the event announces the photo and queues it.
    ASSERT_TRUE(PassUntil([&] { return processor->GetPhotos().count == 1; }));
    const u64 others_before = consumer->others;

    // No pass from here on: the queues are only pumped, each after a sleep
    // that the download thread's wake ends.
    auto downloaded = [&] {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        return photos.count == 1 && photos.data[0]->downloaded && TaskStates().size() <= 1;
    };
    for (int i = 0; i < 2000 && !downloaded(); ++i)
    {
        queue.Wait(10000);
        queue.Pump();
        view.Pump();
    }
    ASSERT_TRUE(downloaded()) << "the photo waited for a pass";
    view.Pump();
    EXPECT_GT(consumer->others, others_before) << "no downloaded event reached the consumer";
    EXPECT_EQ(camera.calls(ptpsim::kOpGetObject), 1);
    // Saved in the download folder with the camera's size, and gone from the card.
    const CameraPhoto* photo = processor->GetPhotos().data[0];
    const std::string path = photo->path.str;
    EXPECT_EQ(path.substr(0, path.rfind('/')), dir.File("photos"));
    pathinfo_t info_on_disk;
    path_getinfo(string_make(path.c_str()), info_on_disk);
    EXPECT_TRUE(info_on_disk.exists);
    EXPECT_EQ(info_on_disk.size, 30000u);
    EXPECT_EQ(camera.num_objects(), 0u);
}

TEST_F(CameraRoadFlow, ACameraStuckInATransferHoldsUpOnlyItself)
{
    ptpsim::Camera& stuck = AddCamera(false);
    ptpsim::Camera& other = AddCamera(false);
    ConnectAll();
    stuck.hold(ptpsim::kOpGetObject);
    TransferWatchdog watchdog(stuck, ptpsim::kOpGetObject);
    ptpsim::ObjectInfo first;
    first.filename = "STUCK001.JPG";
    stuck.send_event(ptpsim::kEvObjectAdded, {stuck.add_object(first, 30000)});
    // Its download thread is inside the transfer, holding its device lock.
    ASSERT_TRUE(PassUntil([&] { return stuck.held(ptpsim::kOpGetObject); }));

    auto downloaded = [&](const char* name) {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        for (u32 i = 0; i < photos.count; ++i)
            if (std::string(photos.data[i]->name.str) == name)
                return photos.data[i]->downloaded;
        return false;
    };
    // The other camera's photos come in one after another meanwhile, and a
    // request for every camera is answered.
    for (int k = 1; k <= 3; ++k)
    {
        ptpsim::ObjectInfo shot;
        shot.filename = "OTHER00" + std::to_string(k) + ".JPG";
        other.send_event(ptpsim::kEvObjectAdded, {other.add_object(shot, 30000)});
        ASSERT_TRUE(PassUntil([&] { return downloaded(shot.filename.c_str()); })) << shot.filename;
    }
    EXPECT_TRUE(Request([](CameraMessageBuilder& b) { return b.SetSequenceNum(7); }));
    EXPECT_TRUE(stuck.held(ptpsim::kOpGetObject));
    EXPECT_FALSE(downloaded("STUCK001.JPG"));
    EXPECT_FALSE(watchdog.Fired()) << "the camera thread waited for the stuck camera";

    // Once the camera answers, its photo comes in too, once.
    stuck.release(ptpsim::kOpGetObject);
    ASSERT_TRUE(PassUntil([&] { return downloaded("STUCK001.JPG") && TaskStates().empty(); }));
    EXPECT_EQ(processor->GetPhotos().count, 4u);
    EXPECT_EQ(stuck.calls(ptpsim::kOpGetObject), 1);
    EXPECT_EQ(other.calls(ptpsim::kOpGetObject), 3);
    EXPECT_TRUE(stuck.violations().empty());
    EXPECT_TRUE(other.violations().empty());
}

TEST_F(CameraRoadFlow, TheCameraThreadNeverWaitsForACamerasNextTransfer)
{
    ptpsim::Camera& camera = AddCamera(false);
    AddCamera(false); // a second download thread needs a second camera
    ConnectAll();
    auto wait_for_states = [&](const std::vector<int>& states) {
        for (int i = 0; i < 5000 && TaskStates() != states; ++i)
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
        return TaskStates() == states;
    };

    // Two photos in one pass: one download thread starts and brings the
    // first in; the second waits for another thread.
    for (const char* name : {"DSC00001.JPG", "DSC00002.JPG"})
    {
        ptpsim::ObjectInfo info;
        info.filename = name;
        camera.send_event(ptpsim::kEvObjectAdded, {camera.add_object(info, 30000)});
    }
    Step();
    ASSERT_EQ(processor->GetPhotos().count, 2u);
    ASSERT_TRUE(wait_for_states({MTP_DOWNLOAD_DOWNLOADED, MTP_DOWNLOAD_QUEUED}));

    // The next pass acknowledges the first and starts a second thread, which
    // takes the second photo and stays inside its transfer, holding the
    // camera's lock, while the first is saved.
    camera.hold(ptpsim::kOpGetObject);
    TransferWatchdog watchdog(camera, ptpsim::kOpGetObject);
    Step();
    ASSERT_TRUE(wait_for_states({MTP_DOWNLOAD_SAVED, MTP_DOWNLOAD_DOWNLOADING}));
    ASSERT_TRUE(camera.held(ptpsim::kOpGetObject));

    // Finishing the first needs the camera's lock: the pass (and the wake
    // the saved photo asked for) leaves it for later instead of waiting out
    // the transfer.
    Pass(true);
    EXPECT_FALSE(watchdog.Fired()) << "the camera thread waited for the transfer";
    EXPECT_EQ(TaskStates(), std::vector<int>({MTP_DOWNLOAD_SAVED, MTP_DOWNLOAD_DOWNLOADING}));

    // Once the transfer ends, both come in, each once, and leave the card.
    camera.release(ptpsim::kOpGetObject);
    ASSERT_TRUE(PassUntil([&] {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        return photos.count == 2 && photos.data[0]->downloaded && photos.data[1]->downloaded &&
               TaskStates().empty();
    }));
    EXPECT_EQ(camera.calls(ptpsim::kOpGetObject), 2);
    EXPECT_EQ(camera.num_objects(), 0u);
    EXPECT_TRUE(camera.violations().empty());
}

TEST_F(CameraRoadFlow, AConsumerThatStopsPumpingKeepsAFewFramesPerCameraAndEveryPhotoEvent)
{
    const int bodies = 2;
    for (int i = 0; i < bodies; ++i)
        AddCamera(true);
    ConnectAll();
    ASSERT_TRUE(Request([](CameraMessageBuilder& b) { return b.SetLiveviewFPS(20, 0); }));
    ASSERT_TRUE(Request([](CameraMessageBuilder& b) { return b.EnableLiveview(true); }));
    ASSERT_TRUE(PassUntil([&] { return consumer->frames.size() == static_cast<size_t>(bodies); }));

    const i32 camera_pipe = queue.GetId();
    const u64 superseded_before = Distributor::GetSupersededCount(camera_pipe);
    consumer->frames.clear();
    consumer->metrics.clear();
    const u64 photos_before = consumer->photos;
    auto broadcast = [&] {
        u64 total = 0;
        const vector_t<CameraDevice*>& devices = processor->GetDevices();
        for (u32 i = 0; i < devices.count; ++i)
            total += static_cast<u64>(devices.data[i]->liveview_frames);
        return total;
    };
    const u64 broadcast_before = broadcast();

    // "VIEW" stops pumping. Twenty passes of frames, and a shot on every body
    // in the middle of them; the requester still hears every answer.
    for (int pass = 0; pass < 10; ++pass)
        Pass(false);
    for (int i = 0; i < bodies; ++i)
    {
        ptpsim::ObjectInfo shot;
        shot.filename = "DSC0000" + std::to_string(i) + ".JPG";
        nikons[i]->set_shots({shot}, 40000);
    }
    ASSERT_TRUE(Request([](CameraMessageBuilder& b) { return b.TakePhoto(0.0f); }, false));
    ASSERT_TRUE(PassUntil([&] { return processor->GetPhotos().count == static_cast<u32>(bodies); }, false));
    for (int pass = 0; pass < 10; ++pass)
        Pass(false);
    const u64 sent = broadcast() - broadcast_before;
    ASSERT_GT(sent, 5u * bodies); // well past what may wait for it

    // What waited for it: at most two frames and two metrics records of each
    // body (each frame comes with one), and every photo event.
    view.Pump();
    for (const auto* counts : {&consumer->frames, &consumer->metrics})
    {
        EXPECT_EQ(counts->size(), static_cast<size_t>(bodies));
        for (const auto& entry : *counts)
        {
            SCOPED_TRACE(entry.first);
            EXPECT_GE(entry.second, 1u);
            EXPECT_LE(entry.second, static_cast<u64>(CHANNEL_STREAM_IN_FLIGHT));
        }
    }
    EXPECT_EQ(consumer->photos - photos_before, static_cast<u64>(bodies));
    EXPECT_EQ(Distributor::GetSupersededCount(camera_pipe) - superseded_before,
              (sent - Consumer::Total(consumer->frames)) + (sent - Consumer::Total(consumer->metrics)));
    EXPECT_EQ(Distributor::GetSendStallMicroseconds(camera_pipe), 0u);

    // Taking its messages again, it gets every body's frames again, more than
    // could ever wait for it.
    const std::map<i32, u64> frames_after = consumer->frames;
    EXPECT_TRUE(PassUntil([&] {
        for (const auto& entry : frames_after)
            if (consumer->frames[entry.first] < entry.second + 2 * CHANNEL_STREAM_IN_FLIGHT)
                return false;
        return true;
    }));

    // The photos are saved as ever.
    ASSERT_TRUE(PassUntil([&] {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        for (u32 i = 0; i < photos.count; ++i)
            if (!photos.data[i]->downloaded)
                return false;
        return TaskStates().empty();
    }));
}
