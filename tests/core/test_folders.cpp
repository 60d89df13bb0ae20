// Special folders from the environment and the platform, fresh temporary
// names, and folder listings: what is listed, in which order, and what a
// path that is no folder gives.
#include "orvo/core/core_file.h"
#include "orvo/core/core_filename_qt.h"
#include "orvo/core/core_folders.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

using namespace orvo;
using lumivane_test::S;
using lumivane_test::Str;
namespace fs = boost::filesystem;

namespace
{
void Touch(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fclose(f);
}

// The environment variables the cases change, put back afterwards.
const char* const VARIABLES[] = {"HOME", "XDG_DATA_HOME", "XDG_PICTURES_DIR", "XDG_CONFIG_HOME", "TMPDIR"};

// The cases change the environment and the working folder; both are put back.
struct Folders : ::testing::Test
{
    lumivane_test::TempDir temp;
    std::string root;
    std::string old_cwd;
    std::vector<std::pair<bool, std::string>> old_env;
    dirname_t dir;
    filename_t file;

    void SetUp() override
    {
        for (const char* name : VARIABLES)
        {
            const char* value = std::getenv(name);
            old_env.emplace_back(value != nullptr, value ? value : "");
        }
        root = fs::canonical(temp.Path()).string();
        old_cwd = fs::current_path().string();
        fs::current_path(root);
        dirname_initialise(dir);
        filename_initialise(file);
    }
    void TearDown() override
    {
        dirname_release(dir);
        filename_release(file);
        fs::current_path(old_cwd);
        for (size_t i = 0; i < old_env.size(); ++i)
            old_env[i].first ? setenv(VARIABLES[i], old_env[i].second.c_str(), 1) : unsetenv(VARIABLES[i]);
    }
};
} // namespace

