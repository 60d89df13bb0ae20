// The four simulated cameras behind the camera processor, driven through real
// request messages and observed through a camera data surface: stable
// detection, settings filled on connection, storage modes, bulb, live view
// with zoom, position and frame rate 0, and the camera modes they refuse.
#include "camera_simulated_fixture.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

using namespace simulated_test;

namespace
{
std::vector<u8> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
} // namespace

TEST_F(SimulatedCameras, DetectionGivesTheSameFourCamerasEveryTime)
{
    ASSERT_TRUE(Start());
    for (int pass = 0; pass < 2; ++pass)
    {
        SCOPED_TRACE(pass);
        ASSERT_TRUE(Simple(CameraRequest::DetectCameras).Bool(CAMERAFIELD_RESULT));
        ASSERT_EQ(surface->GetCameras().count, 4u);
        for (u64 i = 0; i < 4; ++i)
        {
            const camera_t& camera = CameraRecord(i);
            EXPECT_EQ(Text(camera.name), "TEST " + std::to_string(i));
            EXPECT_EQ(Text(camera.serial), std::to_string(i));
            EXPECT_EQ(Text(camera.make), "TEST mac");
            EXPECT_EQ(Text(camera.model), "TEST Camera");
            // The second pass keeps the ids of the first.
            EXPECT_EQ(camera.id.id, static_cast<i32>(i));
            EXPECT_EQ(camera.id.index, static_cast<i64>(i));
            EXPECT_TRUE(camera.valid);
            EXPECT_FALSE(camera.connected);
            EXPECT_TRUE(camera.bulb_supported && camera.liveview_supported && camera.autofocus_supported);
        }
    }
    EXPECT_EQ(CountInformation("4 cameras detected"), 2u);
}

TEST_F(SimulatedCameras, ConnectionFillsTheSettingsOnceAndAfreshAfterADisconnection)
{
    ASSERT_TRUE(StartConnected());
    // A second connect of connected cameras must not append the ranges again.
    ASSERT_TRUE(Request(Builder(Camera(0), true).Connect()).Bool(CAMERAFIELD_RESULT));
    struct Expected
    {
        CameraProperty::Type type;
        u64 names;
        const char* value;
    };
    const Expected table[] = {
        {CameraProperty::Aperture, 4, "4.5"},      {CameraProperty::ShutterSpeed, 54, "1/25"},
        {CameraProperty::Iso, 4, "100"},           {CameraProperty::Exposure, 5, "0"},
        {CameraProperty::Quality, 4, "RAW"},       {CameraProperty::ProgramMode, 4, "Program"},
        {CameraProperty::MeteringMode, 4, "Spot"}, {CameraProperty::DriveMode, 2, "Single"},
        {CameraProperty::FocusMode, 3, "One Shot"}, {CameraProperty::WhiteBalance, 7, "AUTO"},
        {CameraProperty::Storage, 4, "Disk"},
    };
    for (int round = 0; round < 2; ++round)
    {
        for (u64 camera = 0; camera < 4; ++camera)
        {
            const CameraSettings& settings = *surface->GetSettings().data[camera];
            for (const Expected& e : table)
            {
                SCOPED_TRACE(std::to_string(round) + " camera " + std::to_string(camera) + " " +
                             CameraProperty::GetName(e.type));
                EXPECT_TRUE(settings.GetProperty(e.type).supported);
                EXPECT_EQ(settings.GetRange(e.type).names.count, e.names);
                EXPECT_EQ(ValueName(camera, e.type), e.value);
            }
            EXPECT_FALSE(settings.GetProperty(CameraProperty::MirrorLockup).supported);
            EXPECT_TRUE(CameraRecord(camera).connected);
            EXPECT_EQ(CameraRecord(camera).battery, 2.0f);
        }
        // Disconnected cameras have no settings; connecting fills them anew.
        ASSERT_TRUE(Request(Builder(Camera(0), true).Disconnect()).Bool(CAMERAFIELD_RESULT));
        EXPECT_FALSE(CameraRecord(2).connected);
        EXPECT_EQ(CameraRecord(2).battery, -1.0f);
        ASSERT_TRUE(Request(Builder(Camera(0), true).Connect()).Bool(CAMERAFIELD_RESULT));
    }
}

