// The whole USB camera layer against responder cameras on the loopback
// backend: the processor with its USB driver detects each body, connects,
// syncs settings, shoots, downloads and saves the photo, runs live view, and
// loses the camera when it is unplugged in the middle of a transfer. Also the
// detection log block and its rules, a camera held by another program, a
// camera that stops answering, and the default driver of the processor.
#include "camera_test_client.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/camera/src/mic/camera_mic_device.h"
#include "orvo/camera/src/mic/camera_mic_driver.h"
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_thread.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_canon.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_nikon.h"
#include "support/ptpsim/ptpsim_usb.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace orvo;
using camera_test::Client;
using camera_test::Seen;

namespace
{
enum class Body
{
    kGeneric,
    kFujifilm,
    kCanon,
    kNikon,
};

const char* BodyName(Body body)
{
    switch (body)
    {
    case Body::kGeneric:
        return "Generic";
    case Body::kFujifilm:
        return "Fujifilm";
    case Body::kCanon:
        return "Canon";
    default:
        return "Nikon";
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One processor with the USB driver over a loopback backend, pumped on the
// test's own thread: every pass delivers the cameras' due events, moves the
// test clock on (so that polls and live-view frames fall due), runs the
// processor's pass and then the queue.
class MicCameraLayer : public ::testing::Test
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
        client = new Client("Test::MicClient");
        ASSERT_TRUE(queue.Register(client));
        ASSERT_TRUE(client->Subscribe(CAMERA_EVENT_CHANNEL));
        ASSERT_TRUE(client->Subscribe(CAMERA_LIVEVIEW_CHANNEL));
        destination = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);

        processor = new CameraProcessor();
        driver = new MICDriver(processor, &backend);
        mic_transport_options_t options = {};
        options.timeout_ms = 2000;
        options.short_timeout_ms = 50;
        driver->SetTransportOptions(options);
        processor->AddDriver(driver);
        ASSERT_TRUE(processor->SetDownloadFolder(string_make(dir.File("photos").c_str())));
        ASSERT_TRUE(queue.Register(processor));
        ASSERT_TRUE(processor->ProcessorInitialise());
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
        usb.clear();
        nikons.clear();
        cameras.clear();
        mic_backend_release(backend);
        queue.Release();
        delete client;
        Distributor::Stop();
        Distributor::Release();
        CameraProcessor::SupportPTP = true;
    }

    // Dresses the responder as the body and plugs it in.
    ptpsim::UsbCamera& Plug(Body body, const std::string& product = "Responder Camera")
    {
        switch (body)
        {
        case Body::kGeneric:
            cameras.push_back(std::make_unique<ptpsim::Camera>(ptpsim::Personality::kGeneric));
            break;
        case Body::kFujifilm:
            cameras.push_back(std::make_unique<ptpsim::Camera>(ptpsim::Personality::kFujifilm));
            break;
        case Body::kCanon:
            cameras.push_back(std::make_unique<ptpsim::CanonCamera>());
            break;
        case Body::kNikon:
            cameras.push_back(std::make_unique<ptpsim::Camera>());
            nikons.push_back(std::make_unique<ptpsim::NikonCamera>(*cameras.back(), ptpsim::nikon_model("D810")));
            nikon = nikons.back().get();
            break;
        }
        camera = cameras.back().get();
        // A plain PTP body keeps its photos on the card as well, so that the
        // saved bytes can be compared with the camera's (in "Disk" mode the
        // copy is deleted once saved).
        if (body == Body::kGeneric || body == Body::kFujifilm)
            mtp_context_set_default(processor->GetMTPContext(), MTP_CAMERAPROPERTY_STORAGEMODE, string_make("Both"));
        this->body = body;
        ptpsim::UsbOptions options;
        options.product = product;
        usb.push_back(std::make_unique<ptpsim::UsbCamera>(*camera, backend, options));
        return *usb.back();
    }

    // What one shot of the body makes.
    void ScriptShot(u64 size)
    {
        ptpsim::ObjectInfo shot;
        shot.filename = "DSC_0042.JPG";
        if (body == Body::kNikon)
            nikon->set_shots({shot}, size);
        else if (body != Body::kCanon)
            camera->set_capture({shot}, size);
    }

    void Pass()
    {
        for (auto& u : usb)
            u->drain_events();
        clock.advance_ms(250);
        processor->ProcessorUpdate();
        queue.Pump();
        // The download threads work in real time.
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }

