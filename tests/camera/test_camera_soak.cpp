// Many cameras at once through the whole camera road: the processor with its
// USB driver over the loopback backend, sixteen responder bodies of mixed
// kinds, round after round of shots. Along the way a body is unplugged and
// comes back, the download folder breaks half-way (the fallback folder takes
// over) and two bodies answer slowly. At the end every photo must be saved
// exactly once with the camera's bytes and their hash, every request must
// have had its answer, and no body may have seen overlapping transactions.
//
// The number of rounds is LUMIVANE_SOAK_SHOTS (a few by default, for CI;
// several hundred for the full soak, see README).
#include "camera_test_client.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/src/mic/camera_mic_driver.h"
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_thread.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_canon.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_content.h"
#include "support/ptpsim/ptpsim_nikon.h"
#include "support/ptpsim/ptpsim_usb.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace orvo;

namespace
{
enum class Body
{
    kGeneric,
    kFujifilm,
    kCanon,
    kNikon,
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Regular files of a folder (none when it is not a folder).
std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return files;
    while (dirent* entry = readdir(dir))
    {
        const std::string path = folder + "/" + entry->d_name;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            files.push_back(path);
    }
    closedir(dir);
    return files;
}

int SoakRounds()
{
    const char* text = std::getenv("LUMIVANE_SOAK_SHOTS");
    const int rounds = text ? std::atoi(text) : 0;
    return rounds > 0 ? rounds : 4;
}

struct Response
{
    u32 ref;
    bool result;
};

class Client : public MessageProcessor
{
public:
    Client() : MessageProcessor("Test::SoakClient", false) {}

    void ReceiveResponse(const Message& message) override
    {
        MessageProcessor::ReceiveResponse(message);
        bool result = false;
        camerarequest_get_bool(message, CAMERAFIELD_RESULT, result);
        responses[message.GetHeader()->refNum] = result;
    }
    void ReceiveEvent(const Message&) override { ++events; }

