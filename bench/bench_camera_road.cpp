// Many cameras through the whole camera road: the camera processor with its
// USB driver over the loopback backend and responder cameras on the wire.
//
// - Shot fan-out: from one TakePhoto request for all cameras to the last
//   camera's capture command reaching its responder, for 1, 4, 16 and 64
//   cameras, beside the same number of bare InitiateCapture transactions on
//   as many loopback cameras, timed to the same point (goal: within 1.2x;
//   counter fanout_ratio on the fan-out rows). Both find their cameras idle,
//   with their events going to the host. A second pair of rows sends the
//   request from another thread to the processor on its "CAMERA" thread,
//   asleep between its passes, beside bare transactions sent a pass apart.
// - Download throughput: 16 cameras in "Disk" storage shoot at once and the
//   four download threads bring every photo in, saved and hashed, beside four
//   writers writing, syncing and hashing the same bytes in the same folder
//   (goal: at least 70%; counter of_reference_pct): once with the passes run
//   back to back on this thread, once on a "CAMERA" thread in 34 ms passes,
//   where the download threads hand each photo back between passes.
// - Event latency: from a camera's ObjectAdded event to the photo's event on
//   a data surface on a thread of its own, the camera processor running on
//   its "CAMERA" thread in passes of 34 ms (counter of_period_pct: the mean
//   latency as a share of the pass period). Each photo follows the last one
//   a pseudo-random part of a period after its event has come, so events
//   fall anywhere in a pass (mean about half a period plus the work, worst
//   about a period). The first row downloads every photo ("Disk") and also
//   times the photo's downloaded event, once it is saved (saved_mean_ms):
//   a camera is not updated while its last photo's download is
//   unacknowledged, so a series also waits on the downloads. The second keeps
//   them on the card ("Card"): the road itself, without downloads.
// - Live view: 16 Nikon bodies asked for 20 frames per second of 500 KB
//   (64 KB in quick mode) delivered to a consumer on another thread: frames
//   per second achieved per camera, beside the 20 asked and the frames the
//   cameras were asked for (read_fps_per_camera); the camera thread's
//   occupancy (its passes' time over the wall time), the time it waited on a
//   full channel (stalled_ms, stalled_pct) and the frames, with the metrics
//   event of each, that a consumer that was behind did not get (superseded);
//   the consumer takes the camera events as well as the frames. A second row does the same with a
//   consumer that takes its frames only every half second: the camera thread
//   must not wait for it, and its channel holds a few frames per camera at
//   most; a third with a consumer that stops taking its messages altogether
//   (rss_growth_MB: how much the process grew meanwhile).
//
// LUMIVANE_BENCH_QUICK=1 keeps to small photos and few shots.
#include "bench_reference_files.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/src/mic/camera_mic_driver.h"
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "orvo/camera/src/mic/camera_mic_transport.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_log.h"
#include "orvo/camera/camera_datasurface.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_content.h"
#include "support/ptpsim/ptpsim_nikon.h"
#include "support/ptpsim/ptpsim_usb.h"
#include "support/support_temp_dir.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace orvo;

namespace
{
using bench_reference::now_seconds;
using bench_reference::quick_mode;

u64 photo_bytes()
{
    return bench_reference::road_photo_bytes();
}

// When each camera's capture command arrived: the fan-out rows stop their
// clock at the last one.
struct Arrivals
{
    std::atomic<int> count{0};
    std::atomic<double> last{0.0};
};

// The capture as the generic responder makes it (a photo and its events),
// stamped as it arrives.
void stamp_captures(ptpsim::Camera& camera, Arrivals& arrivals)
{
    ptpsim::Camera* responder = &camera;
    camera.set_operation(ptpsim::kOpInitiateCapture, [&arrivals, responder](const std::vector<uint32_t>&,
                                                                          const ptpsim::Bytes*, ptpsim::DataIn&) {
        const double now = now_seconds();
        double seen = arrivals.last.load();
        while (now > seen && !arrivals.last.compare_exchange_weak(seen, now))
        {
        }
        arrivals.count.fetch_add(1);
        ptpsim::ObjectInfo info;
        info.filename = "IMG_" + std::to_string(responder->num_objects()) + ".JPG";
        const uint32_t handle = responder->add_object(info, 4096);
        responder->send_event(ptpsim::kEvObjectAdded, {handle});
        responder->send_event(ptpsim::kEvCaptureComplete);
        return uint16_t(ptpsim::kRespOK);
    });
}

class Client : public MessageProcessor
{
public:
    Client() : MessageProcessor("Bench::RoadClient", false) {}
    void ReceiveResponse(const Message& message) override
    {
        MessageProcessor::ReceiveResponse(message);
        bool result = false;
        camerarequest_get_bool(message, CAMERAFIELD_RESULT, result);
        answered[message.GetHeader()->refNum] = result;
    }
    void ReceiveEvent(const Message& message) override
    {
        i32 type = -1;
        if (camerarequest_get_int(message, CAMERAFIELD_EVENT, type) && type == CAMERAEVENT_PHOTO_DOWNLOADED)
            ++downloaded;
    }
    std::map<u32, bool> answered;
    u64 downloaded = 0; // photo-downloaded events heard
};

// One queue, one client and the distributor for the whole run: a process
// links at most 16 queues.
struct Process
{
    MessageQueue queue;
    Client* client = nullptr;
    u16 destination = 0;
    bool ready = false;
    Process()
    {
        log_open();
        log_enable(LOGLEVEL_INFO, LOGMODULE_CAMERA, false);
        CameraProcessor::SupportPTP = false;
        ready = Distributor::Initialise() && Distributor::Start();
        queue.SetName("BENCH");
        ready = ready && queue.Initialise();
        client = new Client();
        ready = ready && queue.Register(client) && client->Subscribe(CAMERA_EVENT_CHANNEL);
        destination = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);
    }
};

