// Photo files: unique names from a table of existing files (numbered stems,
// the raw extension, names from cameras that try to leave their folder),
// saving with the fallback folder, the hash of what is on disk, the payload
// warnings, streamed files, saves that fail part-way without leaving a file,
// and concurrent savers of one name each keeping a file of their own under
// every way of publishing a file.
#include "orvo/camera/mtp_download.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/src/mtp_photofile_internal.h"
#include "orvo/core/core_hash.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;
using lumivane_test::TempDir;
namespace fs = std::filesystem;

namespace
{
std::string text_of(const string_t& text)
{
    return std::string(text.str, text.length);
}

string_t view(const std::string& text)
{
    return string_make(text.c_str(), text.size());
}

void write_file(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every entry of a folder by name, hidden ones included.
std::set<std::string> entries(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

std::vector<u8> pattern_bytes(size_t n, u32 seed)
{
    std::vector<u8> bytes(n);
    u32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i)
    {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<u8>(x >> 24);
    }
    return bytes;
}

// A JPEG stream: SOI, an APP0 segment, SOS and entropy bytes without FF,
// then EOI unless cut.
std::vector<u8> jpeg_bytes(size_t entropy, bool with_end)
{
    std::vector<u8> bytes = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                             0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0};
    for (size_t i = 0; i < entropy; ++i)
        bytes.push_back(static_cast<u8>(i % 250));
    if (with_end)
    {
        bytes.push_back(0xFF);
        bytes.push_back(0xD9);
    }
    return bytes;
}

std::string hash_of(const std::string& contents)
{
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    compute_hash(hash, contents.data(), contents.size());
    std::string text = text_of(hash);
    stringbuffer_release(hash);
    return text;
}

// A download task as the context would hand it to the save step: its folders
// and name from the camera layer, the downloaded bytes in a transfer buffer.
class PhotoTask
{
public:
    explicit PhotoTask(const std::string& name, const std::string& folder, const std::string& fallback,
                       const std::string& type = "")
    {
        mtp_objectinfo_t object;
        mtp_objectinfo_initialise(object, MTP_PROTOCOL_GENERIC, 7);
        stringbuffer_set(object.filename, "IMG_0001.JPG");
        task = mtp_downloadtask_create(device, object, false, nullptr);
        mtp_objectinfo_release(object);
        stringbuffer_set(task->photo_name, view(name));
        stringbuffer_set(task->download_folder, view(folder));
        stringbuffer_set(task->fallback_folder, view(fallback));
        stringbuffer_set(task->file_type, view(type));
        mtp_buffer_initialise(buffer);
        task->transfer_buffer = &buffer;
    }
    ~PhotoTask()
    {
        mtp_downloadtask_destroy(task);
        mtp_buffer_release(buffer);
    }
    PhotoTask(const PhotoTask&) = delete;
    PhotoTask& operator=(const PhotoTask&) = delete;

    void SetBytes(const std::vector<u8>& bytes, bool announce = true)
    {
        mtp_buffer_allocate(buffer, bytes.size());
        std::copy(bytes.begin(), bytes.end(), buffer.data);
        task->object.size = announce ? static_cast<u32>(bytes.size()) : 0;
    }
    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(buffer.data), buffer.length); }
    std::string Target() const { return text_of(task->target.path); }
    std::string Name() const { return text_of(task->photo_name); }
    std::string Hash() const { return text_of(task->hash); }

    mtp_device_t device = {};
    mtp_downloadtask_t* task = nullptr;
    mtp_buffer_t buffer;
};

struct PhotoFile : ::testing::Test
{
    void TearDown() override { mtp_photofile_set_publish_mode(MTP_PUBLISH_AUTO); }

    // Only the photos: no temporary file may be left behind.
    void ExpectNoTemporaryFiles(const std::string& folder)
    {
        for (const std::string& name : entries(folder))
            EXPECT_EQ(name.find(".part"), std::string::npos) << "left behind: " << name;
    }

    LogCapture log;
    TempDir dir;
};
} // namespace

