// Whole files: queries, loading with its causes of failure, plain and safe
// saving where a write, flush or rename fails (the old file must survive a
// failed safe save), and delete, rename, copy and folder creation.
#include "orvo/core/core_file.h"
#include "orvo/core/core_filename.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;
using lumivane_test::ReadFile;
using lumivane_test::S;
using lumivane_test::WriteFile;
namespace fs = boost::filesystem;

namespace
{
memory_t Block(const std::string& bytes)
{
    return memory_t{bytes.data(), bytes.size()};
}

std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A file-size limit that the kernel enforces even for root: writes past it
// fail with EFBIG (the signal that would end the process is ignored).
struct FileSizeLimit
{
    rlimit saved;
    void (*old_handler)(int);
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        old_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, old_handler);
    }
};

struct Files : ::testing::Test
{
    lumivane_test::TempDir temp;
    LogCapture log;
    std::string root;
    void SetUp() override { root = fs::canonical(temp.Path()).string(); }
    std::string P(const std::string& name) const { return root + "/" + name; }
};
} // namespace

TEST_F(Files, PathInfoAndQueries)
{
    WriteFile(P("photo.jpg"), "12345");
    fs::last_write_time(P("photo.jpg"), 1456823103);
    fs::create_directory(P("folder"));
    fs::last_write_time(P("folder"), 1456800000);
    WriteFile(P("empty"), "");
    fs::create_symlink(P("photo.jpg"), P("link.jpg"));
    fs::create_symlink(P("gone"), P("broken"));

    struct Case
    {
        std::string path;
        pathinfo_t info;
        bool is_empty_dir;
    };
    const Case cases[] = {
        {P("photo.jpg"), {true, false, 5, 1456823103}, true},
        {P("link.jpg"), {true, false, 5, 1456823103}, true},
        {P("folder"), {true, true, 0, 1456800000}, true},
        {P("empty"), {true, false, 0, 0}, true},
        {P("missing"), {false, false, 0, 0}, true},
        {P("broken"), {false, false, 0, 0}, true},
        {P("photo.jpg/below"), {false, false, 0, 0}, true},
        {"", {false, false, 0, 0}, true},
        {root, {true, true, 0, 0}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        pathinfo_t info;
        path_getinfo(S(c.path), info);
        EXPECT_EQ(info.exists, c.info.exists);
        EXPECT_EQ(info.is_directory, c.info.is_directory);
        EXPECT_EQ(info.size, c.info.size);
        if (c.info.timestamp)
        {
            EXPECT_EQ(info.timestamp, c.info.timestamp);
        }
        EXPECT_EQ(file_exists(S(c.path)), c.info.exists && !c.info.is_directory);
        EXPECT_EQ(dir_exists(S(c.path)), c.info.is_directory);
        EXPECT_EQ(file_num_bytes(S(c.path)), c.info.size);
        if (c.info.timestamp)
        {
            EXPECT_EQ(file_timestamp(S(c.path)), c.info.is_directory ? 0 : c.info.timestamp);
            EXPECT_EQ(dir_timestamp(S(c.path)), c.info.is_directory ? c.info.timestamp : 0);
        }
        EXPECT_EQ(dir_is_empty(S(c.path)), c.is_empty_dir);
    }
    // A special file with no size of its own.
    pathinfo_t info;
    path_getinfo(string_make("/dev/null"), info);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.size, 0u);
}

TEST_F(Files, SaveAndLoadRoundTrip)
{
    const std::string path = P("data.bin");
    std::string bytes("a\0b\xff", 4);
    ASSERT_TRUE(file_save(S(path), Block(bytes), false));
    ASSERT_TRUE(file_save(S(path), Block("tail"), true));
    fs::last_write_time(path, 1500000000);

    filecontents_t contents;
    filecontents_initialise(contents);
    ASSERT_TRUE(filecontents_load(contents, S(path)));
    ASSERT_EQ(contents.buffer.num_bytes, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(contents.buffer.data), 8), bytes + "tail");
    EXPECT_EQ(contents.buffer.data[8], 0) << "a zero byte follows the contents";
    EXPECT_EQ(contents.timestamp, 1500000000u);

    // Truncating save, then copy and move of the contents.
    ASSERT_TRUE(file_save(S(path), Block("xy"), false));
    filecontents_t copy;
    filecontents_initialise(copy);
    ASSERT_TRUE(filecontents_copy(copy, contents));
    EXPECT_EQ(copy.timestamp, 1500000000u);
    ASSERT_TRUE(filecontents_load_silent(contents, S(path)));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(contents.buffer.data), contents.buffer.num_bytes), "xy");
    filecontents_move(contents, copy);
    EXPECT_EQ(copy.buffer.num_bytes, 2u);
    EXPECT_EQ(contents.buffer.data, nullptr);
    EXPECT_EQ(contents.timestamp, 0u);
    filecontents_release(copy);
    filecontents_release(contents);
    filecontents_release(contents);

    // An empty block saves an empty file.
    ASSERT_TRUE(file_save_safe(S(path), memory_t{nullptr, 0}));
    EXPECT_EQ(ReadFile(path), "");
}