Process& process()
{
    static Process p;
    return p;
}

// A processor with its USB driver and `count` generic responder cameras,
// detected and connected.
struct Road
{
    // `arrivals`, when given, stamps each camera's capture command.
    Road(int count, const char* storage, Arrivals* arrivals = nullptr)
    {
        Process& p = process();
        mic_loopback_initialise(backend);
        processor = new CameraProcessor();
        driver = new MICDriver(processor, &backend);
        processor->AddDriver(driver);
        processor->SetDownloadFolder(string_make(folder.File("photos").c_str()));
        ok = p.queue.Register(processor) && processor->ProcessorInitialise();
        mtp_context_set_default(processor->GetMTPContext(), MTP_CAMERAPROPERTY_STORAGEMODE, string_make(storage));
        for (int i = 0; i < count; ++i)
        {
            cameras.push_back(std::make_unique<ptpsim::Camera>());
            ptpsim::UsbOptions options;
            options.product = "Road " + std::to_string(i);
            options.serial = std::to_string(1000 + i);
            const std::string serial = options.serial;
            cameras.back()->edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = serial; });
            if (arrivals)
                stamp_captures(*cameras.back(), *arrivals);
            usb.push_back(std::make_unique<ptpsim::UsbCamera>(*cameras.back(), backend, options));
        }
        processor->DetectCameras();
        ok = ok && static_cast<int>(processor->GetDevices().count) == count;
        if (ok)
        {
            const u32 ref = Send(true, [](CameraMessageBuilder& b) { return b.Connect(); });
            ok = Wait(ref);
        }
        for (u32 i = 0; ok && i < processor->GetDevices().count; ++i)
            ok = processor->GetDevices().data[i]->connected;
    }

    ~Road()
    {
        Process& p = process();
        processor->ProcessorRelease();
        p.queue.Unregister(processor);
        delete processor;
        p.queue.Pump();
        usb.clear();
        cameras.clear();
        mic_backend_release(backend);
    }

    template <typename Make>
    u32 Send(bool all, Make make)
    {
        Process& p = process();
        CameraMessageBuilder builder(p.queue.GetEncoder(), -1, cameraid_t{CAMERAID_NONE, 0}, string_make("Bench"),
                                     all);
        Message message = make(builder);
        p.client->SendRequest(message, p.destination);
        return static_cast<u32>(p.client->GetContext(p.destination).lastRefNum);
    }

    void Pass()
    {
        for (auto& u : usb)
            u->drain_events();
        processor->ProcessorUpdate();
        process().queue.Pump();
    }

    bool PassUntil(const std::function<bool()>& done, double limit_seconds = 30.0)
    {
        const double end = now_seconds() + limit_seconds;
        while (!done())
        {
            if (now_seconds() > end)
                return false;
            Pass();
            thread_sleep(100, TIMEUNIT_MICROSECONDS);
        }
        return true;
    }

    bool Wait(u32 ref)
    {
        return PassUntil([&] { return process().client->answered.count(ref) > 0; });
    }

    bool AllDownloaded(u32 expected)
    {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        if (photos.count < expected)
            return false;
        for (u32 i = 0; i < photos.count; ++i)
            if (!photos.data[i]->downloaded)
                return false;
        return true;
    }

    lumivane_test::TempDir folder;
    mic_backend_t backend = {};
    CameraProcessor* processor = nullptr;
    MICDriver* driver = nullptr;
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
    bool ok = false;
};

// Per camera count, from the reference rows: shots 100 us apart, and shots a
// pass apart.
std::map<int64_t, double> g_bare_us;
std::map<int64_t, double> g_bare_after_pass_us;