TEST_F(SimulatedCameras, StorageModesDecideWhetherAShotIsDownloaded)
{
    ASSERT_TRUE(StartConnected());
    struct Case
    {
        const char* storage;
        bool downloaded;
    };
    const Case cases[] = {{"Card", false}, {"Disk", true}, {"Both", true}, {"JPEG", true}, {"card", false}};
    u64 photo = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.storage);
        ASSERT_TRUE(SetProperty(1, CameraProperty::Storage, c.storage));
        ASSERT_TRUE(TakePhoto(1));
        Settle(1);
        ASSERT_EQ(NumPhotos(), photo + 1);
        const photo_t& p = Photo(photo);
        EXPECT_EQ(p.downloaded, c.downloaded);
        EXPECT_EQ(p.owner.id, Camera(1).id);
        EXPECT_EQ(Text(p.origin), "Test");
        if (c.downloaded)
        {
            EXPECT_TRUE(file_exists(p.path));
            EXPECT_EQ(Text(p.hash).size(), 32u);
            EXPECT_EQ(ReadFile(Text(p.path)).size(), static_cast<size_t>(p.size));
            EXPECT_EQ(CountInformation("Photo downloaded: " + Text(p.name)), 1u);
        }
        ++photo;
    }
    EXPECT_EQ(CameraRecord(1).photos_taken, 5);
    EXPECT_EQ(CameraRecord(1).downloads_complete, 3);
    // The photos were taken from the three samples in turn.
    EXPECT_EQ(Text(Photo(0).camera_file_name), "IMG_0001.JPG");
    EXPECT_EQ(Text(Photo(1).camera_file_name), "IMG_0002.JPG");
    EXPECT_EQ(Text(Photo(3).camera_file_name), "IMG_0001.JPG");
}

TEST_F(SimulatedCameras, BulbRunsOnlyWithTheBulbShutterAndRefusesTimesOutsideADay)
{
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(SetProperty(0, CameraProperty::ShutterSpeed, "Bulb"));
    EXPECT_TRUE(CameraRecord(0).bulb_enabled);
    ASSERT_TRUE(TakePhoto(0, 2.0f));
    EXPECT_EQ(log.Count("Bulb exposure of 2000 ms: TEST 0"), 1u);

    const float refused[] = {-1.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                             86401.0f, 1e30f};
    for (float bulb : refused)
    {
        SCOPED_TRACE(bulb);
        const u64 before = NumPhotos();
        const Seen response = Request(Builder(Camera(0)).TakePhoto(bulb));
        EXPECT_FALSE(response.Bool(CAMERAFIELD_RESULT));
        EXPECT_EQ(NumPhotos(), before);
    }
    EXPECT_EQ(CountInformation("ERROR: Failed to take photo"), 5u);
    EXPECT_EQ(log.Count("Bulb exposure"), 1u);

    // Any other shutter speed clears bulb and takes the photo at once.
    ASSERT_TRUE(SetProperty(0, CameraProperty::ShutterSpeed, "1/125"));
    EXPECT_FALSE(CameraRecord(0).bulb_enabled);
    ASSERT_TRUE(TakePhoto(0, 2.0f));
    EXPECT_EQ(log.Count("Bulb exposure"), 1u);
    // A whole day is still accepted.
    EXPECT_TRUE(Request(Builder(Camera(0)).TakePhoto(86400.0f)).Bool(CAMERAFIELD_RESULT));
}

