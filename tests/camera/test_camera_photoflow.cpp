// The photo flow on a camera processor without its thread: numbering and
// batches of new photos, the reset check, saving from memory (name clashes,
// the fallback folder, the hash, truncation), taking over a download task
// (also for a photo deleted while it was in flight), rename, delete and the
// download report.
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/camera_testdriver.h"
#include "orvo/camera/mtp_download.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/core/core_file.h"
#include "support/image/image_writers.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

using namespace orvo;

namespace
{
std::string Text(const stringid_t& id)
{
    return id.str ? std::string(id.str, id.length) : std::string();
}

void WriteFile(const std::string& path, const lumivane_test::Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct PhotoFlow : ::testing::Test
{
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    CameraProcessor* processor = nullptr;
    TestDevice* device = nullptr;
    lumivane_test::Bytes jpeg;

    void SetUp() override
    {
        CameraProcessor::SupportPTP = false;
        testdriver_reset_counters();
        processor = new CameraProcessor();
        TestDriver* driver = new TestDriver(processor);
        processor->AddDriver(driver);
        device = new TestDevice(driver);
        processor->AddDevice(device);
        ASSERT_EQ(processor->GetDevices().count, 1u);
        ASSERT_TRUE(processor->SetDownloadFolder(string_make(dir.File("photos").c_str())));
        ASSERT_TRUE(processor->SetFallbackFolder(string_make(dir.File("backup").c_str())));
        jpeg = lumivane_test::WriteJpeg(40, 30, 3, 90);
    }

    void TearDown() override
    {
        delete processor;
        CameraProcessor::SupportPTP = true;
    }

    // A new photo from a file name the camera gave (no file behind it).
    TestPhoto* NewPhoto(const char* camera_name, bool video = false)
    {
        filename_t file;
        filename_initialise(file);
        if (camera_name)
            filename_set(file, string_make((dir.File("card") + "/" + camera_name).c_str()));
        TestPhoto* photo = new TestPhoto(device, nullptr, file);
        filename_release(file);
        photo->video = video;
        return photo;
    }

    // A photo added to the processor, named by it.
    CameraPhoto* Add(const char* camera_name, bool video = false)
    {
        TestPhoto* photo = NewPhoto(camera_name, video);
        processor->AddPhoto(device, photo);
        return photo;
    }

    memory_t Block(size_t length) const { return memory_t{jpeg.data(), length}; }
};
} // namespace

TEST_F(PhotoFlow, SequenceAndBatchNumbersFollowPhotosPerShot)
{
    device->photos_per_shot = 2;
    struct Expected
    {
        bool video;
        i32 sequence;
        i32 batch;
        i32 processor_batch; // after the photo
    };
    const Expected table[] = {
        {false, 1, 1, 1}, {false, 2, 1, 2}, {true, 3, 2, 2}, {false, 4, 2, 2}, {false, 5, 2, 3},
    };
    for (const Expected& e : table)
    {
        SCOPED_TRACE(e.sequence);
        CameraPhoto* photo = Add("IMG_0001.JPG", e.video);
        EXPECT_EQ(photo->sequence, e.sequence);
        EXPECT_EQ(photo->batch, e.batch);
        EXPECT_EQ(processor->GetOptions().batch_number, e.processor_batch);
        EXPECT_EQ(photo->index, e.sequence - 1);
    }
    EXPECT_EQ(device->photos_taken, 4); // the video does not count
    EXPECT_EQ(processor->GetOptions().sequence_number, 6);
}

TEST_F(PhotoFlow, DriverNamesAreKeptUnlessNamesAreGeneratedAndAreValidatedEitherWay)
{
    ASSERT_TRUE(processor->SetValidation(string_make("LVP_[0-9]+\\.JPG")));
    CameraPhoto* kept = Add("DSC_0001.JPG");
    EXPECT_EQ(Text(kept->name), "DSC_0001.JPG");
    EXPECT_EQ(kept->sequence, 1);
    EXPECT_FALSE(kept->name_valid);
    EXPECT_TRUE(log.Contains("Photo filename failed validation against: LVP_[0-9]+\\.JPG"));

    processor->GetOptions().generate_names = true;
    CameraPhoto* generated = Add("DSC_0002.JPG");
    EXPECT_EQ(Text(generated->name), "LVP_2.JPG");
    EXPECT_TRUE(generated->name_valid);
}

TEST_F(PhotoFlow, BatchResetRepeatsWhileTheDownloadFolderIsMissingOrEmpty)
{
    processor->GetOptions().reset_batch = true;
    processor->GetOptions().generate_names = true;
    // Missing folder: every photo resets the batch to 1.
    for (int i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(Add("IMG.JPG")->batch, 1);
    }
    EXPECT_EQ(log.Count("Photo batch number reset from"), 3u);

    // Once the folder exists and holds a file, the count goes on.
    ASSERT_TRUE(dir_create(string_make(dir.File("photos").c_str())));
    WriteFile(dir.File("photos") + "/old.JPG", jpeg);
    EXPECT_EQ(Add("IMG.JPG")->batch, 2);
    EXPECT_EQ(Add("IMG.JPG")->batch, 3);
    EXPECT_EQ(log.Count("Photo batch number reset from"), 3u);
}

TEST_F(PhotoFlow, SavingFromMemoryAvoidsClashesAndHashesTheBlock)
{
    CameraPhoto* first = NewPhoto("LVP_1.JPG");
    CameraPhoto* second = NewPhoto("LVP_1.JPG");
    processor->AddPhoto(device, first);
    processor->AddPhoto(device, second);
    ASSERT_TRUE(first->Save(Block(jpeg.size())));
    ASSERT_TRUE(second->Save(Block(jpeg.size())));
    struct Expected
    {
        CameraPhoto* photo;
        const char* name;
    };
    const Expected table[] = {{first, "LVP_1.JPG"}, {second, "LVP_1_1.JPG"}};
    for (const Expected& e : table)
    {
        SCOPED_TRACE(e.name);
        EXPECT_TRUE(e.photo->downloaded);
        EXPECT_TRUE(e.photo->name_valid);
        EXPECT_EQ(Text(e.photo->name), e.name);
        EXPECT_EQ(Text(e.photo->path), dir.File("photos") + "/" + e.name);
        EXPECT_EQ(file_num_bytes(e.photo->path), jpeg.size());
        EXPECT_EQ(e.photo->size, static_cast<i64>(jpeg.size()));
        EXPECT_EQ(Text(e.photo->hash).size(), 32u);
    }
    // The hash is the content hash of what was written.
    stringbuffer_t expected;
    stringbuffer_initialise(expected);
    ASSERT_TRUE(mtp_compute_hash(expected, string_make("LVP_1.JPG"), Block(jpeg.size())));
    EXPECT_EQ(Text(first->hash), std::string(expected.str, expected.length));
    stringbuffer_release(expected);
    // Saving a downloaded photo again changes nothing.
    EXPECT_TRUE(first->Save(Block(10)));
    EXPECT_EQ(file_num_bytes(first->path), jpeg.size());
    EXPECT_TRUE(log.Contains("Photo saved in "));
}

TEST_F(PhotoFlow, SavingFallsBackWhenTheDownloadFolderIsAFile)
{
    WriteFile(dir.File("photos"), jpeg); // a file where the folder should be
    CameraPhoto* photo = Add("IMG_0001.JPG");
    ASSERT_TRUE(photo->Save(Block(jpeg.size())));
    EXPECT_EQ(Text(photo->path), dir.File("backup") + "/IMG_0001.JPG");
    EXPECT_TRUE(log.Contains("Saving photo to fallback location"));

    // Both folders unusable: nothing saved, the photo stays on the camera.
    WriteFile(dir.File("backup2"), jpeg);
    ASSERT_TRUE(processor->SetFallbackFolder(string_make(dir.File("backup2").c_str())));
    CameraPhoto* lost = Add("IMG_0002.JPG");
    EXPECT_FALSE(lost->Save(Block(jpeg.size())));
    EXPECT_FALSE(lost->downloaded);
    EXPECT_TRUE(log.Contains("Failed to save photo: "));
}

TEST_F(PhotoFlow, TruncatedPhotosAreSavedAndReported)
{
    struct Case
    {
        const char* name;
        size_t length;
        i64 announced;
        const char* warning; // "" for none
    };
    const size_t whole = jpeg.size();
    const Case cases[] = {
        {"whole", whole, static_cast<i64>(whole), ""},
        {"shorter than announced", whole / 2, static_cast<i64>(whole), "detected size mismatch"},
        {"no end marker", whole / 2, 0, "no end of image marker"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        log.Clear();
        CameraPhoto* photo = Add("IMG.JPG");
        photo->size = c.announced;
        ASSERT_TRUE(photo->Save(Block(c.length)));
        EXPECT_EQ(file_num_bytes(photo->path), c.length);
        EXPECT_EQ(log.Contains("Photo may be corrupted"), c.warning[0] != 0);
        if (c.warning[0])
        {
            EXPECT_TRUE(log.Contains(c.warning));
        }
    }
}

TEST_F(PhotoFlow, ADownloadTaskIsTakenOverAndItsFileRemovedWhenThePhotoWasDeleted)
{
    for (bool deleted : {false, true})
    {
        SCOPED_TRACE(deleted);
        CameraPhoto* photo = Add("IMG_0001.JPG");
        const std::string saved = dir.File(deleted ? "saved_deleted.JPG" : "saved.JPG");
        WriteFile(saved, jpeg);
        mtp_downloadtask_t task;
        std::memset(static_cast<void*>(&task), 0, sizeof(task));
        filename_initialise(task.target);
        stringbuffer_initialise(task.hash);
        stringbuffer_initialise(task.photo_name);
        filename_set(task.target, string_make(saved.c_str()));
        stringbuffer_set(task.hash, string_make("0123456789abcdef0123456789abcdef"));
        stringbuffer_set(task.photo_name, string_make("IMG_0001_1.JPG"));
        task.object.size = 1234;
        if (deleted)
            photo->Delete(); // rolled back while the download was in flight
        photo->Save(task);
        EXPECT_EQ(photo->downloaded, !deleted);
        // The driver then reports the download; a deleted photo's is a failure.
        processor->DownloadAttempt(photo, true);
        EXPECT_EQ(photo->downloaded, !deleted);
        EXPECT_EQ(file_exists(string_make(saved.c_str())), !deleted);
        if (!deleted)
        {
            EXPECT_EQ(Text(photo->name), "IMG_0001_1.JPG");
            EXPECT_EQ(Text(photo->path), saved);
            EXPECT_EQ(photo->size, 1234);
            EXPECT_EQ(Text(photo->hash), "0123456789abcdef0123456789abcdef");
        }
        filename_release(task.target);
        stringbuffer_release(task.hash);
        stringbuffer_release(task.photo_name);
    }
}

TEST_F(PhotoFlow, RenameKeepsThePhotosTypeAndNeverReplacesAFile)
{
    CameraPhoto* a = Add("LVP_1.JPG");
    CameraPhoto* b = Add("LVP_2.JPG");
    ASSERT_TRUE(a->Save(Block(jpeg.size())));
    ASSERT_TRUE(b->Save(Block(jpeg.size())));
    struct Case
    {
        CameraPhoto* photo;
        const char* wanted;
        const char* name;
    };
    const Case cases[] = {
        {a, "Holiday.png", "Holiday.JPG"},
        {b, "Holiday.png", "Holiday_1.JPG"},
        {a, "Holiday.JPG", "Holiday.JPG"}, // the same name: nothing happens
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.wanted);
        EXPECT_TRUE(c.photo->Rename(string_make(c.wanted)));
        EXPECT_EQ(Text(c.photo->name), c.name);
        EXPECT_EQ(Text(c.photo->path), dir.File("photos") + "/" + c.name);
        EXPECT_TRUE(file_exists(c.photo->path));
    }
    EXPECT_FALSE(file_exists(string_make((dir.File("photos") + "/LVP_1.JPG").c_str())));

    // A photo not yet downloaded only takes the name.
    CameraPhoto* card = Add("LVP_3.JPG");
    card->name_valid = false;
    EXPECT_TRUE(card->Rename(string_make("Later.JPG")));
    EXPECT_EQ(Text(card->name), "Later.JPG");
    EXPECT_TRUE(card->name_valid);

    // A file that has gone: the rename fails and the photo keeps its name.
    ASSERT_TRUE(file_delete(b->path));
    EXPECT_FALSE(b->Rename(string_make("Gone")));
    EXPECT_EQ(Text(b->name), "Holiday_1.JPG");

    // A deleted photo refuses; deleting it again touches no file.
    EXPECT_TRUE(a->Delete());
    EXPECT_FALSE(file_exists(string_make((dir.File("photos") + "/Holiday.JPG").c_str())));
    EXPECT_TRUE(log.Contains("File deleted: " + dir.File("photos") + "/Holiday.JPG"));
    EXPECT_FALSE(a->Rename(string_make("Again")));
    WriteFile(dir.File("photos") + "/Holiday.JPG", jpeg);
    EXPECT_TRUE(a->Delete());
    EXPECT_TRUE(file_exists(string_make((dir.File("photos") + "/Holiday.JPG").c_str())));
}

TEST_F(PhotoFlow, DownloadReportsCountOnlyForAListedOwner)
{
    CameraPhoto* photo = Add("IMG.JPG");
    processor->DownloadAttempt(photo, true);
    EXPECT_TRUE(photo->downloaded);
    EXPECT_EQ(device->downloads_complete, 1);
    processor->DownloadAttempt(photo, false);
    EXPECT_FALSE(photo->downloaded);
    EXPECT_EQ(device->downloads_failed, 1);

    // The owner's camera has gone: the photo changes, no counter does.
    photo->owner = cameraid_t{42, 0};
    processor->DownloadAttempt(photo, true);
    EXPECT_TRUE(photo->downloaded);
    EXPECT_EQ(device->downloads_complete, 1);
    processor->DownloadAttempt(nullptr, false); // only an information
}
