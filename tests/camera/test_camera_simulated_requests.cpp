// Every camera request through real messages against the simulated cameras:
// targeting and field checks, photo requests (reshoot, download, download
// all, rename, delete, rollback, relink), names and options, sequence and
// batch numbers, SetProperty with partial failure, and the faults mended in
// request handling: request deadlines, a pending download that waits for its
// own photo, and a rollback that meets a download in flight.
#include "camera_simulated_fixture.h"

#include "support/support_scripted_camera.h"

#include <unistd.h>

using namespace simulated_test;

namespace
{
const cameraid_t NO_CAMERA = {CAMERAID_NONE, 0};
} // namespace

TEST_F(SimulatedCameras, RequestsForOneCameraFailWithoutOneAndCallNothing)
{
    ASSERT_TRUE(StartConnected());
    struct Case
    {
        const char* name;
        std::function<Message()> request;
    };
    const Case cases[] = {
        {"connect", [&] { return Builder(NO_CAMERA).Connect(); }},
        {"disconnect", [&] { return Builder(NO_CAMERA).Disconnect(); }},
        {"take photo", [&] { return Builder(NO_CAMERA).TakePhoto(0.0f); }},
        {"autofocus", [&] { return Builder(NO_CAMERA).Autofocus(); }},
        {"live view", [&] { return Builder(NO_CAMERA).EnableLiveview(true); }},
        {"zoom", [&] { return Builder(NO_CAMERA).EnableLiveviewZoom(true); }},
        {"focus", [&] { return Builder(NO_CAMERA).FocusLiveview(1); }},
        {"position", [&] { return Builder(NO_CAMERA).PositionLiveview(1, 1); }},
        {"frame rate", [&] { return Builder(NO_CAMERA).SetLiveviewFPS(10, 10); }},
        {"depth of field", [&] { return Builder(NO_CAMERA).EnableDof(true); }},
        {"video", [&] { return Builder(NO_CAMERA).EnableVideo(true); }},
        {"property", [&] { return Builder(NO_CAMERA).SetProperty(CameraProperty::Iso, string_make("200")); }},
        {"shutter button", [&] { return Builder(NO_CAMERA).SetShutterButton(1); }},
        {"reshoot without photo", [&] { return Builder(Camera(0)).Reshoot(0.0f); }},
        {"download without photo", [&] { return Builder(Camera(0)).Download(); }},
        {"rename without photo", [&] { return Builder(Camera(0)).Rename(string_make("x")); }},
        {"delete without photo", [&] { return Builder(Camera(0)).Delete(); }},
        {"rollback without photo", [&] { return Builder(Camera(0)).Rollback(); }},
        {"relink without photo", [&] { return Builder(Camera(0)).RelinkPhoto(Camera(0)); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Request(c.request()).Bool(CAMERAFIELD_RESULT));
    }
    // Nothing reached a camera: no photo, no live view, no change.
    EXPECT_EQ(NumPhotos(), 0u);
    for (u64 i = 0; i < 4; ++i)
    {
        EXPECT_TRUE(CameraRecord(i).connected);
        EXPECT_FALSE(CameraRecord(i).liveview_enabled);
        EXPECT_EQ(CameraRecord(i).liveview_fps, 20);
        EXPECT_EQ(ValueName(i, CameraProperty::Iso), "100");
    }
    EXPECT_EQ(CountInformation("ERROR: Failed to rename photo"), 1u);
    EXPECT_EQ(CountInformation("ERROR: Failed to delete photo"), 1u);
    EXPECT_EQ(CountInformation("ERROR: Failed to rollback photos"), 1u);
}

TEST_F(SimulatedCameras, FieldsOfTheWrongTypeFailTheRequest)
{
    ASSERT_TRUE(StartConnected());
    const cameraid_t camera = Camera(1);
    auto target = [camera](MessageEncoder& e) { e.AddField(CAMERAFIELD_CAMERA, &camera, 1, sizeof(cameraid_t)); };
    struct Case
    {
        const char* name;
        i32 type;
        std::function<void(MessageEncoder&)> fields;
    };
    const Case cases[] = {
        {"focus step as text", CameraRequest::LiveviewFocus,
         [&](MessageEncoder& e) { target(e); e.AddField(CAMERAFIELD_LIVEVIEW_FOCUS, "3"); }},
        {"position of one element", CameraRequest::LiveviewPosition,
         [&](MessageEncoder& e) {
             target(e);
             const i32 x = 5;
             e.AddField(CAMERAFIELD_LIVEVIEW_POSITION, &x, 1, 4);
         }},
        {"frame rates both missing", CameraRequest::LiveviewFPS, [&](MessageEncoder& e) { target(e); }},
        {"property type 12", CameraRequest::SetProperty,
         [&](MessageEncoder& e) {
             target(e);
             const u32 type = 12;
             e.AddField(CAMERAFIELD_PROPERTY_TYPE, &type, 1, 4);
             e.AddField(CAMERAFIELD_PROPERTY_VALUE, "100");
         }},
        {"property value as int", CameraRequest::SetProperty,
         [&](MessageEncoder& e) {
             target(e);
             const u32 type = CameraProperty::Iso;
             e.AddField(CAMERAFIELD_PROPERTY_TYPE, &type, 1, 4);
             e.AddField(CAMERAFIELD_PROPERTY_VALUE, 200);
         }},
        {"name without serial", CameraRequest::SetName,
         [&](MessageEncoder& e) {
             target(e);
             e.AddField(CAMERAFIELD_CAMERA_NAME, "Left");
             e.AddField(CAMERAFIELD_CAMERA_GROUP, "Rig");
         }},
        {"time as float", CameraRequest::SetTime, [&](MessageEncoder& e) { e.AddField(CAMERAFIELD_TIME, 1.5f); }},
        {"shutter button negative", CameraRequest::SetShutterButton,
         [&](MessageEncoder& e) { target(e); e.AddField(CAMERAFIELD_SHUTTER_BUTTON, -1); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(With(c.type, c.fields).Bool(CAMERAFIELD_RESULT));
    }
    EXPECT_EQ(CameraRecord(1).name_changes, 0);
    EXPECT_EQ(ValueName(1, CameraProperty::Iso), "100");

    // Boolean fields of another type mean off: live view stays off.
    EXPECT_TRUE(With(CameraRequest::EnableLiveview, [&](MessageEncoder& e) {
                    target(e);
                    e.AddField(CAMERAFIELD_LIVEVIEW, 1);
                }).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(CameraRecord(1).liveview_enabled);
}

TEST_F(SimulatedCameras, SetPropertyMatchesNamesIgnoringCaseAndFailsPartlyForCamerasWithoutTheName)
{
    // A fifth camera of another driver is connected but has no ranges.
    lumivane_test::ScriptedDriver* scripted = new lumivane_test::ScriptedDriver(processor);
    lumivane_test::CameraScript script;
    script.serial = "S";
    scripted->Attach(script);
    processor->AddDriver(scripted);
    ASSERT_TRUE(StartConnected());
    ASSERT_EQ(surface->GetCameras().count, 5u);

    EXPECT_TRUE(SetProperty(0, CameraProperty::WhiteBalance, "daylight"));
    EXPECT_EQ(ValueName(0, CameraProperty::WhiteBalance), "Daylight");
    EXPECT_FALSE(SetProperty(0, CameraProperty::WhiteBalance, "Moonlight"));
    EXPECT_EQ(ValueName(0, CameraProperty::WhiteBalance), "Daylight");

    // For all cameras: the four simulated ones change, the fifth is skipped
    // and the request fails.
    const Seen response = Request(Builder(NO_CAMERA, true).SetProperty(CameraProperty::Iso, string_make("400")));
    EXPECT_FALSE(response.Bool(CAMERAFIELD_RESULT));
    for (u64 i = 0; i < 5; ++i)
    {
        SCOPED_TRACE(i);
        if (Text(CameraRecord(i).make) == "TEST mac")
        {
            EXPECT_EQ(ValueName(i, CameraProperty::Iso), "400");
        }
    }
    EXPECT_EQ(scripted->Calls("S")->property.load(), 0);
    EXPECT_EQ(CountInformation("ERROR: Failed to change camera setting"), 2u);

    // A name no camera has: the request fails although no camera was called.
    EXPECT_FALSE(Request(Builder(NO_CAMERA, true).SetProperty(CameraProperty::Iso, string_make("f/5.6")))
                     .Bool(CAMERAFIELD_RESULT));
}

TEST_F(SimulatedCameras, PhotoRequestsRenameDeleteDownloadAndRelink)
{
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(SetProperty(0, CameraProperty::Storage, "Card"));
    ASSERT_TRUE(TakePhoto(0));
    ASSERT_TRUE(TakePhoto(0));
    ASSERT_TRUE(SetProperty(0, CameraProperty::Storage, "Disk"));
    ASSERT_TRUE(TakePhoto(0));
    ASSERT_EQ(NumPhotos(), 3u);
    EXPECT_FALSE(Photo(0).downloaded);
    EXPECT_TRUE(Photo(2).downloaded);

    // A rename of a photo not yet downloaded only changes its name.
    EXPECT_TRUE(Request(Builder(Camera(0), false, 0).Rename(string_make("Early.JPG"))).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(Text(Photo(0).name), "Early.JPG");
    EXPECT_EQ(CountInformation("Photo renamed to: Early.JPG"), 1u);

    // DownloadAll queues the two photos still on the card.
    EXPECT_TRUE(Simple(CameraRequest::DownloadAll).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Downloading 2 photos"), 1u);
    ASSERT_TRUE(PumpUntil([&] { return Photo(0).downloaded && Photo(1).downloaded; }));
    EXPECT_EQ(Text(Photo(0).path), photos + "/Early.JPG");
    EXPECT_TRUE(file_exists(Photo(0).path));
    EXPECT_TRUE(Simple(CameraRequest::DownloadAll).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("No photos to download"), 1u);

    // Download of a downloaded photo succeeds and reports it again.
    const std::string second = Text(Photo(1).name);
    EXPECT_TRUE(Request(Builder(Camera(0), false, 1).Download()).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Photo downloaded: " + second), 2u);
    EXPECT_GE(CountInformation("Downloading content"), 1u);

    // A downloaded photo's file is renamed; the extension stays the photo's
    // type and a clash gets "_1". A name cannot leave the download folder.
    EXPECT_TRUE(Request(Builder(Camera(0), false, 1).Rename(string_make("Holiday.png"))).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(Text(Photo(1).name), "Holiday.JPG");
    EXPECT_TRUE(file_exists(string_make((photos + "/Holiday.JPG").c_str())));
    EXPECT_TRUE(Request(Builder(Camera(0), false, 2).Rename(string_make("Holiday"))).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(Text(Photo(2).name), "Holiday_1.JPG");
    EXPECT_TRUE(Request(Builder(Camera(0), false, 2).Rename(string_make("../escape"))).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(Text(Photo(2).path), photos + "/___escape.JPG"); // "..", then "/"

    // Delete removes the file; deleting again succeeds; a deleted photo
    // keeps its name and cannot be downloaded.
    const std::string path = Text(Photo(1).path);
    EXPECT_TRUE(Request(Builder(Camera(0), false, 1).Delete()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Photo(1).deleted);
    EXPECT_FALSE(file_exists(string_make(path.c_str())));
    EXPECT_EQ(CountInformation("Deleted: Holiday.JPG"), 1u);
    EXPECT_TRUE(log.Contains("File deleted: " + path));
    EXPECT_TRUE(Request(Builder(Camera(0), false, 1).Delete()).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(Request(Builder(Camera(0), false, 1).Rename(string_make("Again"))).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("ERROR: Failed to rename: Holiday.JPG"), 1u);

    // Relink without a camera orphans the photo; with one it belongs to it.
    EXPECT_TRUE(Request(Builder(NO_CAMERA, false, 0).RelinkPhoto(NO_CAMERA)).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Photo(0).orphaned);
    EXPECT_EQ(Photo(0).owner.id, CAMERAID_NONE);
    EXPECT_TRUE(Request(Builder(NO_CAMERA, false, 0).RelinkPhoto(Camera(3))).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(Photo(0).orphaned);
    EXPECT_TRUE(cameraid_equal(Photo(0).owner, Camera(3)));
}

TEST_F(SimulatedCameras, ReshootRefillsThePhotoAndKeepsItsName)
{
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(TakePhoto(2));
    ASSERT_EQ(NumPhotos(), 1u);
    const std::string name = Text(Photo(0).name);
    const i32 sequence = Photo(0).sequence;
    ASSERT_TRUE(file_exists(Photo(0).path));

    const Seen response = Request(Builder(NO_CAMERA, false, 0).Reshoot(0.0f));
    EXPECT_TRUE(response.Bool(CAMERAFIELD_RESULT));
    cameraid_t answered;
    ASSERT_TRUE(camerarequest_get_camera(response.View(), answered));
    EXPECT_TRUE(cameraid_equal(answered, Camera(2)));
    Settle(1);
    ASSERT_EQ(NumPhotos(), 1u);
    EXPECT_EQ(Text(Photo(0).name), name);
    EXPECT_EQ(Photo(0).sequence, sequence);
    EXPECT_EQ(CountInformation("Reshooting photo..."), 1u);
    EXPECT_EQ(CountInformation("Photo reshot: " + name), 1u);
    // The old file went with the reshoot; the new one was downloaded.
    EXPECT_TRUE(Photo(0).downloaded);
    EXPECT_TRUE(file_exists(Photo(0).path));
    // The name stays; the content is the next sample's.
    EXPECT_EQ(Text(Photo(0).camera_file_name), "IMG_0001.JPG");
    EXPECT_EQ(file_num_bytes(Photo(0).path), file_num_bytes(string_make((dir.File("samples") + "/IMG_0002.JPG").c_str())));
    EXPECT_NE(file_num_bytes(Photo(0).path), file_num_bytes(string_make((dir.File("samples") + "/IMG_0001.JPG").c_str())));
    EXPECT_EQ(CameraRecord(2).photos_taken, 1);

    // A reshoot whose camera has gone fails.
    ASSERT_TRUE(Request(Builder(NO_CAMERA, false, 0).RelinkPhoto(NO_CAMERA)).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(Request(Builder(NO_CAMERA, false, 0).Reshoot(0.0f)).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("ERROR: Failed to reshoot photo"), 1u);
}

TEST_F(SimulatedCameras, RollbackDeletesLaterPhotosAndResetsTheNumbers)
{
    ASSERT_TRUE(StartConnected());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(TakePhoto(static_cast<u64>(i % 2)));
    ASSERT_EQ(NumPhotos(), 5u);
    std::vector<std::string> paths;
    for (u64 i = 0; i < 5; ++i)
        paths.push_back(Text(Photo(i).path));
    const i32 sequence = Photo(2).sequence;
    const i32 batch = Photo(2).batch;

    EXPECT_TRUE(Request(Builder(NO_CAMERA, false, 2).Rollback()).Bool(CAMERAFIELD_RESULT));
    for (u64 i = 0; i < 5; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(Photo(i).deleted, i >= 2);
        EXPECT_EQ(file_exists(string_make(paths[i].c_str())), i < 2);
    }
    EXPECT_EQ(CountInformation("Rolling back photos..."), 1u);
    EXPECT_EQ(CountInformation("Rollback complete"), 1u);
    for (u64 i = 0; i < 4; ++i)
        EXPECT_EQ(CameraRecord(i).batch_number, batch);

    // The next photo takes the rolled-back photo's sequence number.
    ASSERT_TRUE(TakePhoto(3));
    EXPECT_EQ(Photo(5).sequence, sequence);
}

TEST_F(SimulatedCameras, NamesOptionsSequenceAndBatchNumbers)
{
    ASSERT_TRUE(StartConnected());
    // SetName: the camera and the serial table take the name and group.
    ASSERT_TRUE(Request(Builder(Camera(1)).SetName(string_make("Left"), string_make("Rig A"), string_make("1")))
                    .Bool(CAMERAFIELD_RESULT));
    Simple(CameraRequest::Synchronise);
    EXPECT_EQ(Text(CameraRecord(1).name), "Left");
    EXPECT_EQ(Text(CameraRecord(1).group), "Rig A");
    EXPECT_EQ(CameraRecord(1).name_changes, 1);

    // The numbers.
    EXPECT_TRUE(With(CameraRequest::SetSequenceNum, [](MessageEncoder& e) { e.AddField(CAMERAFIELD_SEQUENCE, 7); })
                    .Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Updated sequence number to 7"), 1u);
    EXPECT_TRUE(With(CameraRequest::SetBatchNum, [](MessageEncoder& e) { e.AddField(CAMERAFIELD_BATCH, 3); })
                    .Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(CountInformation("Updated batch number to 3"), 1u);
    for (u64 i = 0; i < 4; ++i)
        EXPECT_EQ(CameraRecord(i).batch_number, 3);

    // Options: generated names from the expression and its texts.
    EXPECT_TRUE(With(CameraRequest::SetOptions, [](MessageEncoder& e) {
                    e.AddField(CAMERAFIELD_GENERATE_NAMES, true);
                    e.AddField(CAMERAFIELD_FILENAME_EXPRESSION, "[A]_[S]");
                    e.AddField(CAMERAFIELD_TEXT_A, "Shoot");
                }).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(TakePhoto(1));
    EXPECT_EQ(Text(Photo(0).name), "Shoot_7.JPG");
    EXPECT_EQ(Photo(0).sequence, 7);
    EXPECT_EQ(Photo(0).batch, 3);

    // The name of a serial comes back when its camera is found again.
    ASSERT_TRUE(Request(Builder(Camera(1)).Disconnect()).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(Request(Builder(Camera(1)).Connect()).Bool(CAMERAFIELD_RESULT));
    EXPECT_EQ(Text(CameraRecord(1).name), "Left");
}

TEST_F(SimulatedCameras, ValidationExpressionsThatDoNotCompileOrAreTooLongAreRefused)
{
    ASSERT_TRUE(StartConnected());
    auto options = [&](const std::string& validation) {
        return With(CameraRequest::SetOptions, [&](MessageEncoder& e) {
            e.AddField(CAMERAFIELD_FILENAME_VALIDATION, validation.c_str());
        });
    };
    // A working expression: a name that fails it is flagged.
    EXPECT_TRUE(options("LVP_[0-9]+\\.JPG").Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(TakePhoto(0));
    EXPECT_FALSE(Photo(0).name_valid);
    EXPECT_EQ(CountInformation("ERROR: Photo filename failed validation: " + Text(Photo(0).name)), 1u);
    // Rename to a name that fails it clears the flag and renames nothing.
    EXPECT_FALSE(Request(Builder(NO_CAMERA, false, 0).Rename(string_make("Bad.JPG"))).Bool(CAMERAFIELD_RESULT));
    EXPECT_FALSE(Photo(0).name_valid);
    EXPECT_NE(Text(Photo(0).name), "Bad.JPG");

    const std::string refused[] = {"[", std::string(2000, 'a')};
    for (const std::string& text : refused)
    {
        SCOPED_TRACE(text.substr(0, 8));
        EXPECT_FALSE(options(text).Bool(CAMERAFIELD_RESULT));
        // Validation is off afterwards: every name passes.
        ASSERT_TRUE(TakePhoto(0));
        EXPECT_TRUE(Photo(NumPhotos() - 1).name_valid);
    }
    EXPECT_TRUE(log.Contains("Failed to compile filename validation: ["));
    EXPECT_TRUE(log.Contains("Filename validation refused"));
}

TEST_F(SimulatedCameras, SwitchingAutoConnectOnConnectsEveryCameraInTheNextPass)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Simple(CameraRequest::DetectCameras).Bool(CAMERAFIELD_RESULT));
    for (u64 i = 0; i < 4; ++i)
        ASSERT_FALSE(CameraRecord(i).connected);
    EXPECT_TRUE(With(CameraRequest::SetOptions, [](MessageEncoder& e) { e.AddField(CAMERAFIELD_AUTO_CONNECT, true); })
                    .Bool(CAMERAFIELD_RESULT));
    Settle(2);
    for (u64 i = 0; i < 4; ++i)
        EXPECT_TRUE(CameraRecord(i).connected);
    EXPECT_EQ(CountInformation("Connected to camera: TEST 0"), 1u);
}

TEST_F(SimulatedCameras, ARequestStillOwedAtItsDeadlineIsAnsweredWithFailure)
{
    // Downloads that never end, and a short deadline.
    settings.download_passes = 1000000;
    processor->SetRequestTimeout(time_compute_ticks(100, TIMEUNIT_MILLISECONDS));
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(SetProperty(0, CameraProperty::Storage, "Card"));
    ASSERT_TRUE(TakePhoto(0));

    const Seen response = Request(Builder(Camera(0), false, 0).Download());
    EXPECT_FALSE(response.Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(log.Contains("Request timed out: Download"));
    EXPECT_FALSE(CameraRecord(0).busy);
    EXPECT_EQ(CountInformation("ERROR: Failed to download: " + Text(Photo(0).name)), 1u);
    // The camera is free for the next request.
    EXPECT_TRUE(TakePhoto(0));
    Settle(2);
    EXPECT_EQ(client->responses.size(), static_cast<size_t>(client->GetContext(destination).lastRefNum));
}

TEST_F(SimulatedCameras, APendingDownloadRequestEndsOnlyWithItsOwnPhoto)
{
    settings.download_passes = 8;
    ASSERT_TRUE(StartConnected());
    // Photo 0 is downloaded at once (queued first); photo 1 stays on the card.
    ASSERT_TRUE(TakePhoto(0));
    ASSERT_TRUE(SetProperty(0, CameraProperty::Storage, "Card"));
    ASSERT_TRUE(TakePhoto(0));
    ASSERT_EQ(NumPhotos(), 2u);
    const std::string first = Text(Photo(0).name);
    const std::string second = Text(Photo(1).name);

    const Seen response = Request(Builder(Camera(0), false, 1).Download());
    EXPECT_TRUE(response.Bool(CAMERAFIELD_RESULT));
    photoid_t answered = -1;
    ASSERT_TRUE(camerarequest_get_photo(response.View(), answered));
    EXPECT_EQ(answered, 1);
    // The first download ended earlier and was reported on its own; the
    // response came only after the requested photo was saved.
    const size_t first_done = FindInformation("Photo downloaded: " + first);
    const size_t second_done = FindInformation("Photo downloaded: " + second);
    ASSERT_NE(first_done, SIZE_MAX);
    ASSERT_NE(second_done, SIZE_MAX);
    EXPECT_LT(first_done, second_done);
    EXPECT_LT(second_done, last_response_position);
    EXPECT_TRUE(Photo(1).downloaded);
    EXPECT_TRUE(file_exists(Photo(1).path));
}

TEST_F(SimulatedCameras, APhotoRolledBackWhileItsDownloadIsInFlightLeavesNoFile)
{
    settings.download_passes = 6;
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(TakePhoto(0));
    ASSERT_EQ(NumPhotos(), 1u);
    ASSERT_FALSE(Photo(0).downloaded);
    const std::string name = Text(Photo(0).name);
    EXPECT_TRUE(Request(Builder(NO_CAMERA, false, 0).Rollback()).Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(PumpUntil([&] { return CountInformation("ERROR: Failed to download: " + name) == 1; }));
    EXPECT_FALSE(Photo(0).downloaded);
    EXPECT_TRUE(Photo(0).deleted);
    EXPECT_FALSE(file_exists(string_make((photos + "/" + name).c_str())));
}

TEST_F(SimulatedCameras, ABulbExposureMovesTheRequestsDeadlineLater)
{
    // A camera of another driver whose shots end four passes later.
    lumivane_test::ScriptedDriver* scripted = new lumivane_test::ScriptedDriver(processor);
    lumivane_test::CameraScript script;
    script.serial = "Slow";
    script.passes = 4;
    scripted->Attach(script);
    processor->AddDriver(scripted);
    ASSERT_TRUE(StartConnected());
    processor->SetRequestTimeout(time_compute_ticks(20, TIMEUNIT_MILLISECONDS));
    u64 slow = 0;
    while (slow < surface->GetCameras().count && Text(CameraRecord(slow).serial) != "Slow")
        ++slow;
    ASSERT_LT(slow, surface->GetCameras().count);

    // Without bulb time the shot outlasts the deadline; with an hour of bulb
    // time the same shot is waited for.
    EXPECT_FALSE(TakePhoto(slow, 0.0f));
    EXPECT_TRUE(log.Contains("Request timed out: TakePhoto"));
    EXPECT_TRUE(TakePhoto(slow, 3600.0f));
    EXPECT_EQ(log.Count("Request timed out"), 1u);
    EXPECT_EQ(scripted->Calls("Slow")->take_photo.load(), 2);
}

TEST_F(SimulatedCameras, ADownloadCopiesWhatWasLoadedWhenTheSampleHasShrunk)
{
    ASSERT_TRUE(StartConnected());
    ASSERT_TRUE(SetProperty(0, CameraProperty::Storage, "Card"));
    ASSERT_TRUE(TakePhoto(0));
    const i64 recorded = Photo(0).size;
    const std::string sample = dir.File("samples") + "/" + Text(Photo(0).camera_file_name);
    ASSERT_EQ(static_cast<i64>(file_num_bytes(string_make(sample.c_str()))), recorded);
    // The sample loses its second half after the shot.
    ASSERT_EQ(truncate(sample.c_str(), recorded / 2), 0);

    EXPECT_TRUE(Request(Builder(Camera(0), false, 0).Download()).Bool(CAMERAFIELD_RESULT));
    EXPECT_TRUE(Photo(0).downloaded);
    EXPECT_EQ(Photo(0).size, recorded / 2);
    EXPECT_EQ(static_cast<i64>(file_num_bytes(Photo(0).path)), recorded / 2);
    EXPECT_TRUE(log.Contains("Photo may be corrupted, detected size mismatch"));
}