// The reference: one bare InitiateCapture transaction on each of `count`
// loopback cameras, one after the other, as the camera thread fans a shot out,
// timed the same way: to the last camera's command reaching its responder.
// The cameras are in the state ours are in when a shot comes: their events go
// to the host's interrupt transfer, and each shot finds them idle, its photos'
// events delivered and the host back from a sleep of `idle_us`.
void bare_transactions(benchmark::State& state, u32 idle_us, std::map<int64_t, double>& results)
{
    const int count = static_cast<int>(state.range(0));
    mic_backend_t backend = {};
    mic_loopback_initialise(backend);
    Arrivals arrivals;
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
    std::vector<std::unique_ptr<mic_transport_t>> transports;
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    bool ok = true;
    for (int i = 0; i < count; ++i)
    {
        cameras.push_back(std::make_unique<ptpsim::Camera>());
        stamp_captures(*cameras.back(), arrivals);
        ptpsim::UsbOptions options;
        options.serial = std::to_string(2000 + i);
        usb.push_back(std::make_unique<ptpsim::UsbCamera>(*cameras.back(), backend, options));
        transports.push_back(std::make_unique<mic_transport_t>());
        ok = ok && mic_transport_initialise(*transports[i], backend, usb.back()->info()) &&
             mic_transport_open_session(*transports[i]) && mic_transport_start_events(*transports[i], nullptr);
    }
    const u32 parameters[2] = {0, 0};
    double total = 0.0;
    for (auto _ : state)
    {
        const int before = arrivals.count.load();
        const double start = now_seconds();
        for (int i = 0; i < count && ok; ++i)
            ok = mic_transport_transact(*transports[i], ptpsim::kOpInitiateCapture, parameters, 2, nullptr, 0,
                                        &buffer) == 0x2001;
        ok = ok && arrivals.count.load() == before + count;
        const double elapsed = arrivals.last.load() - start;
        state.SetIterationTime(elapsed > 0.0 ? elapsed : 0.0);
        total += elapsed;
        for (auto& camera : usb)
            camera->drain_events();
        thread_sleep(idle_us, TIMEUNIT_MICROSECONDS);
    }
    if (!ok)
        state.SkipWithError("a bare transaction failed");
    const double per_shot_us = state.iterations() ? total * 1e6 / double(state.iterations()) : 0.0;
    results[count] = per_shot_us;
    state.counters["cameras"] = count;
    state.counters["us_per_shot"] = per_shot_us;
    mtp_buffer_release(buffer);
    for (auto& transport : transports)
        mic_transport_release(*transport);
    usb.clear();
    cameras.clear();
    mic_backend_release(backend);
}

// Shots 100 us apart, as the same-thread fan-out row sends them.
void BM_Reference_BareTransactions(benchmark::State& state)
{
    bare_transactions(state, 100, g_bare_us);
}

// Shots a 34 ms pass apart, from a thread that slept meanwhile, as the camera
// thread does between its passes: waking the threads of cameras idle for so
// long costs more than the transactions themselves on some machines.
void BM_Reference_BareTransactions_AfterAPass(benchmark::State& state)
{
    bare_transactions(state, 34000, g_bare_after_pass_us);
}

// Ours: from the all-cameras TakePhoto request leaving the sender to the last
// camera's InitiateCapture reaching its responder. The photos stay on the
// cards ("Card"), so no download runs meanwhile.
void BM_ShotFanOut(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    Arrivals arrivals;
    Road road(count, "Card", &arrivals);
    if (!road.ok)
    {
        state.SkipWithError("the cameras did not connect");
        return;
    }
    double total = 0.0;
    bool ok = true;
    for (auto _ : state)
    {
        const int before = arrivals.count.load();
        const double start = now_seconds();
        const u32 ref = road.Send(true, [](CameraMessageBuilder& b) { return b.TakePhoto(0.0f); });
        while (arrivals.count.load() < before + count && now_seconds() - start < 10.0)
        {
            process().queue.Pump();
            road.processor->ProcessorUpdate();
        }
        const double elapsed = arrivals.last.load() - start;
        state.SetIterationTime(elapsed > 0.0 ? elapsed : 0.0);
        total += elapsed;
        ok = ok && arrivals.count.load() >= before + count && road.Wait(ref);
    }
    if (!ok)
        state.SkipWithError("a shot did not reach every camera");
    const double per_shot_us = state.iterations() ? total * 1e6 / double(state.iterations()) : 0.0;
    state.counters["cameras"] = count;
    state.counters["us_per_shot"] = per_shot_us;
    if (g_bare_us[count] > 0.0)
        state.counters["fanout_ratio"] = per_shot_us / g_bare_us[count];
}

void wait_a_little(void*)
{
    thread_sleep(1, TIMEUNIT_MILLISECONDS);
}