    std::map<u32, bool> responses;
    u64 events = 0;
};

// One body of the rig: the responder, its personality's extra model, its USB
// adapter (replaced when it comes back) and what it is scripted to shoot.
struct Rig
{
    Body body = Body::kGeneric;
    std::string product;
    std::string serial;
    u64 shot_size = 0;
    bool slow = false;
    std::unique_ptr<ptpsim::Camera> camera;
    std::unique_ptr<ptpsim::NikonCamera> nikon;
    std::unique_ptr<ptpsim::UsbCamera> usb;
    std::vector<std::string> violations;
    int shots_asked = 0;
};

class CameraSoak : public ::testing::TestWithParam<const char*>
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
        client = new Client();
        ASSERT_TRUE(queue.Register(client));
        ASSERT_TRUE(client->Subscribe(CAMERA_EVENT_CHANNEL));
        destination = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);

        processor = new CameraProcessor();
        driver = new MICDriver(processor, &backend);
        mic_transport_options_t options = {};
        options.timeout_ms = 5000;
        options.short_timeout_ms = 50;
        driver->SetTransportOptions(options);
        processor->AddDriver(driver);
        download = dir.File("photos");
        fallback = dir.File("fallback");
        ASSERT_TRUE(processor->SetDownloadFolder(string_make(download.c_str())));
        ASSERT_TRUE(processor->SetFallbackFolder(string_make(fallback.c_str())));
        ASSERT_TRUE(queue.Register(processor));
        ASSERT_TRUE(processor->ProcessorInitialise());
        mtp_context_set_default(processor->GetMTPContext(), MTP_CAMERAPROPERTY_STORAGEMODE,
                                string_make(GetParam()));
    }

    void TearDown() override
    {
        if (processor)
        {
            processor->ProcessorRelease();
            queue.Unregister(processor);
            delete processor;
        }
        queue.Pump();
        for (Rig& rig : rigs)
            rig.usb.reset();
        rigs.clear();
        mic_backend_release(backend);
        queue.Release();
        delete client;
        Distributor::Stop();
        Distributor::Release();
        CameraProcessor::SupportPTP = true;
    }

    void MakeRig(Body body, int index)
    {
        Rig rig;
        rig.body = body;
        char text[32];
        std::snprintf(text, sizeof text, "Soak Body %02d", index);
        rig.product = text;
        std::snprintf(text, sizeof text, "S%04d", index);
        rig.serial = text;
        rig.shot_size = 40000 + 3001 * static_cast<u64>(index);
        switch (body)
        {
        case Body::kGeneric:
            rig.camera = std::make_unique<ptpsim::Camera>(ptpsim::Personality::kGeneric);
            break;
        case Body::kFujifilm:
            rig.camera = std::make_unique<ptpsim::Camera>(ptpsim::Personality::kFujifilm);
            break;
        case Body::kCanon:
            rig.camera = std::make_unique<ptpsim::CanonCamera>();
            break;
        case Body::kNikon:
            rig.camera = std::make_unique<ptpsim::Camera>();
            rig.nikon = std::make_unique<ptpsim::NikonCamera>(*rig.camera, ptpsim::nikon_model("D810"));
            break;
        }
        const std::string serial = rig.serial;
        rig.camera->edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = serial; });
        rigs.push_back(std::move(rig));
        Attach(rigs.back());
    }

    void Attach(Rig& rig)
    {
        ptpsim::UsbOptions options;
        options.product = rig.product;
        options.serial = rig.serial;
        rig.usb = std::make_unique<ptpsim::UsbCamera>(*rig.camera, backend, options);
    }

    // Keeps what the adapter saw before it goes.
    void Detach(Rig& rig)
    {
        for (const std::string& line : rig.usb->violations())
            rig.violations.push_back(line);
        rig.usb.reset();
    }

    // The next shot of the body: a file name of its own each time.
    void ScriptShot(Rig& rig, int round)
    {
        ptpsim::ObjectInfo shot;
        char name[32];
        std::snprintf(name, sizeof name, "DSC%05d.JPG", round);
        shot.filename = name;
        if (rig.body == Body::kNikon)
            rig.nikon->set_shots({shot}, rig.shot_size);
        else if (rig.body != Body::kCanon)
            rig.camera->set_capture({shot}, rig.shot_size, rig.slow ? 1000000 : 0);
    }

    void Pass()
    {
        for (Rig& rig : rigs)
            if (rig.usb)
                rig.usb->drain_events();
        clock.advance_ms(250);
        processor->ProcessorUpdate();
        queue.Pump();
        // The download threads work in real time.
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }

    bool PassUntil(const std::function<bool()>& done, int passes = 6000)
    {
        return camera_test::RepeatUntil(done, [this] { Pass(); }, passes);
    }

    CameraDevice* DeviceOf(const Rig& rig)
    {
        const vector_t<CameraDevice*>& devices = processor->GetDevices();
        for (u32 i = 0; i < devices.count; ++i)
            if (devices.data[i]->valid && std::string(devices.data[i]->name.str) == rig.product)
                return devices.data[i];
        return nullptr;
    }

    u32 Send(Message message)
    {
        EXPECT_FALSE(message.IsNull());
        EXPECT_TRUE(client->SendRequest(message, destination));
        const u32 ref = static_cast<u32>(client->GetContext(destination).lastRefNum);
        sent.push_back(ref);
        return ref;
    }

    bool Answered(const std::vector<u32>& refs)
    {
        for (u32 ref : refs)
            if (!client->responses.count(ref))
                return false;
        return true;
    }

    CameraMessageBuilder Builder(const CameraDevice* device)
    {
        return CameraMessageBuilder(queue.GetEncoder(), -1, device->id, string_make("Soak"), false);
    }

    // Detects the bodies plugged and connects every one not yet connected.
    void ConnectAll()
    {
        processor->DetectCameras();
        std::vector<u32> refs;
        for (Rig& rig : rigs)
        {
            if (!rig.usb)
                continue;
            CameraDevice* device = DeviceOf(rig);
            ASSERT_NE(device, nullptr) << rig.product;
            if (!device->connected)
                refs.push_back(Send(Builder(device).Connect()));
        }
        ASSERT_TRUE(PassUntil([&] { return Answered(refs); }));
        for (u32 ref : refs)
            EXPECT_TRUE(client->responses[ref]) << "connect " << ref;
        for (Rig& rig : rigs)
        {
            if (rig.usb)
            {
                ASSERT_TRUE(DeviceOf(rig) && DeviceOf(rig)->connected) << rig.product;
            }
        }
    }

    // Which body took each photo, noted while its device is still there.
    void Attribute()
    {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        for (u32 i = 0; i < photos.count; ++i)
        {
            if (owners.count(photos.data[i]) || !photos.data[i]->GetDevice())
                continue;
            for (Rig& rig : rigs)
                if (std::string(photos.data[i]->GetDevice()->name.str) == rig.product)
                    owners[photos.data[i]] = &rig;
        }
    }

    bool AllDownloaded()
    {
        const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
        for (u32 i = 0; i < photos.count; ++i)
            if (!photos.data[i]->downloaded)
                return false;
        return true;
    }

    // The responder's object whose bytes the saved file should be: found by
    // the bytes at an offset past any header, then compared whole.
    bool MatchesAnObject(Rig& rig, const std::string& saved)
    {
        std::vector<u32> handles = rig.camera->handles();
        for (u32 handle : rig.camera->deleted_handles())
            handles.push_back(handle);
        for (u32 handle : handles)
        {
            if (matched[&rig].count(handle))
                continue;
            for (ptpsim::Content content : {ptpsim::Content::kJpeg, ptpsim::Content::kPattern})
            {
                std::string made(saved.size(), '\0');
                ptpsim::generate_content(content, 0x9E3779B97F4A7C15ull * handle, saved.size(), 0,
                                         reinterpret_cast<u8*>(&made[0]), made.size());
                if (made == saved)
                {
                    matched[&rig].insert(handle);
                    return true;
                }
            }
        }
        return false;
    }

    ptpsim::TestClock clock;
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    std::string download;
    std::string fallback;
    mic_backend_t backend = {};
    MessageQueue queue;
    Client* client = nullptr;
    CameraProcessor* processor = nullptr;
    MICDriver* driver = nullptr;
    u16 destination = 0;
    std::vector<Rig> rigs;
    std::vector<u32> sent;
    std::map<u32, std::string> target;
    std::map<const CameraPhoto*, Rig*> owners;
    std::map<Rig*, std::set<u32>> matched;
};
} // namespace