    bool PassUntil(const std::function<bool()>& done, int passes = 3000)
    {
        return camera_test::RepeatUntil(done, [this] { Pass(); }, passes);
    }

    CameraMessageBuilder Builder(const CameraDevice* device, photoid_t photo = -1)
    {
        return CameraMessageBuilder(queue.GetEncoder(), photo, device ? device->id : cameraid_t{CAMERAID_NONE, 0},
                                    string_make("Test"), false);
    }

    // Plugs a generic body with the storage mode given, detects and connects it.
    CameraDevice* Connected(const char* storage = "Both")
    {
        Plug(Body::kGeneric);
        mtp_context_set_default(processor->GetMTPContext(), MTP_CAMERAPROPERTY_STORAGEMODE, string_make(storage));
        processor->DetectCameras();
        if (!Only())
            return nullptr;
        EXPECT_TRUE(Request(Builder(Only()).Connect()).Bool(CAMERAFIELD_RESULT));
        return Only();
    }

    // Sends the request and runs passes until its response came.
    Seen Request(Message message)
    {
        const u32 ref = client->Send(message, destination);
        size_t found = SIZE_MAX;
        EXPECT_TRUE(PassUntil([&] { return (found = client->FindResponse(ref)) != SIZE_MAX; }));
        return found == SIZE_MAX ? Seen{} : client->responses[found];
    }

    CameraDevice* Only()
    {
        const vector_t<CameraDevice*>& devices = processor->GetDevices();
        return devices.count == 1 ? devices.data[0] : nullptr;
    }

    // A settable property of the camera with at least two values.
    bool FindProperty(CameraProperty::Type& found)
    {
        CameraSettings* settings = Only()->GetSettings();
        const CameraProperty::Type candidates[] = {CameraProperty::Aperture, CameraProperty::Iso,
                                                   CameraProperty::ShutterSpeed, CameraProperty::WhiteBalance,
                                                   CameraProperty::Exposure};
        for (CameraProperty::Type type : candidates)
            if (settings->GetProperty(type).supported && settings->GetRange(type).names.count >= 2)
            {
                found = type;
                return true;
            }
        return false;
    }

    ptpsim::TestClock clock;
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    mic_backend_t backend = {};
    MessageQueue queue;
    Client* client = nullptr;
    CameraProcessor* processor = nullptr;
    MICDriver* driver = nullptr;
    u16 destination = 0;
    Body body = Body::kGeneric;
    // Every responder stays alive while its adapter may still serve it.
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<ptpsim::NikonCamera>> nikons;
    ptpsim::Camera* camera = nullptr;
    ptpsim::NikonCamera* nikon = nullptr;
    std::vector<std::unique_ptr<ptpsim::UsbCamera>> usb;
};

class MicCameraLayerBodies : public MicCameraLayer, public ::testing::WithParamInterface<Body>
{
};

std::string BodyParamName(const ::testing::TestParamInfo<Body>& info)
{
    return BodyName(info.param);
}
} // namespace