// The road as the application runs it: the processor on its "CAMERA" message
// thread, in passes of 34 ms, asked from this thread, which sleeps on its
// queue until the answer comes.
struct ThreadRoad
{
    ThreadRoad(int count, const char* storage, Arrivals* arrivals = nullptr)
    {
        Process& p = process();
        mic_loopback_initialise(backend);
        for (int i = 0; i < count; ++i)
        {
            cameras.push_back(std::make_unique<ptpsim::Camera>());
            ptpsim::Camera* camera = cameras.back().get();
            if (arrivals)
                stamp_captures(*camera, *arrivals);
            ptpsim::UsbOptions options;
            options.serial = std::to_string(3000 + i);
            const std::string serial = options.serial;
            camera->edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = serial; });
            usb.push_back(std::make_unique<ptpsim::UsbCamera>(*camera, backend, options));
        }
        CameraProcessor* processor = new CameraProcessor();
        processor->AddDriver(new MICDriver(processor, &backend));
        processor->SetDownloadFolder(string_make(folder.File("photos").c_str()));
        processor->GetOptions().detection_pending = true;
        stringbuffer_set(processor->GetOptions().default_storage, storage);
        camera_thread->Add(processor);
        ok = p.ready && camera_thread->Start("CAMERA", wait_a_little, nullptr);
        // The first passes detect the cameras; connecting succeeds once they are there.
        bool connected = false;
        for (int i = 0; ok && i < 50 && !connected; ++i)
        {
            connected = Request([](CameraMessageBuilder& b) { return b.Connect(); });
            if (!connected)
                thread_sleep(20, TIMEUNIT_MILLISECONDS);
        }
        ok = ok && connected;
    }

    ~ThreadRoad()
    {
        // The processor goes with its thread, before the cameras and the backend.
        camera_thread->Stop(wait_a_little, nullptr);
        camera_thread.reset();
        process().queue.Pump();
        usb.clear();
        cameras.clear();
        mic_backend_release(backend);
    }

    // Sleeps on this thread's queue, pumping it, until `done` or 20 s.
    bool WaitFor(const std::function<bool()>& done)
    {
        Process& p = process();
        const double end = now_seconds() + 20.0;
        while (!done() && now_seconds() < end)
        {
            p.queue.Wait(1000);
            p.queue.Pump();
        }
        return done();
    }

    // Sends to every camera and waits for the answer: its result.
    bool Request(const std::function<Message(CameraMessageBuilder&)>& make)
    {
        Process& p = process();
        CameraMessageBuilder builder(p.queue.GetEncoder(), -1, cameraid_t{CAMERAID_NONE, 0}, string_make("Bench"),
                                     true);
        Message message = make(builder);
        p.client->SendRequest(message, p.destination);
        const u32 ref = static_cast<u32>(p.client->GetContext(p.destination).lastRefNum);
        return WaitFor([&] { return p.client->answered.count(ref) > 0; }) && p.client->answered[ref];
    }

    lumivane_test::TempDir folder;
    mic_backend_t backend = {};
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
    std::unique_ptr<MessageThread> camera_thread = std::make_unique<MessageThread>();
    bool ok = false;
};

// The same shot as the camera thread of the application sees it: the request
// leaves this thread for the processor on its "CAMERA" message thread, which
// sleeps between its 34 ms passes. From the request leaving the sender to the
// last camera's InitiateCapture reaching its responder (stamped there), beside
// the same bare transactions sent a pass apart (counter fanout_ratio).
void BM_ShotFanOut_CameraThread(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    Arrivals arrivals;
    double total = 0.0;
    bool ok = false;
    {
        // The photos stay on the cards: no download runs meanwhile.
        ThreadRoad road(count, "Card", &arrivals);
        ok = road.ok;
        for (auto _ : state)
        {
            if (!ok)
                break;
            const int before = arrivals.count.load();
            const double start = now_seconds();
            ok = road.Request([](CameraMessageBuilder& b) { return b.TakePhoto(0.0f); }) &&
                 arrivals.count.load() == before + count;
            const double elapsed = arrivals.last.load() - start;
            state.SetIterationTime(elapsed > 0.0 ? elapsed : 0.0);
            total += elapsed;
        }
    }
    if (!ok)
    {
        state.SkipWithError("a shot did not reach every camera");
        return;
    }
    const double per_shot_us = state.iterations() ? total * 1e6 / double(state.iterations()) : 0.0;
    state.counters["cameras"] = count;
    state.counters["us_per_shot"] = per_shot_us;
    if (g_bare_after_pass_us[count] > 0.0)
        state.counters["fanout_ratio"] = per_shot_us / g_bare_after_pass_us[count];
}

double g_reference_bytes_per_s = 0.0;
const int kDownloadCameras = 16;