TEST_P(CameraSoak, SixteenBodiesShootRoundAfterRoundAndEveryPhotoIsSavedOnce)
{
    const Body bodies[] = {Body::kGeneric, Body::kFujifilm, Body::kCanon, Body::kNikon};
    rigs.reserve(16);
    for (int i = 0; i < 16; ++i)
        MakeRig(bodies[i % 4], i);
    // Two bodies answer slowly: their photos come a second (test clock) after
    // the release and every answer waits a little in real time.
    for (int i : {1, 6})
    {
        rigs[i].slow = true;
        ptpsim::Fault latency;
        latency.kind = ptpsim::Fault::Kind::kLatency;
        latency.latency_us = 2000;
        rigs[i].camera->add_fault(latency);
    }
    ConnectAll();
    ASSERT_FALSE(HasFatalFailure());

    const int rounds = SoakRounds();
    const int unplug_round = rounds / 2;
    const int break_round = (rounds + 1) / 2;
    Rig& wanderer = rigs[5]; // a Fujifilm body: unplugged and back
    bool broken = false;
    for (int round = 0; round < rounds; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round));
        // A body refuses a release while its last photo is still coming
        // down: the rig shoots once every photo is in.
        ASSERT_TRUE(PassUntil([&] { return AllDownloaded(); }));
        if (round == unplug_round)
        {
            // Its photos are in; it goes, the others shoot a round without it.
            ASSERT_TRUE(PassUntil([&] { return AllDownloaded(); }));
            Attribute();
            wanderer.usb->unplug();
            Detach(wanderer);
            ASSERT_TRUE(PassUntil([&] { return DeviceOf(wanderer) == nullptr; }));
        }
        if (round == unplug_round + 1 || (round == unplug_round && rounds == 1))
        {
            Attach(wanderer);
            ConnectAll();
            ASSERT_FALSE(HasFatalFailure());
        }
        if (round == break_round && !broken)
        {
            // The download folder becomes a file: saving there fails from now on.
            const std::string moved = download + ".before";
            ASSERT_EQ(std::rename(download.c_str(), moved.c_str()), 0);
            std::ofstream(download) << "not a folder";
            broken = true;
        }
        std::vector<u32> refs;
        for (Rig& rig : rigs)
        {
            CameraDevice* device = rig.usb ? DeviceOf(rig) : nullptr;
            if (!device)
                continue;
            ScriptShot(rig, round);
            refs.push_back(Send(Builder(device).TakePhoto(0.0f)));
            target[refs.back()] = rig.product;
            ++rig.shots_asked;
        }
        ASSERT_TRUE(PassUntil([&] { return Answered(refs); }));
        for (u32 ref : refs)
            EXPECT_TRUE(client->responses[ref]) << "TakePhoto " << ref << " of " << target[ref];
    }
    ASSERT_TRUE(PassUntil([&] { return AllDownloaded(); }));
    Attribute();
    if (std::getenv("LUMIVANE_SOAK_LOG"))
        for (const std::string& line : log.Lines())
            std::fprintf(stderr, "%s\n", line.c_str());

    // No request went unanswered.
    EXPECT_TRUE(Answered(sent));

    // One photo per shot asked, each downloaded once, under a name of its own,
    // with the camera's bytes and their hash.
    int asked = 0;
    for (const Rig& rig : rigs)
        asked += rig.shots_asked;
    const vector_t<CameraPhoto*>& photos = processor->GetPhotos();
    ASSERT_EQ(static_cast<int>(photos.count), asked);
    std::set<std::string> paths;
    std::map<std::string, int> per_body;
    for (u32 i = 0; i < photos.count; ++i)
    {
        const CameraPhoto* photo = photos.data[i];
        SCOPED_TRACE(std::string(photo->name.str));
        ASSERT_TRUE(photo->downloaded);
        const std::string path = photo->path.str;
        EXPECT_TRUE(paths.insert(path).second) << "saved twice: " << path;
        // The computed name, in the download folder or, once it broke, the fallback.
        const std::string folder = path.substr(0, path.rfind('/'));
        EXPECT_TRUE(folder == download || folder == fallback) << path;
        const std::string base = path.substr(path.rfind('/') + 1);
        const std::string stem = std::string(photo->name.str).substr(0, std::string(photo->name.str).rfind('.'));
        EXPECT_EQ(base.compare(0, stem.size(), stem), 0) << base << " for " << photo->name.str;

        // Photos saved before the folder broke lie where it was moved to.
        const std::string content = ReadFile(folder == download && broken ? download + ".before/" + base : path);
        ASSERT_EQ(static_cast<i64>(content.size()), photo->size) << path;
        stringbuffer_t hash;
        stringbuffer_initialise(hash);
        ASSERT_TRUE(mtp_compute_hash(hash, photo->name, memory_t{content.data(), content.size()}));
        EXPECT_EQ(std::string(hash.str), std::string(photo->hash.str));
        stringbuffer_release(hash);

        Rig* owner = owners.count(photo) ? owners[photo] : nullptr;
        ASSERT_NE(owner, nullptr);
        ++per_body[owner->product];
        if (owner->body == Body::kCanon)
        {
            // The body makes its own JPEG; its memory copy is gone once sent.
            ASSERT_GE(content.size(), 4u);
            EXPECT_EQ(static_cast<u8>(content[0]), 0xFF);
            EXPECT_EQ(static_cast<u8>(content[1]), 0xD8);
        }
        else
        {
            EXPECT_EQ(photo->size, static_cast<i64>(owner->shot_size));
            EXPECT_TRUE(MatchesAnObject(*owner, content)) << "bytes of no photo of " << owner->product;
        }
    }
    for (const Rig& rig : rigs)
        EXPECT_EQ(per_body[rig.product], rig.shots_asked) << rig.product;

    // Nothing else lies in the folders: no copy, no half-written file.
    const size_t files = FilesIn(fallback).size() + FilesIn(download + ".before").size() +
                         (broken ? 0 : FilesIn(download).size());
    EXPECT_EQ(files, photos.count);
    if (broken && rounds > 1)
    {
        EXPECT_FALSE(FilesIn(fallback).empty());
    }

    for (Rig& rig : rigs)
    {
        SCOPED_TRACE(rig.product);
        if (rig.usb)
            Detach(rig);
        for (const std::string& line : rig.camera->violations())
            ADD_FAILURE() << line;
        for (const std::string& line : rig.violations)
            ADD_FAILURE() << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Storage, CameraSoak, ::testing::Values("Disk", "Both"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