TEST_P(MicCameraLayerBodies, DetectConnectSyncShootDownloadAndLiveView)
{
    ptpsim::UsbCamera& plugged = Plug(GetParam());
    processor->DetectCameras();
    ASSERT_NE(Only(), nullptr);
    EXPECT_TRUE(log.Contains("Status:     Newly detected"));
    EXPECT_TRUE(log.Contains("Found 1 new PTP cameras"));
    EXPECT_TRUE(plugged.session_open());

    CameraDevice* device = Only();
    EXPECT_TRUE(Request(Builder(device).Connect()).Bool(CAMERAFIELD_RESULT));
    device = Only();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->connected);
    // The record names the camera by its DeviceInfo, no longer by the layer.
    const ptpsim::DeviceInfo info = camera->deviceinfo();
    EXPECT_EQ(std::string(device->make.str), info.manufacturer);
    EXPECT_EQ(std::string(device->model.str), info.model);
    EXPECT_EQ(std::string(device->name.str), "Responder Camera");

    // Settings: a value chosen by name reaches the camera, and the settings
    // show the camera's new value after its change came back.
    CameraProperty::Type type = CameraProperty::None;
    ASSERT_TRUE(FindProperty(type)) << "no settable property with a range";
    CameraSettings* settings = device->GetSettings();
    const u64 before = settings->GetProperty(type).value;
    const u64 wanted = before == 0 ? 1 : 0;
    const stringid_t name = settings->GetRange(type).names.data[wanted];
    EXPECT_TRUE(Request(Builder(device).SetProperty(type, name)).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(PassUntil([&] { return settings->GetProperty(type).value == wanted; }));

    // Shooting: the TakePhoto request ends when the photo arrives; its
    // download then saves the camera's bytes under the computed name.
    ScriptShot(300000);
    EXPECT_TRUE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    ASSERT_GE(processor->GetPhotos().count, 1u);
    CameraPhoto* photo = processor->GetPhotos().data[0];
    ASSERT_TRUE(PassUntil([&] { return photo->downloaded; }));
    EXPECT_EQ(device->photos_taken >= 1, true);
    EXPECT_EQ(device->photos_failed, 0);
    const std::string saved = ReadFile(photo->path.str);
    ASSERT_EQ(static_cast<i64>(saved.size()), photo->size);
    ASSERT_GT(saved.size(), 0u);
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    ASSERT_TRUE(mtp_compute_hash(hash, photo->name, memory_t{saved.data(), saved.size()}));
    EXPECT_EQ(std::string(hash.str), std::string(photo->hash.str));
    stringbuffer_release(hash);
    // The bytes are the camera's own. A Canon body frees its memory copy
    // once transferred; its card copy is another object.
    bool compared = false;
    for (u32 handle : body == Body::kCanon ? std::vector<u32>() : camera->handles())
    {
        const ptpsim::Bytes bytes = camera->object_bytes(handle);
        if (bytes.size() == saved.size())
        {
            EXPECT_EQ(std::memcmp(bytes.data(), saved.data(), saved.size()), 0);
            compared = true;
        }
    }
    if (body != Body::kCanon)
    {
        EXPECT_TRUE(compared);
    }
    else
    {
        EXPECT_EQ(static_cast<u8>(saved[0]), 0xFF); // the body's JPEG
        EXPECT_EQ(static_cast<u8>(saved[1]), 0xD8);
    }

    // Live view where the body has it; a plain answer of no otherwise.
    const bool has_liveview = body == Body::kCanon || body == Body::kNikon;
    EXPECT_EQ(device->liveview_supported, has_liveview);
    EXPECT_EQ(Request(Builder(device).EnableLiveview(true)).Bool(CAMERAFIELD_RESULT), has_liveview);
    if (has_liveview)
    {
        ASSERT_TRUE(PassUntil([&] { return client->liveview.size() >= 2; }));
        EXPECT_TRUE(device->liveview_enabled);
        EXPECT_TRUE(Request(Builder(device).EnableLiveview(false)).Bool(CAMERAFIELD_RESULT));
    }
    EXPECT_TRUE(plugged.violations().empty()) << plugged.violations().front();
    EXPECT_TRUE(camera->violations().empty()) << camera->violations().front();
}

TEST_P(MicCameraLayerBodies, UnpluggedMidTransferDisconnectsAndLeavesAtTheNextDetection)
{
    ptpsim::UsbCamera& plugged = Plug(GetParam());
    processor->DetectCameras();
    ASSERT_NE(Only(), nullptr);
    CameraDevice* device = Only();
    ASSERT_TRUE(Request(Builder(device).Connect()).Bool(CAMERAFIELD_RESULT));

    // The body goes in the middle of the object's data, however it reads it.
    const u16 reads[] = {ptpsim::kOpGetObject, ptpsim::kOpGetPartialObject};
    for (u16 operation : reads)
    {
        ptpsim::UsbFault fault;
        fault.kind = ptpsim::UsbFault::Kind::kUnplugInData;
        fault.operation = operation;
        fault.value = 70000;
        plugged.add_fault(fault);
    }
    ScriptShot(2 * 1024 * 1024);
    Request(Builder(device).TakePhoto(0.0f));
    ASSERT_TRUE(PassUntil([&] { return processor->GetDevices().count == 0; }));
    // It went while the object was on its way.
    EXPECT_GE(camera->calls(ptpsim::kOpGetObject) + camera->calls(ptpsim::kOpGetPartialObject), 1);
    EXPECT_TRUE(log.Contains("MIC device removed: Responder Camera"));
    // The photo stays listed, not downloaded.
    ASSERT_GE(processor->GetPhotos().count, 1u);
    EXPECT_FALSE(processor->GetPhotos().data[0]->downloaded);

    // A camera detected afresh is a new device.
    Plug(GetParam(), "Second Body");
    processor->DetectCameras();
    ASSERT_NE(Only(), nullptr);
    EXPECT_TRUE(Only()->valid);
}