// The reference: the bytes of 16 photos written to new files, synced, closed
// and hashed, by four writers at once in the same kind of folder.
void BM_Reference_WriteSyncAndHash(benchmark::State& state)
{
    const std::vector<std::vector<u8>> photos = bench_reference::make_photos(kDownloadCameras, photo_bytes());
    double seconds = 0.0;
    std::atomic<bool> failed{false};
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        const double start = now_seconds();
        std::vector<std::thread> threads;
        for (int w = 0; w < 4; ++w)
            threads.emplace_back([&, w] {
                for (int p = w; p < kDownloadCameras; p += 4)
                {
                    const std::string name = "IMG_" + std::to_string(p) + ".JPG";
                    if (!bench_reference::write_sync_and_hash(folder.File(name), name, photos[p]))
                        failed.store(true);
                }
            });
        for (std::thread& thread : threads)
            thread.join();
        const double elapsed = now_seconds() - start;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    if (failed.load())
        state.SkipWithError("writing failed");
    const double bytes = double(state.iterations()) * kDownloadCameras * double(photo_bytes());
    g_reference_bytes_per_s = seconds > 0.0 ? bytes / seconds : 0.0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB_per_s"] = g_reference_bytes_per_s / 1e6;
}

// Ours: 16 cameras shoot at once in "Disk" storage; from the request to the
// last photo saved and hashed by the four download threads.
void BM_DownloadSixteenCameras(benchmark::State& state)
{
    Road road(kDownloadCameras, "Disk");
    if (!road.ok)
    {
        state.SkipWithError("the cameras did not connect");
        return;
    }
    double seconds = 0.0;
    bool ok = true;
    int shot = 0;
    for (auto _ : state)
    {
        for (auto& camera : road.cameras)
        {
            ptpsim::ObjectInfo info;
            info.filename = "DSC" + std::to_string(10000 + shot) + ".JPG";
            camera->set_capture({info}, photo_bytes());
        }
        ++shot;
        const u32 expected = road.processor->GetPhotos().count + kDownloadCameras;
        const double start = now_seconds();
        const u32 ref = road.Send(true, [](CameraMessageBuilder& b) { return b.TakePhoto(0.0f); });
        ok = ok && road.PassUntil([&] { return road.AllDownloaded(expected); });
        const double elapsed = now_seconds() - start;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        ok = ok && road.Wait(ref);
    }
    if (!ok)
        state.SkipWithError("not every photo came in");
    const double bytes = double(state.iterations()) * kDownloadCameras * double(photo_bytes());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (seconds > 0.0)
    {
        state.counters["MB_per_s"] = bytes / seconds / 1e6;
        if (g_reference_bytes_per_s > 0.0)
            state.counters["of_reference_pct"] = 100.0 * (bytes / seconds) / g_reference_bytes_per_s;
    }
}

// The same on the processor's own "CAMERA" thread, as the application runs
// it: the download threads hand each photo back to a camera thread that
// sleeps between its 34 ms passes.
void BM_DownloadSixteenCameras_CameraThread(benchmark::State& state)
{
    Process& p = process();
    double seconds = 0.0;
    bool ok = false;
    {
        ThreadRoad road(kDownloadCameras, "Disk");
        ok = road.ok;
        int shot = 0;
        for (auto _ : state)
        {
            if (!ok)
                break;
            for (auto& camera : road.cameras)
            {
                ptpsim::ObjectInfo info;
                info.filename = "DSC" + std::to_string(10000 + shot) + ".JPG";
                camera->set_capture({info}, photo_bytes());
            }
            ++shot;
            const u64 expected = p.client->downloaded + kDownloadCameras;
            const double start = now_seconds();
            ok = road.Request([](CameraMessageBuilder& b) { return b.TakePhoto(0.0f); }) &&
                 road.WaitFor([&] { return p.client->downloaded >= expected; });
            const double elapsed = now_seconds() - start;
            state.SetIterationTime(elapsed);
            seconds += elapsed;
        }
    }
    if (!ok)
    {
        state.SkipWithError("not every photo came in");
        return;
    }
    const double bytes = double(state.iterations()) * kDownloadCameras * double(photo_bytes());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (seconds > 0.0)
    {
        state.counters["MB_per_s"] = bytes / seconds / 1e6;
        if (g_reference_bytes_per_s > 0.0)
            state.counters["of_reference_pct"] = 100.0 * (bytes / seconds) / g_reference_bytes_per_s;
    }
}

// A data surface that starts mirroring when its thread initialises it and
// notes when each photo's event arrives.
class LatencySurface : public CameraDataSurface
{
public:
    LatencySurface() : CameraDataSurface("Bench::Latency")
    {
        AddRoute(this, [](void* self, const CameraEvent& event) {
            auto* surface = static_cast<LatencySurface*>(self);
            if (event.type == CAMERAEVENT_PHOTO_TAKEN)
            {
                surface->last_seen.store(now_seconds());
                surface->photos.fetch_add(1);
            }
            else if (event.type == CAMERAEVENT_PHOTO_DOWNLOADED)
            {
                surface->last_downloaded.store(now_seconds());
                surface->downloads.fetch_add(1);
            }
            return false;
        });
    }
    bool ProcessorInitialise() override { return CameraDataSurface::ProcessorInitialise() && Initialise(); }
    std::atomic<int> photos{0};
    std::atomic<double> last_seen{0.0};
    std::atomic<int> downloads{0};
    std::atomic<double> last_downloaded{0.0};
};