TEST_F(Folders, HomeDataAndPicturesFromTheEnvironment)
{
    fs::create_directories(root + "/home/.local/share");
    struct Case
    {
        const char* why;
        const char* home;     // null: unset
        const char* xdg_data; // null: unset
        const char* xdg_pictures;
        std::string home_dir, data_dir, pictures_dir;
    };
    const std::string h = root + "/home";
    const Case cases[] = {
        {"home only", h.c_str(), nullptr, nullptr, h, h + "/.local/share", h + "/Pictures"},
        {"XDG folders win", h.c_str(), "/srv/data", "/srv/pics", h, "/srv/data", "/srv/pics"},
        {"relative XDG folders are ignored", h.c_str(), "data", "pics", h, h + "/.local/share", h + "/Pictures"},
        {"empty home is no home", "", nullptr, nullptr, "", ".local/share", "Pictures"},
        {"no home: relative to the working folder", nullptr, nullptr, nullptr, "", ".local/share", "Pictures"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
        c.xdg_data ? setenv("XDG_DATA_HOME", c.xdg_data, 1) : unsetenv("XDG_DATA_HOME");
        c.xdg_pictures ? setenv("XDG_PICTURES_DIR", c.xdg_pictures, 1) : unsetenv("XDG_PICTURES_DIR");
        EXPECT_EQ(dir_get_home(dir), !c.home_dir.empty());
        EXPECT_EQ(Str(dir.path), c.home_dir);
        EXPECT_TRUE(dir_get_data(dir));
        EXPECT_EQ(Str(dir.path), c.data_dir);
        EXPECT_TRUE(dir_get_pictures(dir));
        EXPECT_EQ(Str(dir.path), c.pictures_dir);
    }
    // Without a home, an existing .local/share under the working folder is
    // stored in its absolute form.
    fs::create_directories(root + "/.local/share");
    EXPECT_TRUE(dir_get_data(dir));
    EXPECT_EQ(Str(dir.path), root + "/.local/share");
}

TEST_F(Folders, PicturesThroughQtReadTheUserFolderSettings)
{
    fs::create_directories(root + "/config");
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    unsetenv("XDG_PICTURES_DIR");
    ASSERT_TRUE(dir_get_pictures_qt(dir));
    EXPECT_EQ(Str(dir.path), root + "/Pictures");

    std::FILE* f = std::fopen((root + "/config/user-dirs.dirs").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", f);
    std::fclose(f);
    ASSERT_TRUE(dir_get_pictures_qt(dir));
    EXPECT_EQ(Str(dir.path), root + "/Bilder");
}

TEST_F(Folders, TemporaryCurrentAndFixedFolders)
{
    fs::create_directory(root + "/tmp");
    setenv("TMPDIR", (root + "/tmp/").c_str(), 1);
    ASSERT_TRUE(dir_get_temp(dir));
    EXPECT_EQ(Str(dir.path), root + "/tmp");

    // Fresh names: in the temporary folder, never created, never the same.
    const std::regex model(root + "/tmp/orvo-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}");
    ASSERT_TRUE(file_get_temp(file));
    std::string first = Str(file.path);
    EXPECT_TRUE(std::regex_match(first, model)) << first;
    EXPECT_FALSE(fs::exists(first));
    ASSERT_TRUE(file_get_temp(file));
    EXPECT_NE(Str(file.path), first);

    // A temporary folder that does not exist: no name at all.
    setenv("TMPDIR", (root + "/none").c_str(), 1);
    EXPECT_FALSE(dir_get_temp(dir));
    EXPECT_EQ(dir.path.length, 0u);
    EXPECT_FALSE(file_get_temp(file));
    EXPECT_EQ(file.path.length, 0u);

    fs::create_directory(root + "/work");
    dir_set_current(S(root + "/work"));
    ASSERT_TRUE(dir_get_current(dir));
    EXPECT_EQ(Str(dir.path), root + "/work");
    dir_set_current(S(root + "/none")); // ignored
    ASSERT_TRUE(dir_get_current(dir));
    EXPECT_EQ(Str(dir.path), root + "/work");

    ASSERT_TRUE(dir_get_apps(dir));
    EXPECT_EQ(Str(dir.path), fs::canonical("/usr/bin").string());
}

TEST_F(Folders, ExecutableAndResources)
{
    ASSERT_TRUE(file_get_exe(file));
    const std::string exe = fs::canonical("/proc/self/exe").string();
    EXPECT_EQ(Str(file.path), exe);
    EXPECT_EQ(Str(file.name), fs::path(exe).filename().string());
    ASSERT_TRUE(dir_get_exe(dir));
    const std::string exe_dir = fs::path(exe).parent_path().string();
    EXPECT_EQ(Str(dir.path), exe_dir);

    ASSERT_TRUE(dir_get_resource(dir));
    if (fs::is_directory(exe_dir + "/resources"))
        EXPECT_EQ(Str(dir.path), exe_dir + "/resources");
    else
        EXPECT_EQ(Str(dir.path), fs::path(exe_dir).parent_path().string() + "/share/lumivane");
}

TEST_F(Folders, ListingTakesEverythingButFolders)
{
    const std::string d = root + "/list";
    fs::create_directories(d + "/sub");
    for (const char* name : {"b.jpg", "a.jpg", "B.JPG", "a.tcl", "lumivane_stub.tcl"})
        Touch(d + "/" + name);
    Touch(root + "/outside.txt");
    fs::create_symlink(root + "/outside.txt", d + "/link.txt"); // listed as the file it names
    fs::create_symlink(d + "/gone", d + "/broken");               // a broken link is listed as it is
    fs::create_directory_symlink(d + "/sub", d + "/subl");        // a link to a folder is a folder
    Touch(d + "/.jpg");                                           // no stem: no record

    dirname_set(dir, S(d));
    vector_t<filename_t> files;
    vector_initialise(files, 1, true);
    // The vector is not emptied first: a record already there stays in order.
    filename_t early;
    filename_initialise(early);
    ASSERT_TRUE(filename_set(early, S(d + "/c.png")));
    ASSERT_TRUE(vector_insert(files, early));

    ASSERT_TRUE(dir_find_files(files, dir));
    std::vector<std::string> listed;
    for (u64 i = 0; i < files.count; ++i)
        listed.push_back(Str(files.data[i].path));
    const std::vector<std::string> expected = {
        d + "/B.JPG", d + "/a.jpg", d + "/a.tcl", d + "/b.jpg", d + "/broken", d + "/c.png",
        d + "/lumivane_stub.tcl", root + "/outside.txt",
    };
    EXPECT_EQ(listed, expected);
    dir_release_files(files);
    EXPECT_EQ(files.count, 0u);
    EXPECT_EQ(files.data, nullptr);

    // An unsorted vector takes the entries as the folder gives them.
    vector_initialise(files, 0, false);
    ASSERT_TRUE(dir_find_files(files, dir));
    EXPECT_EQ(files.count, 7u);
    dir_release_files(files);
}

TEST_F(Folders, ListingOfWhatIsNoFolder)
{
    fs::create_directory(root + "/empty");
    Touch(root + "/file");
    struct Case
    {
        const char* why;
        std::string path;
    };
    const Case cases[] = {
        {"missing", root + "/missing"},
        {"a folder that is a file", root + "/file"},
        {"an empty folder lists nothing", root + "/empty"},
        {"no path", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        vector_t<filename_t> files;
        vector_initialise(files, 4, true);
        dirname_set(dir, S(c.path));
        EXPECT_FALSE(dir_find_files(files, dir));
        EXPECT_EQ(files.count, 0u);
        dir_release_files(files);
    }
}

TEST_F(Folders, ListedEntriesAreOneNameInsideTheFolder)
{
    // On this system a backslash is an ordinary byte of a name, but the
    // record's normal form reads it as a separator: such a name must not come
    // back as a path outside the listed folder.
    const std::string d = root + "/hostile/inner";
    fs::create_directories(d);
    Touch(d + "/x\\..\\..\\outside.jpg");
    Touch(d + "/..\\up.jpg");
    Touch(d + "/kept.jpg");

    dirname_set(dir, S(d));
    vector_t<filename_t> files;
    vector_initialise(files, 1, true);
    ASSERT_TRUE(dir_find_files(files, dir));
    for (u64 i = 0; i < files.count; ++i)
    {
        SCOPED_TRACE(Str(files.data[i].path));
        EXPECT_EQ(Str(files.data[i].dir.path), d);
        EXPECT_EQ(Str(files.data[i].path), d + "/" + Str(files.data[i].name));
    }
    ASSERT_EQ(files.count, 1u);
    EXPECT_EQ(Str(files.data[0].name), "kept.jpg");
    dir_release_files(files);
}