INSTANTIATE_TEST_SUITE_P(Bodies, MicCameraLayerBodies,
                         ::testing::Values(Body::kGeneric, Body::kFujifilm, Body::kCanon, Body::kNikon),
                         BodyParamName);

TEST_F(MicCameraLayer, DetectionLogsEachDeviceAndKeepsWhatItFound)
{
    struct Case
    {
        const char* product;
        bool gets_device;
        const char* status;
    };
    // The name filter ignores case and position.
    const Case cases[] = {
        {"RICOH THETA V", false, "Ignored (unsupported camera device)"},
        {"my theta s", false, "Ignored (unsupported camera device)"},
        {"xThEtAx", false, "Ignored (unsupported camera device)"},
        {"Theta", false, "Ignored (unsupported camera device)"},
        {"Thet A", true, "Newly detected"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.product);
        TearDown();
        log.Clear();
        SetUp();
        Plug(Body::kGeneric, c.product);
        processor->DetectCameras();
        EXPECT_EQ(processor->GetDevices().count, c.gets_device ? 1u : 0u);
        EXPECT_TRUE(log.Contains("MIC device: 0"));
        EXPECT_TRUE(log.Contains("Name:       " + std::string(c.product)));
        EXPECT_TRUE(log.Contains("Type:       Camera"));
        EXPECT_TRUE(log.Contains("Location:   Local"));
        EXPECT_TRUE(log.Contains("Transport:  USB"));
        EXPECT_TRUE(log.Contains(std::string("Status:     ") + c.status));
    }

    // A second detection with the same camera makes no device and keeps the
    // one it has valid.
    CameraDevice* first = Only();
    ASSERT_NE(first, nullptr);
    log.Clear();
    processor->DetectCameras();
    EXPECT_EQ(Only(), first);
    EXPECT_TRUE(first->valid);
    EXPECT_TRUE(log.Contains("Status:     Already detected"));
    EXPECT_TRUE(log.Contains("Found 0 new PTP cameras"));
}

TEST_F(MicCameraLayer, ArrivalsAskForOneDetectionAndRemovalsForNone)
{
    processor->DetectCameras(); // browsing starts
    ptpsim::Camera a, b;
    ptpsim::UsbOptions options;
    ptpsim::UsbCamera first(a, backend, options);
    options.product = "Another";
    ptpsim::UsbCamera second(b, backend, options);
    log.Clear();
    Pass(); // the tick sees both arrivals: one notice, one detection asked for
    Pass(); // the detection runs
    Pass();
    EXPECT_EQ(log.Count("New camera detected..."), 1u);
    EXPECT_EQ(log.Count("Number of PTP devices: 2"), 1u);
    EXPECT_EQ(processor->GetDevices().count, 2u);

    log.Clear();
    first.unplug();
    Pass();
    Pass();
    EXPECT_EQ(log.Count("New camera detected..."), 0u);
}

TEST_F(MicCameraLayer, ACameraHeldByAnotherProgramGetsNoDevice)
{
    ptpsim::UsbCamera& plugged = Plug(Body::kGeneric);
    plugged.set_busy(true);
    processor->DetectCameras();
    EXPECT_EQ(processor->GetDevices().count, 0u);
    EXPECT_TRUE(log.Contains("USB camera is held by another program"));
    EXPECT_TRUE(log.Contains("Status:     Newly detected"));
    EXPECT_TRUE(log.Contains("Found 1 new PTP cameras"));

    // Released by the other program, the next detection takes it.
    plugged.set_busy(false);
    processor->DetectCameras();
    EXPECT_EQ(processor->GetDevices().count, 1u);
}