void BM_EventLatency(benchmark::State& state)
{
    const bool download = state.range(0) == 0;
    if (!process().ready)
    {
        state.SkipWithError("no message system");
        return;
    }
    mic_backend_t backend = {};
    mic_loopback_initialise(backend);
    ptpsim::Camera camera;
    auto usb = std::make_unique<ptpsim::UsbCamera>(camera, backend);
    lumivane_test::TempDir folder;
    bool ok = true;
    double total = 0.0, worst = 0.0;
    // "Disk": to the photo's downloaded event, once saved.
    double saved_latency = 0.0, saved_total = 0.0, saved_worst = 0.0;
    u32 phase = 1;
    {
        MessageThread camera_thread;
        MessageThread surface_thread;
        CameraProcessor* processor = new CameraProcessor();
        processor->AddDriver(new MICDriver(processor, &backend));
        processor->SetDownloadFolder(string_make(folder.File("photos").c_str()));
        // The processor finds and connects the camera on its own thread.
        processor->GetOptions().auto_connect = true;
        processor->GetOptions().detection_pending = true;
        stringbuffer_set(processor->GetOptions().default_storage, download ? "Disk" : "Card");
        camera_thread.Add(processor);
        LatencySurface* surface = new LatencySurface();
        surface_thread.Add(surface);
        ok = camera_thread.Start("CAMERA", wait_a_little, nullptr) &&
             surface_thread.Start("SURFACE", wait_a_little, nullptr);

        // One photo event from the camera: true once its photo's event came.
        auto shoot = [&](double limit, double& latency) {
            ptpsim::ObjectInfo info;
            info.filename = "DSC" + std::to_string(camera.num_objects()) + ".JPG";
            const u32 handle = camera.add_object(info, 20000);
            const int before = surface->photos.load();
            const int downloads_before = surface->downloads.load();
            const double start = now_seconds();
            camera.send_event(ptpsim::kEvObjectAdded, {handle});
            while (surface->photos.load() == before && now_seconds() - start < limit)
                thread_sleep(100, TIMEUNIT_MICROSECONDS);
            latency = surface->last_seen.load() - start;
            if (download)
            {
                while (surface->downloads.load() == downloads_before && now_seconds() - start < limit)
                    thread_sleep(100, TIMEUNIT_MICROSECONDS);
                saved_latency = surface->last_downloaded.load() - start;
            }
            return surface->photos.load() != before;
        };
        // Every photo so far saved and announced, so that the next
        // downloaded event is the next photo's.
        auto settle = [&] {
            const double start = now_seconds();
            while (download && surface->downloads.load() < surface->photos.load() && now_seconds() - start < 5.0)
                thread_sleep(100, TIMEUNIT_MICROSECONDS);
        };
        // Until the camera is connected its events go unheard.
        double latency = 0.0;
        bool connected = false;
        for (int i = 0; ok && i < 60 && !connected; ++i)
            connected = shoot(0.5, latency);
        ok = ok && connected;
        for (auto _ : state)
        {
            if (!ok)
                break;
            // Cameras raise their events at any point of a pass: each
            // photo comes a pseudo-random part of a period after the last.
            settle();
            phase = phase * 1103515245u + 12345u;
            thread_sleep((phase >> 8) % MESSAGETHREAD_PERIOD_US, TIMEUNIT_MICROSECONDS);
            ok = shoot(5.0, latency);
            state.SetIterationTime(latency);
            total += latency;
            saved_total += saved_latency;
            saved_worst = std::max(saved_worst, saved_latency);
            worst = std::max(worst, latency);
        }
        surface_thread.Stop(wait_a_little, nullptr);
        camera_thread.Stop(wait_a_little, nullptr);
    }
    usb.reset();
    mic_backend_release(backend);
    if (!ok)
    {
        state.SkipWithError("no photo event came");
        return;
    }
    const double mean_ms = state.iterations() ? total * 1e3 / double(state.iterations()) : 0.0;
    state.counters["mean_ms"] = mean_ms;
    state.counters["worst_ms"] = worst * 1e3;
    state.counters["period_ms"] = double(MESSAGETHREAD_PERIOD_US) / 1e3;
    state.counters["of_period_pct"] = 100.0 * mean_ms * 1e3 / double(MESSAGETHREAD_PERIOD_US);
    state.counters["downloaded"] = download ? 1 : 0;
    if (download && state.iterations())
    {
        state.counters["saved_mean_ms"] = saved_total * 1e3 / double(state.iterations());
        state.counters["saved_worst_ms"] = saved_worst * 1e3;
    }
}