// --- unique names ----------------------------------------------------------------------

TEST_F(PhotoFile, FindFilenameFollowsTheExistingNames)
{
    struct Case
    {
        const char* why;
        std::vector<std::string> files; // present beforehand
        std::vector<std::string> folders;
        const char* type;
        bool unique;
        const char* name;
        const char* expected; // "" when it must fail
    };
    const Case cases[] = {
        {"a free name is kept", {}, {}, "", true, "a.jpg", "a.jpg"},
        {"a taken name gets the first number", {"a.jpg"}, {}, "", true, "a.jpg", "a_1.jpg"},
        {"numbers count on past taken ones", {"a.jpg", "a_1.jpg"}, {}, "", true, "a.jpg", "a_2.jpg"},
        {"a gap is filled", {"a.jpg", "a_2.jpg"}, {}, "", true, "a.jpg", "a_1.jpg"},
        {"a folder of that name holds no file", {}, {"a.jpg"}, "", true, "a.jpg", "a.jpg"},
        {"without unique a taken name is kept", {"a.jpg"}, {}, "", false, "a.jpg", "a.jpg"},
        {"the raw file type replaces the extension", {}, {}, "CR2", true, "LVP_0007.JPG", "LVP_0007.CR2"},
        {"the type may carry its dot", {}, {}, ".CR2", true, "LVP_0007.JPG", "LVP_0007.CR2"},
        {"the type's name is what is taken", {"LVP_0007.CR2"}, {}, "CR2", true, "LVP_0007.JPG", "LVP_0007_1.CR2"},
        {"the JPEG of the pair does not take the raw name", {"LVP_0007.JPG"}, {}, "CR2", true, "LVP_0007.JPG",
         "LVP_0007.CR2"},
        {"a name without extension gets the type", {}, {}, "NEF", true, "DSC_0001", "DSC_0001.NEF"},
        {"a camera's folder path stays one name", {}, {}, "", true, "DCIM/100CANON/IMG_1.JPG",
         "DCIM_100CANON_IMG_1.JPG"},
        {"a climbing name stays inside", {}, {}, "", true, "../../etc/passwd", "___.._etc_passwd"},
        {"a backslash is no separator either", {}, {}, "", true, "..\\x.jpg", "___x.jpg"},
        // Every photo must be saved: a name without a stem gets one, and no
        // photo is hidden by a leading dot.
        {"an empty name gets a stem", {}, {}, "", true, "", "photo"},
        {"a bare extension gets a stem", {}, {}, "", true, ".jpg", "photo.jpg"},
        {"a dot gets a stem", {}, {}, "", true, ".", "photo"},
        {"a hidden name gets a stem", {}, {}, "", true, ".hidden", "photo.hidden"},
        {"a hidden name with a stem loses its dot", {}, {}, "", true, ".a.jpg", "a.jpg"},
        {"a stem-less name with a type", {"photo.CR2"}, {}, "CR2", true, ".jpg", "photo_1.CR2"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        for (const std::string& file : c.files)
            write_file(folder.File(file), "x");
        for (const std::string& sub : c.folders)
            fs::create_directory(folder.File(sub));
        stringbuffer_t name;
        stringbuffer_initialise(name);
        stringbuffer_set(name, c.name);
        filename_t target;
        filename_initialise(target);
        bool ok = mtp_find_filename(view(folder.Path()), string_make(c.type), c.unique, name, target);
        if (c.expected[0] == 0)
        {
            EXPECT_FALSE(ok);
            EXPECT_EQ(text_of(target.path), "");
            EXPECT_EQ(text_of(name), c.name);
        }
        else
        {
            ASSERT_TRUE(ok);
            EXPECT_EQ(text_of(name), c.expected);
            EXPECT_EQ(text_of(target.path), folder.File(c.expected));
            EXPECT_EQ(text_of(target.dir.path), folder.Path());
        }
        filename_release(target);
        stringbuffer_release(name);
    }
}

namespace
{
// Every multi-byte sequence complete: a name cut inside one would not be UTF-8.
bool WholeUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
        {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}
} // namespace

TEST_F(PhotoFile, NamesTooLongForTheFileSystemAreShortenedKeepingTheExtension)
{
    // File systems take 255 bytes per name. A camera's UTF-16 name of 128
    // characters can pass that once in UTF-8, and a name of 250 or more leaves
    // no room for the counter of a second photo of that name.
    const std::string accent = "\xC3\xA9"; // two bytes in UTF-8
    std::string accented;
    for (int i = 0; i < 130; ++i)
        accented += accent;
    struct Case
    {
        const char* why;
        std::string name;
        const char* type;
    };
    const Case cases[] = {
        {"300 ASCII characters", std::string(300, 'a') + ".JPG", ""},
        {"250 characters: no room for a counter", std::string(246, 'b') + ".jpg", ""},
        {"130 two-byte characters", accented + ".jpg", ""},
        {"a long name with a raw type", std::string(260, 'c') + ".JPG", "CR2"},
        {"a long extension", "d." + std::string(300, 'e'), ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        std::vector<std::string> names;
        for (int copy = 0; copy < 2; ++copy)
        {
            stringbuffer_t name;
            stringbuffer_initialise(name);
            stringbuffer_set(name, c.name.c_str());
            filename_t target;
            filename_initialise(target);
            ASSERT_TRUE(mtp_find_filename(view(folder.Path()), string_make(c.type), true, name, target));
            const std::string saved = text_of(name);
            EXPECT_LE(saved.size(), 255u);
            EXPECT_EQ(text_of(target.dir.path), folder.Path());
            // Whole UTF-8 sequences only, and the file can really be made.
            EXPECT_TRUE(WholeUtf8(saved)) << saved;
            std::ofstream(text_of(target.path)) << "photo " << copy;
            EXPECT_TRUE(fs::exists(text_of(target.path)));
            names.push_back(saved);
            filename_release(target);
            stringbuffer_release(name);
        }
        const std::string extension = std::string(c.type).empty() ? fs::path(c.name).extension().string()
                                                                   : std::string(".") + c.type;
        if (extension.size() <= MTP_PHOTO_MAX_EXTENSION_BYTES)
        {
            EXPECT_EQ(fs::path(names[0]).extension().string(), extension);
        }
        EXPECT_NE(names[0], names[1]);
        EXPECT_NE(names[1].find("_1."), std::string::npos) << names[1];
        EXPECT_TRUE(log.Contains("Photo name too long for the file system, shortened to:"));
    }
}

TEST_F(PhotoFile, FindFilenameRefusesAnEmptyFolder)
{
    // Joined as text, an empty folder would put the photo at the root.
    stringbuffer_t name;
    stringbuffer_initialise(name);
    stringbuffer_set(name, "a.jpg");
    filename_t target;
    filename_initialise(target);
    EXPECT_FALSE(mtp_find_filename(empty_str, empty_str, true, name, target));
    EXPECT_EQ(text_of(target.path), "");
    EXPECT_TRUE(log.Contains("Failed to find file name for photo: a.jpg - no folder"));
    filename_release(target);
    stringbuffer_release(name);
}

// --- saving ----------------------------------------------------------------------------

TEST_F(PhotoFile, SavedBytesAndHashAreWhatWasDownloaded)
{
    write_file(dir.File("LVP_0001.JPG"), "an earlier photo");
    PhotoTask photo("LVP_0001.JPG", dir.Path(), dir.File("Backup"));
    photo.SetBytes(jpeg_bytes(5000, true));

    ASSERT_TRUE(mtp_save_photo(*photo.task));

    EXPECT_EQ(photo.Name(), "LVP_0001_1.JPG");
    EXPECT_EQ(photo.Target(), dir.File("LVP_0001_1.JPG"));
    std::string saved = read_file(photo.Target());
    EXPECT_EQ(saved, photo.Bytes());
    EXPECT_EQ(photo.Hash(), hash_of(saved));
    EXPECT_EQ(photo.Hash().size(), 32u);
    EXPECT_EQ(read_file(dir.File("LVP_0001.JPG")), "an earlier photo");
    EXPECT_TRUE(log.Contains("Photo saved in"));
    EXPECT_TRUE(log.Contains("Computed hash in"));
    EXPECT_FALSE(log.Contains("corrupted"));
    EXPECT_FALSE(fs::exists(dir.File("Backup")));
    ExpectNoTemporaryFiles(dir.Path());

    // The file form of the hash reads the same bytes back.
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    EXPECT_TRUE(mtp_compute_hash(hash, view(photo.Name()), photo.task->target));
    EXPECT_EQ(text_of(hash), photo.Hash());
    stringbuffer_release(hash);
}

TEST_F(PhotoFile, MissingDownloadFolderIsCreated)
{
    std::string folder = dir.File("Lumivane 3/2024/shoot");
    PhotoTask photo("LVP_0002.JPG", folder, dir.File("Backup"));
    photo.SetBytes(pattern_bytes(1000, 2));
    ASSERT_TRUE(mtp_save_photo(*photo.task));
    EXPECT_EQ(read_file(folder + "/LVP_0002.JPG"), photo.Bytes());
}

TEST_F(PhotoFile, DownloadFolderThatIsAFileFallsBackToBackup)
{
    write_file(dir.File("Lumivane 3"), "not a folder");
    fs::create_directory(dir.File("Backup"));
    write_file(dir.File("Backup/LVP_0003.CR2"), "an older raw");
    PhotoTask photo("LVP_0003.JPG", dir.File("Lumivane 3"), dir.File("Backup"), "CR2");
    photo.SetBytes(pattern_bytes(4096, 3));

    ASSERT_TRUE(mtp_save_photo(*photo.task));

    EXPECT_TRUE(log.Contains("Saving photo to fallback location"));
    EXPECT_EQ(photo.Target(), dir.File("Backup/LVP_0003_1.CR2"));
    EXPECT_EQ(photo.Name(), "LVP_0003_1.CR2");
    EXPECT_EQ(read_file(photo.Target()), photo.Bytes());
    EXPECT_EQ(read_file(dir.File("Lumivane 3")), "not a folder");
    EXPECT_EQ(read_file(dir.File("Backup/LVP_0003.CR2")), "an older raw");
    EXPECT_FALSE(photo.Hash().empty());
}

TEST_F(PhotoFile, FailedSavesLeaveNothingBehind)
{
    struct Case
    {
        const char* why;
        bool folder_is_file;
        bool empty_bytes;
        const char* expected_log;
    };
    const Case cases[] = {
        {"both folders are files", true, false, "Failed to save photo: "},
        {"no bytes arrived", false, true, "Failed to save photo, no data: LVP_0004.JPG"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        log.Clear();
        std::string download = folder.File("photos");
        std::string fallback = folder.File("Backup");
        if (c.folder_is_file)
        {
            write_file(download, "file");
            write_file(fallback, "file");
        }
        else
        {
            fs::create_directory(download);
        }
        PhotoTask photo("LVP_0004.JPG", download, fallback);
        photo.SetBytes(c.empty_bytes ? std::vector<u8>() : pattern_bytes(100, 4));
        EXPECT_FALSE(mtp_save_photo(*photo.task));
        EXPECT_TRUE(log.Contains(c.expected_log));
        EXPECT_EQ(photo.Hash(), "");
        if (!c.folder_is_file)
            EXPECT_TRUE(entries(download).empty());
        else
            EXPECT_EQ(entries(folder.Path()), (std::set<std::string>{"photos", "Backup"}));
    }
}

TEST_F(PhotoFile, AWriteThatFailsPartWayLeavesNoPartialPhoto)
{
    // The file size limit makes the write fail after the first bytes, as a
    // full disk would.
    PhotoTask photo("LVP_0005.JPG", dir.File("photos"), dir.File("Backup"));
    photo.SetBytes(pattern_bytes(100000, 5));
    struct rlimit previous;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, previous.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    bool saved = mtp_save_photo(*photo.task);

    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(saved);

    EXPECT_TRUE(log.Contains("Failed to write photo"));
    EXPECT_TRUE(log.Contains("Saving photo to fallback location"));
    EXPECT_TRUE(log.Contains("Failed to save photo"));
    EXPECT_TRUE(entries(dir.File("photos")).empty());
    EXPECT_TRUE(entries(dir.File("Backup")).empty());
}

TEST_F(PhotoFile, PayloadChecksWarnAboutCutPhotos)
{
    struct Case
    {
        const char* why;
        std::vector<u8> bytes;
        bool announce;      // ObjectInfo announced the size of the bytes
        u32 announced_size; // instead, when not 0
        const char* warning; // "" for none
    };
    const Case cases[] = {
        {"a whole JPEG", jpeg_bytes(3000, true), true, 0, ""},
        {"a JPEG cut before its end marker", jpeg_bytes(3000, false), true, 0,
         "Photo may be corrupted, no end of image marker"},
        {"fewer bytes than the camera announced", jpeg_bytes(3000, true), false, 9000,
         "Photo may be corrupted, detected size mismatch: 3032 (expected 9000)"},
        {"a raw file has no end marker to miss", pattern_bytes(3000, 6), true, 0, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        log.Clear();
        PhotoTask photo("LVP_0006.JPG", folder.Path(), folder.File("Backup"));
        photo.SetBytes(c.bytes, c.announce);
        if (c.announced_size)
            photo.task->object.size = c.announced_size;
        // A cut photo is still saved: it may be all there is of it.
        ASSERT_TRUE(mtp_save_photo(*photo.task));
        EXPECT_EQ(read_file(photo.Target()), photo.Bytes());
        if (c.warning[0])
            EXPECT_TRUE(log.Contains(c.warning));
        else
            EXPECT_FALSE(log.Contains("corrupted"));
    }
}

TEST_F(PhotoFile, StreamedFileAppearsUnderItsNameOnlyWhenPublished)
{
    write_file(dir.File("MVI_0001.MOV"), "an older movie");
    PhotoTask photo("MVI_0001.MOV", dir.Path(), dir.File("Backup"));
    FILE* file = mtp_fopen_photo(*photo.task);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(photo.task->written_to_file);
    EXPECT_EQ(photo.Target(), dir.File("MVI_0001_1.MOV"));
    std::vector<u8> movie = pattern_bytes(200000, 7);
    ASSERT_EQ(fwrite(movie.data(), 1, movie.size(), file), movie.size());
    ASSERT_EQ(fclose(file), 0);
    // Written and closed, but not yet published: no file holds the name.
    EXPECT_FALSE(fs::exists(dir.File("MVI_0001_1.MOV")));
    // Another photo takes the name meanwhile; the movie moves on to the next.
    write_file(dir.File("MVI_0001_1.MOV"), "a photo of another camera");

    ASSERT_TRUE(mtp_save_photo(*photo.task));

    EXPECT_EQ(photo.Target(), dir.File("MVI_0001_2.MOV"));
    EXPECT_EQ(photo.Name(), "MVI_0001_2.MOV");
    EXPECT_EQ(read_file(photo.Target()), std::string(movie.begin(), movie.end()));
    EXPECT_EQ(read_file(dir.File("MVI_0001_1.MOV")), "a photo of another camera");
    EXPECT_EQ(photo.Hash(), "");
    ExpectNoTemporaryFiles(dir.Path());
}

TEST_F(PhotoFile, StreamedFileNeverPublishedIsRemoved)
{
    {
        PhotoTask photo("MVI_0002.MOV", dir.Path(), dir.File("Backup"));
        FILE* file = mtp_fopen_photo(*photo.task);
        ASSERT_NE(file, nullptr);
        fputs("half a movie", file);
        fclose(file);
        EXPECT_EQ(entries(dir.Path()).size(), 1u); // the temporary file
    }
    EXPECT_TRUE(entries(dir.Path()).empty());
}

TEST_F(PhotoFile, StreamedFileFallsBackAndFailsCleanly)
{
    write_file(dir.File("photos"), "not a folder");
    {
        PhotoTask photo("MVI_0003.MOV", dir.File("photos"), dir.File("Backup"));
        FILE* file = mtp_fopen_photo(*photo.task);
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(log.Contains("Saving file to fallback location"));
        EXPECT_EQ(photo.Target(), dir.File("Backup/MVI_0003.MOV"));
        fclose(file);
    }
    write_file(dir.File("Backup2"), "not a folder either");
    PhotoTask photo("MVI_0003.MOV", dir.File("photos"), dir.File("Backup2"));
    EXPECT_EQ(mtp_fopen_photo(*photo.task), nullptr);
    EXPECT_TRUE(log.Contains("Failed to save file: "));
}

// --- concurrent savers -----------------------------------------------------------------------

TEST_F(PhotoFile, FourThreadsSavingOneNameKeepAFileEach)
{
    struct Case
    {
        const char* why;
        mtp_publish_mode_t mode;
    };
    const Case cases[] = {
        {"exclusive rename", MTP_PUBLISH_AUTO},
        {"hard link (file systems without exclusive rename)", MTP_PUBLISH_LINK},
        {"placeholder (file systems without links)", MTP_PUBLISH_PLACEHOLDER},
    };
    const int kThreads = 4;
    const int kRounds = 20;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        mtp_photofile_set_publish_mode(c.mode);
        TempDir folder;
        std::atomic<int> ready{0};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
        {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round)
                {
                    // Each thread's photo differs, so a shared or truncated
                    // file shows in its contents.
                    std::vector<u8> bytes = pattern_bytes(20000 + t * 1000, t * 100 + round);
                    stringbuffer_t name;
                    stringbuffer_initialise(name);
                    stringbuffer_set(name, "LVP_0001.JPG");
                    filename_t target;
                    filename_initialise(target);
                    ready.fetch_add(1);
                    while (ready.load() < kThreads * (round + 1))
                        std::this_thread::yield();
                    if (!mtp_save_unique(view(folder.Path()), empty_str, name,
                                         memory_t{bytes.data(), bytes.size()}, target) ||
                        read_file(text_of(target.path)) != std::string(bytes.begin(), bytes.end()))
                        failures.fetch_add(1);
                    filename_release(target);
                    stringbuffer_release(name);
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(failures.load(), 0);
        std::set<std::string> names = entries(folder.Path());
        EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kRounds));
        EXPECT_EQ(names.count("LVP_0001.JPG"), 1u);
        EXPECT_EQ(names.count("LVP_0001_79.JPG"), 1u);
        ExpectNoTemporaryFiles(folder.Path());
    }
}

// --- hash and rate ------------------------------------------------------------------------------

TEST_F(PhotoFile, HashOfAMissingFileFails)
{
    filename_t file;
    filename_initialise(file);
    filename_set(file, view(dir.File("gone.jpg")));
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    stringbuffer_set(hash, "stale");
    EXPECT_FALSE(mtp_compute_hash(hash, string_make("gone.jpg"), file));
    EXPECT_EQ(text_of(hash), "");
    EXPECT_TRUE(log.Contains("Failed to compute hash for photo: gone.jpg"));
    stringbuffer_release(hash);
    filename_release(file);
}

TEST_F(PhotoFile, DownloadRateIsMebibytesPerSecond)
{
    struct Case
    {
        const char* why;
        u64 ticks;
        u64 bytes;
        float rate;
    };
    const Case cases[] = {
        {"ten MiB in two seconds", 2000000, 10 * 1048576ull, 5.0f},
        {"25 MiB in half a second", 500000, 25 * 1048576ull, 50.0f},
        {"too quick to measure counts as one microsecond", 0, 1048576, 1000000.0f},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        orvo::timer_t timer = {0, c.ticks};
        EXPECT_FLOAT_EQ(mtp_compute_download_rate(timer, c.bytes), c.rate);
    }
    EXPECT_TRUE(log.Contains("Camera download performance: 10.00 mbytes in 2000.00 ms (5.00 mbytes/sec)"));
}