TEST_F(Files, LoadFailuresNameTheirCause)
{
    WriteFile(P("empty"), "");
    fs::create_directory(P("folder"));
    WriteFile(P("file"), "x");
    struct Case
    {
        std::string path;
        std::string cause;
    };
    const Case cases[] = {
        {P("missing"), "File does not exist"},
        {P("folder"), "File is actually a directory"},
        {P("empty"), "File is zero sized"},
        {P("file/below"), "File does not exist"},
        {"/proc/self/status", "File is zero sized"}, // no size to trust
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        filecontents_t contents;
        filecontents_initialise(contents);
        log.Clear();
        EXPECT_FALSE(filecontents_load_silent(contents, S(c.path)));
        EXPECT_TRUE(log.Lines().empty()) << "the silent form logs nothing";
        EXPECT_FALSE(filecontents_load(contents, S(c.path)));
        std::vector<std::string> lines = log.Lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find("Error] " + c.cause), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find("Error] Failed to load file: " + c.path), std::string::npos) << lines[1];
        filecontents_release(contents);
    }
}

TEST_F(Files, PlainSaveReportsAFullDevice)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    // A small block sits in the stream's buffer until the flush: only a
    // checked flush sees the full device.
    for (size_t size : {size_t(16), size_t(1) << 20})
    {
        SCOPED_TRACE(size);
        log.Clear();
        std::string bytes(size, 'x');
        EXPECT_FALSE(file_save(string_make("/dev/full"), Block(bytes), false));
        EXPECT_TRUE(log.Contains("No space left on device"));
        EXPECT_TRUE(log.Contains("Failed to save file: /dev/full"));
    }
}

TEST_F(Files, PlainSaveFailures)
{
    WriteFile(P("file"), "x");
    fs::create_directory(P("folder"));
    const std::string cases[] = {P("file/below"), P("folder"), P("missing/x"), ""};
    for (const std::string& path : cases)
    {
        SCOPED_TRACE(path);
        log.Clear();
        EXPECT_FALSE(file_save(S(path), Block("abc"), false));
        EXPECT_TRUE(log.Contains("Failed to create file: "));
        EXPECT_TRUE(log.Contains("Failed to save file: " + path));
    }
    // Past a file-size limit the write itself comes up short.
    {
        FileSizeLimit limit(4096);
        log.Clear();
        EXPECT_FALSE(file_save(S(P("big")), Block(std::string(65536, 'b')), false));
        EXPECT_TRUE(log.Contains("Failed to save file: " + P("big")));
    }
    EXPECT_EQ(ReadFile(P("file")), "x");
}

TEST_F(Files, SafeSaveReplacesTheFileAndLeavesNothingBehind)
{
    const std::string path = P("options.json");
    WriteFile(path, "old");
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(file_save_safe(S(path), Block("new contents")));
    EXPECT_EQ(ReadFile(path), "new contents");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the old file's permissions are kept";

    // Through a link the linked file changes and the link stays a link.
    fs::create_directory(P("real"));
    WriteFile(P("real/presets.json"), "old");
    fs::create_symlink(P("real/presets.json"), P("presets.json"));
    ASSERT_TRUE(file_save_safe(S(P("presets.json")), Block("linked")));
    EXPECT_TRUE(fs::is_symlink(P("presets.json")));
    EXPECT_EQ(ReadFile(P("real/presets.json")), "linked");

    // A new file in a relative folder.
    ASSERT_TRUE(file_save_safe(S(P("fresh.json")), Block("{}")));
    EXPECT_EQ(ReadFile(P("fresh.json")), "{}");

    EXPECT_EQ(Entries(root), (std::vector<std::string>{"fresh.json", "options.json", "presets.json", "real"}));
    EXPECT_EQ(Entries(P("real")), (std::vector<std::string>{"presets.json"}));
}