class TimedProcessor : public CameraProcessor
{
public:
    void ProcessorUpdate() override
    {
        const double start = now_seconds();
        CameraProcessor::ProcessorUpdate();
        busy.store(busy.load() + (now_seconds() - start));
    }
    std::atomic<double> busy{0.0};
};

// The process's resident memory.
double resident_bytes()
{
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file)
        return 0.0;
    unsigned long long size = 0, resident = 0;
    const int read = std::fscanf(file, "%llu %llu", &size, &resident);
    std::fclose(file);
    return read == 2 ? double(resident) * double(sysconf(_SC_PAGESIZE)) : 0.0;
}

class FrameCounter : public MessageProcessor
{
public:
    FrameCounter() : MessageProcessor("Bench::Frames", false) {}
    // A slow consumer: each pass of its thread holds the thread this long (or
    // until released), so that it pumps only that often.
    void ProcessorUpdate() override
    {
        const double until = now_seconds() + hold_ms / 1e3;
        while (hold_ms && now_seconds() < until && !released.load())
            thread_sleep(5, TIMEUNIT_MILLISECONDS);
    }
    u32 hold_ms = 0;
    std::atomic<bool> released{false};
    // Camera events too, as a view that shows the cameras' state does: each
    // frame comes with a metrics event.
    bool ProcessorInitialise() override
    {
        return MessageProcessor::ProcessorInitialise() && Subscribe(CAMERA_LIVEVIEW_CHANNEL) &&
               Subscribe(CAMERA_EVENT_CHANNEL);
    }
    void ReceiveEvent(const Message& message) override
    {
        i32 type = -1;
        if (!camerarequest_get_int(message, CAMERAFIELD_EVENT, type) || type != CAMERAEVENT_LIVEVIEW)
            return;
        frames.fetch_add(1);
        bytes.fetch_add(message.GetNumBytes());
    }
    std::atomic<u64> frames{0};
    std::atomic<u64> bytes{0};
};