TEST_F(SimulatedCameras, LiveviewZoomAndPositionMoveTheSensorRegion)
{
    ASSERT_TRUE(StartConnected());
    auto region = [&](u64 camera) {
        const float* r = CameraRecord(camera).sensor_region;
        return std::vector<float>{r[0], r[1], r[2], r[3]};
    };
    ASSERT_TRUE(Request(Builder(Camera(2)).EnableLiveview(true)).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(CameraRecord(2).liveview_enabled);
    EXPECT_EQ(CameraRecord(2).sensor_width, 6000);
    EXPECT_EQ(CameraRecord(2).sensor_height, 4000);
    EXPECT_EQ(region(2), (std::vector<float>{0, 0, 6000, 4000}));

    ASSERT_TRUE(Request(Builder(Camera(2)).EnableLiveviewZoom(true)).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(CameraRecord(2).liveview_zoom_enabled);
    EXPECT_EQ(region(2), (std::vector<float>{2600, 1700, 3400, 2300}));
    ASSERT_TRUE(Request(Builder(Camera(2)).PositionLiveview(100, 50)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(region(2), (std::vector<float>{2700, 1650, 3500, 2250}));
    ASSERT_TRUE(Request(Builder(Camera(2)).EnableLiveviewZoom(false)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(region(2), (std::vector<float>{0, 0, 6000, 4000}));
    EXPECT_GE(CameraRecord(2).liveview_changes, 4);
    // Other cameras were not touched.
    EXPECT_FALSE(CameraRecord(1).liveview_enabled);
}

TEST_F(SimulatedCameras, FramesFlowAtTheFrameRateAndNotAtRateZero)
{
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(Request(Builder(Camera(0)).SetLiveviewFPS(0, -1)).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(Request(Builder(Camera(0)).EnableLiveview(true)).Bool(CAMERAFIELD_RESULT));
    Settle(8);
    EXPECT_TRUE(client->liveview.empty());
    EXPECT_EQ(CameraRecord(0).liveview_frames, 0);

    // The positive control: the same camera at 20 frames per second.
    ASSERT_TRUE(Request(Builder(Camera(0)).SetLiveviewFPS(20, -1)).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(PumpUntil([&] { return client->liveview.size() >= 3; }));
    std::vector<std::vector<u8>> samples;
    for (int i = 1; i <= 4; ++i)
    {
        char name[32];
        std::snprintf(name, sizeof(name), "/liveview/frame_%03d.jpg", i);
        samples.push_back(ReadFile(dir.File("samples") + name));
    }
    for (size_t i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(i);
        const Seen& frame = client->liveview[i];
        EXPECT_EQ(frame.Int(CAMERAFIELD_EVENT), CAMERAEVENT_LIVEVIEW);
        // The shared frame counter starts by stepping to the second file.
        EXPECT_EQ(frame.Bytes(CAMERAFIELD_LIVEVIEW_FRAME), samples[(i + 1) % samples.size()]);
    }
    EXPECT_GE(CameraRecord(0).liveview_frames, 3);

    // Recording on: the frames are written into the live-view folder,
    // which recording creates.
    const std::string recordings = dir.File("recorded");
    ASSERT_TRUE(With(CameraRequest::SetOptions, [&](MessageEncoder& e) {
                    e.AddField(CAMERAFIELD_LIVEVIEW_FOLDER, recordings.c_str());
                }).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(Request(Builder(Camera(0)).EnableLiveviewRecord(true)).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(dir_exists(string_make(recordings.c_str())));
    ASSERT_TRUE(PumpUntil([&] { return log.Contains("Liveview frame saved to: " + recordings + "/Camera0_"); }));

    // Live view off: no more frames.
    ASSERT_TRUE(Request(Builder(Camera(0)).EnableLiveview(false)).Bool(CAMERAFIELD_RESULT));
    const size_t frames = client->liveview.size();
    Settle(6);
    EXPECT_EQ(client->liveview.size(), frames);
}

TEST_F(SimulatedCameras, CameraModesTheSimulatedCamerasHaveAndRefuse)
{
    ASSERT_TRUE(StartConnected());
    struct Case
    {
        const char* name;
        std::function<Message()> request;
        bool result;
        const char* notice; // "" for none
    };
    const Case cases[] = {
        {"autofocus", [&] { return Builder(Camera(3)).Autofocus(); }, true, "Auto focus done"},
        {"focus step", [&] { return Builder(Camera(3)).FocusLiveview(3); }, false,
         "ERROR: Failed to change Liveview focus"},
        {"depth of field", [&] { return Builder(Camera(3)).EnableDof(true); }, false,
         "ERROR: Failed to change Depth of Field Preview"},
        {"video", [&] { return Builder(Camera(3)).EnableVideo(true); }, false,
         "ERROR: Failed to toggle video recording"},
        {"shutter button", [&] { return Builder(Camera(3)).SetShutterButton(1); }, true, ""},
        {"time", [&] { return Builder(Camera(3)).SetTime(1500, TIMEUNIT_MILLISECONDS); }, false,
         "ERROR: Failed to synchronise time"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const size_t before = c.notice[0] ? CountInformation(c.notice) : 0;
        EXPECT_EQ(Request(c.request()).Bool(CAMERAFIELD_RESULT), c.result);
        if (c.notice[0])
        {
            EXPECT_EQ(CountInformation(c.notice), before + 1);
        }
    }
    EXPECT_TRUE(CameraRecord(3).focused);
    EXPECT_EQ(CameraRecord(3).autofocus_count, 1);
    EXPECT_EQ(CountInformation("Starting video recording..."), 1u);
    EXPECT_FALSE(CameraRecord(3).busy);

    // Requests for every connected camera, whatever camera they name.
    EXPECT_TRUE(Simple(CameraRequest::Format).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Formatting memory cards..."), 1u);
    EXPECT_EQ(CountInformation("Format complete"), 1u);
    EXPECT_FALSE(Simple(CameraRequest::QueryTime).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Request(Builder(Camera(0), true).Autofocus()).Bool(CAMERAFIELD_RESULT));
    for (u64 i = 0; i < 4; ++i)
        EXPECT_TRUE(CameraRecord(i).focused);
}

TEST_F(SimulatedCameras, EnvironmentVariableAddsTheSimulatedCameras)
{
    // A processor with no driver of its own finds the four cameras only when
    // the environment asks for them.
    delete processor;
    processor = new CameraProcessor();
    processor->SetDownloadFolder(string_make(photos.c_str()));
    ASSERT_EQ(setenv(CAMERA_SIMULATED_ENVIRONMENT, "1", 1), 0);
    ASSERT_TRUE(Start());
    unsetenv(CAMERA_SIMULATED_ENVIRONMENT);
    ASSERT_TRUE(Simple(CameraRequest::DetectCameras).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(surface->GetCameras().count, 4u);
    EXPECT_TRUE(log.Contains("Initialised driver: TEST mac"));
}

TEST(SimulatedCamerasOff, NoDriverWithoutTheEnvironmentVariable)
{
    lumivane_test::LogCapture log;
    const char* values[] = {nullptr, "0", "yes", ""};
    for (const char* value : values)
    {
        SCOPED_TRACE(value ? value : "(unset)");
        if (value)
            setenv(CAMERA_SIMULATED_ENVIRONMENT, value, 1);
        else
            unsetenv(CAMERA_SIMULATED_ENVIRONMENT);
        CameraProcessor::SupportPTP = false;
        CameraProcessor processor;
        log.Clear();
        ASSERT_TRUE(processor.ProcessorInitialise());
        processor.DetectCameras();
        EXPECT_EQ(processor.GetDevices().count, 0u);
        EXPECT_FALSE(log.Contains("TEST mac"));
        processor.ProcessorRelease();
    }
    unsetenv(CAMERA_SIMULATED_ENVIRONMENT);
    CameraProcessor::SupportPTP = true;
}