TEST_F(MicCameraLayer, ACameraThatStopsAnsweringIsDisconnectedNotWaitedForForEver)
{
    mic_transport_options_t options = {};
    options.timeout_ms = 300;
    options.short_timeout_ms = 20;
    driver->SetTransportOptions(options);
    ptpsim::UsbCamera& plugged = Plug(Body::kGeneric);
    processor->DetectCameras();
    ASSERT_NE(Only(), nullptr);
    CameraDevice* device = Only();
    ASSERT_TRUE(Request(Builder(device).Connect()).Bool(CAMERAFIELD_RESULT));

    ptpsim::UsbFault silent;
    silent.kind = ptpsim::UsbFault::Kind::kNoAnswer;
    silent.remaining = -1;
    plugged.add_fault(silent);
    CameraProperty::Type type = CameraProperty::None;
    ASSERT_TRUE(FindProperty(type));
    const stringid_t name = device->GetSettings()->GetRange(type).names.data[1];
    EXPECT_FALSE(Request(Builder(device).SetProperty(type, name)).Bool(CAMERAFIELD_RESULT));
    // The engine counts the transport's failure; the camera leaves.
    EXPECT_TRUE(PassUntil([&] { return Only() == nullptr || !Only()->connected; }, 200));
}

TEST_F(MicCameraLayer, TheRequestsOfADisconnectedCameraFailAtOnce)
{
    Plug(Body::kGeneric);
    processor->DetectCameras();
    CameraDevice* device = Only();
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(Request(Builder(device).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Request(Builder(device).Disconnect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(Only()->connected);
    const i32 failed = Only()->photos_failed;
    EXPECT_FALSE(Request(Builder(Only()).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(Only()->photos_failed, failed + 1);
    EXPECT_FALSE(Request(Builder(Only()).Autofocus()).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(Request(Builder(Only()).EnableDof(true)).Bool(CAMERAFIELD_RESULT));

    // Connecting again opens a new session on the same device.
    EXPECT_TRUE(Request(Builder(Only()).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Only()->connected);
}

TEST(MicDriverDefault, TheProcessorMakesTheUsbDriverUnlessToldOtherwise)
{
    lumivane_test::LogCapture log;
    CameraProcessor::SupportPTP = true;
    {
        CameraProcessor processor;
        ASSERT_TRUE(processor.ProcessorInitialise());
        EXPECT_TRUE(log.Contains("Initialised driver: MIC"));
        // No camera is attached on this machine; detection says so cleanly.
        processor.DetectCameras();
        EXPECT_TRUE(log.Contains("Number of PTP devices: "));
        processor.ProcessorRelease();
        EXPECT_TRUE(log.Contains("Released driver: MIC"));
    }
    log.Clear();
    CameraProcessor::SupportPTP = false;
    {
        CameraProcessor processor;
        ASSERT_TRUE(processor.ProcessorInitialise());
        EXPECT_FALSE(log.Contains("Initialised driver: MIC"));
        processor.ProcessorRelease();
    }
    CameraProcessor::SupportPTP = true;
}

TEST_F(MicCameraLayer, OneCaptureAtATimeAndARefusedOneCountsAFailedPhoto)
{
    CameraDevice* device = Connected();
    ASSERT_NE(device, nullptr);
    // The photo comes a second after the release (test clock).
    ptpsim::ObjectInfo shot;
    shot.filename = "IMG_0100.JPG";
    camera->set_capture({shot}, 50000, 1000000);
    Message take = Builder(device).TakePhoto(0.0f);
    ASSERT_TRUE(client->SendRequest(take, destination));
    const u32 first = static_cast<u32>(client->GetContext(destination).lastRefNum);
    queue.Pump();
    // A second one while the first waits for its photo fails at once.
    EXPECT_FALSE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(device->photos_failed, 1);
    ASSERT_TRUE(PassUntil([&] {
        for (const Seen& r : client->responses)
            if (r.header.refNum == first)
                return true;
        return false;
    }));
    for (const Seen& r : client->responses)
    {
        if (r.header.refNum == first)
        {
            EXPECT_TRUE(r.Bool(CAMERAFIELD_RESULT));
        }
    }
    EXPECT_EQ(processor->GetPhotos().count, 1u);

    // A camera that refuses the release: the request fails, one more failed photo.
    camera->fail(ptpsim::kOpInitiateCapture, ptpsim::kRespAccessDenied, 1);
    EXPECT_FALSE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(device->photos_failed, 2);
    EXPECT_TRUE(device->connected);
}

TEST_F(MicCameraLayer, ReshootRefillsThePhotoAndKeepsItsName)
{
    CameraDevice* device = Connected();
    ASSERT_NE(device, nullptr);
    ptpsim::ObjectInfo shot;
    shot.filename = "IMG_0100.JPG";
    camera->set_capture({shot}, 40000);
    ASSERT_TRUE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    ASSERT_EQ(processor->GetPhotos().count, 1u);
    CameraPhoto* photo = processor->GetPhotos().data[0];
    ASSERT_TRUE(PassUntil([&] { return photo->downloaded; }));
    const std::string name = photo->name.str;

    shot.filename = "IMG_0101.JPG";
    shot.width = 3000;
    camera->set_capture({shot}, 45000);
    EXPECT_TRUE(Request(Builder(device, photo->index).Reshoot(0.0f)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(processor->GetPhotos().count, 1u);
    EXPECT_EQ(std::string(photo->name.str), name);
    EXPECT_EQ(std::string(photo->camera_file_name.str), "IMG_0101.JPG");
    EXPECT_EQ(photo->width, 3000);
    ASSERT_TRUE(PassUntil([&] { return photo->downloaded; }));
    EXPECT_EQ(photo->size, 45000);
    EXPECT_EQ(ReadFile(photo->path.str).size(), 45000u);
}

TEST_F(MicCameraLayer, AnExplicitDownloadRefusesAPhotoWhoseNameFailedValidation)
{
    // Photos stay on the card: only explicit downloads fetch them.
    CameraDevice* device = Connected("Card");
    ASSERT_NE(device, nullptr);
    ptpsim::ObjectInfo shot;
    shot.filename = "IMG_0200.JPG";
    camera->set_capture({shot}, 30000);
    ASSERT_TRUE(processor->SetValidation(string_make("NEVER_.*")));
    ASSERT_TRUE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(processor->SetValidation(empty_str));
    ASSERT_TRUE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    ASSERT_EQ(processor->GetPhotos().count, 2u);
    CameraPhoto* refused = processor->GetPhotos().data[0];
    CameraPhoto* accepted = processor->GetPhotos().data[1];
    ASSERT_FALSE(refused->name_valid);
    ASSERT_TRUE(accepted->name_valid);
    for (int i = 0; i < 5; ++i)
        Pass();
    EXPECT_FALSE(refused->downloaded);
    EXPECT_FALSE(accepted->downloaded);

    camera->reset_calls();
    EXPECT_FALSE(Request(Builder(device, refused->index).Download()).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(camera->calls(ptpsim::kOpGetObject) + camera->calls(ptpsim::kOpGetPartialObject), 0);
    EXPECT_FALSE(refused->downloaded);

    EXPECT_TRUE(Request(Builder(device, accepted->index).Download()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(accepted->downloaded);
    EXPECT_EQ(ReadFile(accepted->path.str).size(), 30000u);
}

TEST_F(MicCameraLayer, MirrorLockupCannotBeSetAndIsPublishedUnchanged)
{
    CameraDevice* device = Connected();
    ASSERT_NE(device, nullptr);
    CameraProperty& property = device->GetSettings()->GetProperty(CameraProperty::MirrorLockup);
    EXPECT_FALSE(property.supported);
    const i32 version = property.value_version;
    device->SetProperty(CameraProperty::MirrorLockup, 1);
    EXPECT_EQ(property.value_version, version + 1);
    // An index the camera does not have fails the same way.
    CameraProperty::Type type = CameraProperty::None;
    ASSERT_TRUE(FindProperty(type));
    CameraProperty& other = device->GetSettings()->GetProperty(type);
    const i32 other_version = other.value_version;
    const u64 value = other.value;
    device->SetProperty(type, 100000);
    EXPECT_EQ(other.value_version, other_version + 1);
    EXPECT_EQ(other.value, value);
}

TEST_F(MicCameraLayer, BatteryFollowsTheCamerasPowerSource)
{
    CameraDevice* device = Connected();
    ASSERT_NE(device, nullptr);
    EXPECT_FLOAT_EQ(device->battery, 1.0f); // the responder's full battery
    struct Case
    {
        int level;
        float battery;
    };
    // Levels above 100 are a mains adapter.
    const Case cases[] = {{75, 0.75f}, {255, 2.0f}, {10, 0.10f}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.level);
        camera->change_property(ptpsim::kPropBatteryLevel, ptpsim::Value::integer(c.level), true);
        Pass(); // the change event refreshes the property
        Pass();
        clock.advance_ms(MTP_BATTERY_CHECK_PERIOD); // the battery is looked at once a minute
        EXPECT_TRUE(PassUntil([&] { return device->battery == c.battery; }, 40));
    }
}

TEST_F(MicCameraLayer, AutofocusEndsWithTheCamerasReport)
{
    struct Case
    {
        const char* why;
        Body body;
        int focus_result; // Canon: -1 never reported
        bool focused;
    };
    const Case cases[] = {
        {"Canon reports focus", Body::kCanon, 1, true},
        {"Canon never reports", Body::kCanon, -1, false},
        {"a generic body cannot focus", Body::kGeneric, 0, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TearDown();
        SetUp();
        Plug(c.body);
        if (c.body == Body::kCanon)
            static_cast<ptpsim::CanonCamera*>(camera)->set_focus_result(c.focus_result);
        processor->DetectCameras();
        CameraDevice* device = Only();
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(Request(Builder(device).Connect()).Bool(CAMERAFIELD_RESULT));
        EXPECT_EQ(Request(Builder(device).Autofocus()).Bool(CAMERAFIELD_RESULT), c.focused);
        EXPECT_EQ(device->focused, c.focused);
        EXPECT_EQ(device->autofocus_count, 1);
    }
}

// A Download request waits for its own photo: another photo's download that
// ends first (an automatic one, say) is reported as usual and leaves the
// request waiting.
TEST_F(MicCameraLayer, ADownloadRequestEndsOnlyWithItsOwnPhoto)
{
    CameraDevice* device = Connected("Card");
    ASSERT_NE(device, nullptr);
    ptpsim::ObjectInfo shot;
    shot.filename = "IMG_0300.JPG";
    camera->set_capture({shot}, 30000);
    ASSERT_TRUE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    shot.filename = "IMG_0301.JPG";
    camera->set_capture({shot}, 32000);
    ASSERT_TRUE(Request(Builder(device).TakePhoto(0.0f)).Bool(CAMERAFIELD_RESULT));
    ASSERT_EQ(processor->GetPhotos().count, 2u);
    CameraPhoto* other = processor->GetPhotos().data[0];
    CameraPhoto* wanted = processor->GetPhotos().data[1];

    Message request = Builder(device, wanted->index).Download();
    ASSERT_TRUE(client->SendRequest(request, destination));
    const u32 ref = static_cast<u32>(client->GetContext(destination).lastRefNum);
    queue.Pump(); // the request reaches the processor, its download is queued
    auto answered = [&] {
        for (const Seen& r : client->responses)
            if (r.header.refNum == ref)
                return true;
        return false;
    };
    ASSERT_FALSE(answered());

    // The other photo's download ends (failed) before the wanted one.
    mtp_downloadtask_t finished = {};
    finished.photo = other;
    finished.success = false;
    static_cast<MICDevice*>(device)->OnDownloadFinished(finished);
    queue.Pump();
    EXPECT_FALSE(answered());

    ASSERT_TRUE(PassUntil(answered));
    for (const Seen& r : client->responses)
    {
        if (r.header.refNum == ref)
        {
            EXPECT_TRUE(r.Bool(CAMERAFIELD_RESULT));
        }
    }
    EXPECT_TRUE(wanted->downloaded);
    EXPECT_EQ(ReadFile(wanted->path.str).size(), 32000u);
    EXPECT_FALSE(other->downloaded);
}

TEST_F(MicCameraLayer, ReleasingTheProcessorEndsLiveViewOnceAndReadsNothingFromAClosedSession)
{
    ptpsim::UsbCamera& plugged = Plug(Body::kNikon);
    processor->DetectCameras();
    ASSERT_NE(Only(), nullptr);
    ASSERT_TRUE(Request(Builder(Only()).Connect()).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(Request(Builder(Only()).EnableLiveview(true)).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(PassUntil([&] { return client->liveview.size() >= 1; }));
    ASSERT_TRUE(nikon->liveview_on());

    // The release disconnects every camera, then deletes its device, whose
    // own disconnect must not talk to the camera a second time.
    log.Clear();
    camera->reset_calls();
    processor->ProcessorRelease();
    EXPECT_FALSE(nikon->liveview_on());
    EXPECT_EQ(camera->calls(ptpsim::kNikonOpEndLiveView), 1);
    EXPECT_FALSE(plugged.session_open());
    EXPECT_FALSE(log.Contains("Failed to execute read command"));
    EXPECT_FALSE(log.Contains("Session_Not_Open"));
    EXPECT_TRUE(plugged.violations().empty()) << plugged.violations().front();
}