void BM_Liveview(benchmark::State& state)
{
    const int count = 16;
    const u32 consumer_hold_ms = static_cast<u32>(state.range(0));
    Process& p = process();
    if (!p.ready)
    {
        state.SkipWithError("no message system");
        return;
    }
    mic_backend_t backend = {};
    mic_loopback_initialise(backend);
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<ptpsim::NikonCamera>> nikons;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
    for (int i = 0; i < count; ++i)
    {
        cameras.push_back(std::make_unique<ptpsim::Camera>());
        nikons.push_back(std::make_unique<ptpsim::NikonCamera>(*cameras.back(), ptpsim::nikon_model("D810")));
        nikons.back()->set_frame_jpeg_size(quick_mode() ? 64 * 1024 : 500 * 1000);
        ptpsim::UsbOptions options;
        options.product = "View " + std::to_string(i);
        options.serial = std::to_string(3000 + i);
        const std::string serial = options.serial;
        cameras.back()->edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = serial; });
        usb.push_back(std::make_unique<ptpsim::UsbCamera>(*cameras.back(), backend, options));
    }
    lumivane_test::TempDir folder;
    bool ok = true;
    double fps = 0.0, occupancy = 0.0, mb_per_s = 0.0, read_fps = 0.0, stalled_s = 0.0, measured_s = 0.0;
    u64 superseded = 0;
    double rss_growth_mb = 0.0;
    {
        MessageThread camera_thread;
        MessageThread view_thread;
        TimedProcessor* processor = new TimedProcessor();
        processor->AddDriver(new MICDriver(processor, &backend));
        processor->SetDownloadFolder(string_make(folder.File("photos").c_str()));
        processor->GetOptions().detection_pending = true;
        camera_thread.Add(processor);
        FrameCounter* counter = new FrameCounter();
        counter->hold_ms = consumer_hold_ms;
        view_thread.Add(counter);
        ok = camera_thread.Start("CAMERA", wait_a_little, nullptr) &&
             view_thread.Start("VIEW", wait_a_little, nullptr);
        auto request = [&](const std::function<Message(CameraMessageBuilder&)>& make) {
            CameraMessageBuilder builder(p.queue.GetEncoder(), -1, cameraid_t{CAMERAID_NONE, 0},
                                         string_make("Bench"), true);
            Message message = make(builder);
            p.client->SendRequest(message, p.destination);
            const u32 ref = static_cast<u32>(p.client->GetContext(p.destination).lastRefNum);
            const double end = now_seconds() + 20.0;
            while (!p.client->answered.count(ref) && now_seconds() < end)
            {
                p.queue.Pump();
                thread_sleep(1, TIMEUNIT_MILLISECONDS);
            }
            return p.client->answered.count(ref) && p.client->answered[ref];
        };
        // The first passes detect the cameras; connecting succeeds once they are there.
        bool connected = false;
        for (int i = 0; ok && i < 50 && !connected; ++i)
            connected = request([](CameraMessageBuilder& b) { return b.Connect(); });
        ok = ok && connected && request([](CameraMessageBuilder& b) { return b.SetLiveviewFPS(20, 0); }) &&
             request([](CameraMessageBuilder& b) { return b.EnableLiveview(true); });
        const double window = quick_mode() ? 0.3 : 5.0;
        for (auto _ : state)
        {
            if (!ok)
                break;
            const i32 camera_pipe = camera_thread.GetQueue()->GetId();
            const u64 frames_before = counter->frames.load();
            const u64 bytes_before = counter->bytes.load();
            const double busy_before = processor->busy.load();
            const u64 stalled_before = Distributor::GetSendStallMicroseconds(camera_pipe);
            const u64 superseded_before = Distributor::GetSupersededCount(camera_pipe);
            int reads_before = 0;
            for (auto& camera : cameras)
                reads_before += camera->calls(ptpsim::kNikonOpGetLiveViewImage);
            const double rss_before = resident_bytes();
            const double start = now_seconds();
            while (now_seconds() - start < window)
            {
                p.queue.Pump();
                thread_sleep(5, TIMEUNIT_MILLISECONDS);
            }
            const double elapsed = now_seconds() - start;
            state.SetIterationTime(elapsed);
            rss_growth_mb = (resident_bytes() - rss_before) / 1e6;
            int reads = 0;
            for (auto& camera : cameras)
                reads += camera->calls(ptpsim::kNikonOpGetLiveViewImage);
            fps = double(counter->frames.load() - frames_before) / elapsed / count;
            read_fps = double(reads - reads_before) / elapsed / count;
            mb_per_s = double(counter->bytes.load() - bytes_before) / elapsed / 1e6;
            occupancy = (processor->busy.load() - busy_before) / elapsed;
            stalled_s = double(Distributor::GetSendStallMicroseconds(camera_pipe) - stalled_before) / 1e6;
            measured_s = elapsed;
            superseded = Distributor::GetSupersededCount(camera_pipe) - superseded_before;

        }
        counter->released.store(true);
        if (ok)
            request([](CameraMessageBuilder& b) { return b.EnableLiveview(false); });
        view_thread.Stop(wait_a_little, nullptr);
        camera_thread.Stop(wait_a_little, nullptr);
    }
    usb.clear();
    nikons.clear();
    cameras.clear();
    mic_backend_release(backend);
    if (!ok)
    {
        state.SkipWithError("live view did not start on every camera");
        return;
    }
    state.counters["cameras"] = count;
    state.counters["fps_per_camera"] = fps;
    state.counters["fps_asked"] = 20;
    state.counters["read_fps_per_camera"] = read_fps;
    state.counters["delivered_MB_per_s"] = mb_per_s;
    state.counters["camera_thread_occupancy_pct"] = 100.0 * occupancy;
    state.counters["stalled_ms"] = stalled_s * 1e3;
    state.counters["stalled_pct"] = measured_s > 0.0 ? 100.0 * stalled_s / measured_s : 0.0;
    state.counters["superseded"] = static_cast<double>(superseded);
    state.counters["consumer_hold_ms"] = consumer_hold_ms;
    state.counters["rss_growth_MB"] = rss_growth_mb;
}

void camera_counts(benchmark::internal::Benchmark* b)
{
    for (int count : {1, 4, 16, 64})
        b->Arg(count);
}
// Quick mode leaves out the 64 cameras: each row starts a camera thread and
// connects its cameras anew.
void camera_thread_counts(benchmark::internal::Benchmark* b)
{
    for (int count : {1, 4, 16, 64})
        if (count < 64 || !quick_mode())
            b->Arg(count);
}
} // namespace

// Each reference row runs just before the rows it is compared with.
BENCHMARK(BM_Reference_BareTransactions)
    ->Apply(camera_counts)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(quick_mode() ? 10 : 200);
BENCHMARK(BM_ShotFanOut)
    ->Apply(camera_counts)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(quick_mode() ? 3 : 40);
BENCHMARK(BM_Reference_BareTransactions_AfterAPass)
    ->Apply(camera_thread_counts)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(quick_mode() ? 3 : 40);
BENCHMARK(BM_ShotFanOut_CameraThread)
    ->Apply(camera_thread_counts)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(quick_mode() ? 3 : 40);
BENCHMARK(BM_Reference_WriteSyncAndHash)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(quick_mode() ? 1 : 5);
BENCHMARK(BM_DownloadSixteenCameras)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(quick_mode() ? 1 : 5);
BENCHMARK(BM_DownloadSixteenCameras_CameraThread)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(quick_mode() ? 1 : 5);

// Photos downloaded, then kept on the card.
BENCHMARK(BM_EventLatency)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(quick_mode() ? 3 : 100);
// A consumer that keeps up, one that pumps only every half second, and one
// that stops pumping.
BENCHMARK(BM_Liveview)->Arg(0)->Arg(500)->Arg(600000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