TEST_F(Files, FailedSafeSaveKeepsTheOldFile)
{
    WriteFile(P("file"), "keep me");
    fs::create_directories(P("folder/inside"));

    struct Case
    {
        const char* why;
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {"the folder is a regular file", P("file/target.json"), "Failed to save to temp filename: "},
        {"the folder does not exist", P("missing/target.json"), "Failed to save to temp filename: "},
        {"the target is a folder", P("folder"), "Failed to rename from temp filename: "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        log.Clear();
        EXPECT_FALSE(file_save_safe(S(c.path), Block("new")));
        EXPECT_TRUE(log.Contains(c.message + c.path));
    }
    EXPECT_TRUE(fs::is_directory(P("folder/inside")));

    // The disk fills up halfway through the temporary file.
    {
        FileSizeLimit limit(4096);
        log.Clear();
        EXPECT_FALSE(file_save_safe(S(P("file")), Block(std::string(65536, 'n'))));
        EXPECT_TRUE(log.Contains("Failed to save to temp filename: " + P("file")));
    }
    EXPECT_EQ(ReadFile(P("file")), "keep me");
    EXPECT_EQ(Entries(root), (std::vector<std::string>{"file", "folder"})) << "no temporary file is left";
    EXPECT_EQ(Entries(P("folder")), (std::vector<std::string>{"inside"}));
}

TEST_F(Files, DeleteRenameCopy)
{
    WriteFile(P("a"), "alpha");
    WriteFile(P("b"), "beta");
    fs::create_directory(P("folder"));

    EXPECT_FALSE(file_delete(S(P("missing"))));
    EXPECT_FALSE(file_delete(S(P("folder"))));
    EXPECT_TRUE(fs::is_directory(P("folder")));

    EXPECT_FALSE(file_rename(S(P("folder")), S(P("renamed"))));
    EXPECT_FALSE(file_rename(S(P("missing")), S(P("renamed"))));
    ASSERT_TRUE(file_rename(S(P("a")), S(P("c"))));
    EXPECT_FALSE(fs::exists(P("a")));
    EXPECT_EQ(ReadFile(P("c")), "alpha");

    // Copy takes (target, source) and replaces the target.
    ASSERT_TRUE(file_copy(S(P("b")), S(P("c"))));
    EXPECT_EQ(ReadFile(P("b")), "alpha");
    EXPECT_EQ(ReadFile(P("c")), "alpha");

    log.Clear();
    EXPECT_FALSE(file_copy(S(P("b")), S(P("missing"))));
    EXPECT_TRUE(log.Contains("Failed to copy file: "));
    EXPECT_EQ(ReadFile(P("b")), "alpha") << "a failed copy leaves the target whole";
    EXPECT_FALSE(file_copy(S(P("c/x")), S(P("b"))));

    ASSERT_TRUE(file_delete(S(P("c"))));
    EXPECT_FALSE(fs::exists(P("c")));
    EXPECT_EQ(Entries(root), (std::vector<std::string>{"b", "folder"}));
}

TEST_F(Files, CreateFolders)
{
    EXPECT_TRUE(dir_create(S(P("x/y/z"))));
    EXPECT_TRUE(fs::is_directory(P("x/y/z")));
    EXPECT_FALSE(dir_create(S(P("x/y/z")))) << "an existing folder was not created";
    EXPECT_FALSE(dir_create(empty_str));
    EXPECT_TRUE(dir_is_empty(S(P("x/y/z"))));
    EXPECT_FALSE(dir_is_empty(S(P("x"))));

    WriteFile(P("file"), "x");
    log.Clear();
    EXPECT_FALSE(dir_create(S(P("file/sub"))));
    EXPECT_TRUE(log.Contains("Failed to create directory: " + P("file/sub")));
    EXPECT_FALSE(dir_exists(S(P("file/sub"))));
}

TEST_F(Files, OpenStream)
{
    std::FILE* f = file_open(S(P("s.txt")), string_make("w"));
    ASSERT_NE(f, nullptr);
    std::fputs("hi", f);
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(ReadFile(P("s.txt")), "hi");
    EXPECT_EQ(file_open(S(P("missing/s.txt")), string_make("r")), nullptr);
    EXPECT_EQ(file_open(empty_str, string_make("r")), nullptr);
}
