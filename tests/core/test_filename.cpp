// The normal form of paths (links, "..", backslashes, trailing separators),
// the five parts of a filename_t and their replacement, names from outside
// that must stay in their folder, and the record operations.
#include "orvo/core/core_filename.h"
#include "orvo/core/core_filename_qt.h"
#include "support/support_temp_dir.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <QString>
#include <boost/filesystem.hpp>

#include <cstdio>
#include <string>
#include <unistd.h>

using namespace orvo;
using lumivane_test::S;
using lumivane_test::Str;
namespace fs = boost::filesystem;

namespace
{
struct Parts
{
    std::string path, dir, name, stem, extension;
};

void ExpectParts(const filename_t& f, const Parts& expected)
{
    EXPECT_EQ(Str(f.path), expected.path);
    EXPECT_EQ(Str(f.dir.path), expected.dir);
    EXPECT_EQ(Str(f.name), expected.name);
    EXPECT_EQ(Str(f.stem), expected.stem);
    EXPECT_EQ(Str(f.extension), expected.extension);
}

// root/real/sub (folders), root/link -> root/real, root/afile (a file), and
// the working folder set to root; root itself is link-free.
struct Paths : ::testing::Test
{
    lumivane_test::TempDir temp;
    std::string root;
    std::string old_cwd;
    filename_t file;
    dirname_t dir;

    void SetUp() override
    {
        root = fs::canonical(temp.Path()).string();
        fs::create_directories(root + "/real/sub");
        fs::create_directory_symlink(root + "/real", root + "/link");
        std::FILE* f = std::fopen((root + "/afile").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        old_cwd = fs::current_path().string();
        fs::current_path(root);
        filename_initialise(file);
        dirname_initialise(dir);
    }
    void TearDown() override
    {
        filename_release(file);
        dirname_release(dir);
        fs::current_path(old_cwd);
    }
};
} // namespace

TEST_F(Paths, DirnameNormalForm)
{
    struct Case
    {
        const char* why;
        std::string input;
        std::string expected; // empty: the setter fails and leaves it empty
    };
    const Case cases[] = {
        {"link and .. resolved, trailing separator dropped", root + "/link/../real/sub/", root + "/real/sub"},
        {"doubled separators", root + "//real//sub//", root + "/real/sub"},
        {"missing tail keeps its own .. normalised", root + "/nope/a/../b/", root + "/nope/b"},
        {"trailing /. of a missing folder", root + "/nope/.", root + "/nope"},
        {"backslashes are separators", root + "\\link\\sub", root + "/real/sub"},
        {"backslash .. cannot survive as text", root + "/real/sub\\..\\..\\x", root + "/x"},
        {"existing relative folder becomes absolute", "real/sub/", root + "/real/sub"},
        {"missing relative folder stays relative", "rel/dir/", "rel/dir"},
        {"relative . is the working folder", ".", root},
        {"below a regular file", root + "/afile/x", root + "/afile/x"},
        {"root stays root", "/", "/"},
        {"empty", "", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(dirname_set(dir, S(c.input)), !c.expected.empty());
        EXPECT_EQ(Str(dir.path), c.expected);
    }
}

TEST_F(Paths, FilenameNormalFormAndParts)
{
    struct Case
    {
        const char* why;
        std::string input;
        Parts expected; // all empty: the setter fails
    };
    const Case cases[] = {
        {"link, .. and a backslash in a new name: one more folder level",
         root + "/link/../link/sub/x\\y.jpg",
         {root + "/real/sub/x/y.jpg", root + "/real/sub/x", "y.jpg", "y", ".jpg"}},
        {"existing file through the link", root + "/link/../afile", {root + "/afile", root, "afile", "afile", ""}},
        {"two dots: the last is the extension",
         root + "/archive.tar.gz",
         {root + "/archive.tar.gz", root, "archive.tar.gz", "archive.tar", ".gz"}},
        {"missing relative path stays relative",
         "a/b/LVP_0001.JPG",
         {"a/b/LVP_0001.JPG", "a/b", "LVP_0001.JPG", "LVP_0001", ".JPG"}},
        {"a bare extension is no file name", ".jpg", {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(filename_set(file, S(c.input)), !c.expected.path.empty());
        ExpectParts(file, c.expected);
    }
}

TEST_F(Paths, SetFromFolderAndName)
{
    // Unlike the one-path setter, the folder-and-name form keeps a bare extension.
    EXPECT_TRUE(filename_set(file, S(root + "/link/"), S(".jpg")));
    ExpectParts(file, {root + "/real/.jpg", root + "/real", ".jpg", "", ".jpg"});
    EXPECT_TRUE(filename_set(file, S(root), S("LVP_0002.CR2")));
    ExpectParts(file, {root + "/LVP_0002.CR2", root, "LVP_0002.CR2", "LVP_0002", ".CR2"});
    // The Boost-path form is the one-path setter.
    EXPECT_TRUE(filename_set(file, fs::path(root) / "real" / ".." / "z.png"));
    ExpectParts(file, {root + "/z.png", root, "z.png", "z", ".png"});
}

TEST_F(Paths, NamesFromOutsideStayInTheirFolder)
{
    // Names as a camera, a barcode or another computer may send them.
    struct Case
    {
        const char* name;
        const char* stored;
    };
    const Case cases[] = {
        {"../../etc/passwd", "___.._etc_passwd"},
        {"..\\..\\evil.jpg", "___.._evil.jpg"},
        {"/abs.jpg", "_abs.jpg"},
        {"sub/img.jpg", "sub_img.jpg"},
        {"..", "__"},
        {"..hidden.jpg", "__hidden.jpg"},
        {"ok..name.jpg", "ok..name.jpg"},
        {"IMG_0001.JPG", "IMG_0001.JPG"},
    };
    const std::string folder = root + "/real/sub";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(filename_set(file, S(folder), string_make(c.name)));
        EXPECT_EQ(Str(file.dir.path), folder);
        EXPECT_EQ(Str(file.name), c.stored);

        ASSERT_TRUE(filename_set(file, S(folder), string_make("start.jpg")));
        ASSERT_TRUE(filename_replace_name(file, string_make(c.name)));
        EXPECT_EQ(Str(file.dir.path), folder);
        EXPECT_EQ(Str(file.name), c.stored);

        ASSERT_TRUE(filename_replace_stem(file, string_make(c.name)));
        EXPECT_EQ(Str(file.dir.path), folder);

        dirname_set(dir, S(folder));
        ASSERT_TRUE(dirname_append(dir, string_make(c.name)));
        EXPECT_EQ(Str(dir.path), folder + "/" + c.stored);
    }
    // A camera's file type becomes the extension: it carries no separator in.
    ASSERT_TRUE(filename_set(file, S(folder), string_make("a.jpg")));
    ASSERT_TRUE(filename_replace_extension(file, string_make("jpg/../../../x")));
    EXPECT_EQ(Str(file.dir.path), folder);
    EXPECT_EQ(Str(file.name), "a.jpg_.._.._.._x");
}

TEST(FilenameSanitise, ReplacesSeparatorsAndALeadingDotDot)
{
    struct Case
    {
        const char* in;
        const char* out;
        bool changed;
    };
    const Case cases[] = {
        {"", "", false},      {"plain.jpg", "plain.jpg", false}, {"a/b\\c", "a_b_c", true}, {"..", "__", true},
        {"...", "__.", true}, {".hidden", ".hidden", false},     {"a..b", "a..b", false},   {"../", "___", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.in);
        stringbuffer_t name;
        stringbuffer_initialise(name);
        stringbuffer_set(name, c.in);
        EXPECT_EQ(filename_sanitise_name(name), c.changed);
        EXPECT_EQ(Str(name), c.out);
        stringbuffer_release(name);
    }
}

TEST_F(Paths, Replacements)
{
    const std::string folder = root + "/real";
    ASSERT_TRUE(filename_set(file, S(folder + "/LVP_0007.JPG")));

    // The extension's letter case is kept when the stem changes.
    ASSERT_TRUE(filename_replace_stem(file, string_make("LVP_0007_1")));
    ExpectParts(file, {folder + "/LVP_0007_1.JPG", folder, "LVP_0007_1.JPG", "LVP_0007_1", ".JPG"});

    // With or without the dot, the same result.
    for (const char* extension : {"CR2", ".CR2"})
    {
        SCOPED_TRACE(extension);
        ASSERT_TRUE(filename_set(file, S(folder + "/LVP_0007.JPG")));
        ASSERT_TRUE(filename_replace_extension(file, string_make(extension)));
        ExpectParts(file, {folder + "/LVP_0007.CR2", folder, "LVP_0007.CR2", "LVP_0007", ".CR2"});
    }
    ASSERT_TRUE(filename_replace_extension(file, empty_str));
    ExpectParts(file, {folder + "/LVP_0007", folder, "LVP_0007", "LVP_0007", ""});

    ASSERT_TRUE(filename_replace_name(file, string_make("other.tif")));
    ExpectParts(file, {folder + "/other.tif", folder, "other.tif", "other", ".tif"});

    // A new folder through a link is stored link-free; the name stays.
    ASSERT_TRUE(filename_replace_dir(file, S(root + "/link/sub")));
    ExpectParts(file, {folder + "/sub/other.tif", folder + "/sub", "other.tif", "other", ".tif"});
}

TEST_F(Paths, CopyMoveAndClear)
{
    ASSERT_TRUE(filename_set(file, S(root + "/real/a.jpg")));
    filename_t copy;
    filename_initialise(copy);
    ASSERT_TRUE(filename_copy(copy, file));
    EXPECT_EQ(Str(copy.path), Str(file.path));
    EXPECT_NE(copy.path.str, file.path.str) << "a deep copy";

    // Copying an empty part frees the target's buffer for it.
    ASSERT_TRUE(filename_set(file, S(root + "/real/noext")));
    ASSERT_TRUE(filename_copy(copy, file));
    EXPECT_EQ(copy.extension.storage.buf, nullptr);
    EXPECT_EQ(Str(copy.name), "noext");

    filename_t moved;
    filename_initialise(moved);
    const char* storage = copy.path.str;
    filename_move(copy, moved);
    EXPECT_EQ(moved.path.str, storage) << "the buffers are handed over";
    EXPECT_EQ(copy.path.length, 0u);
    EXPECT_EQ(copy.path.storage.buf, nullptr);
    ExpectParts(copy, {});

    filename_clear(moved);
    ExpectParts(moved, {});
    EXPECT_NE(moved.path.storage.buf, nullptr) << "clear keeps the storage";

    filename_release(moved);
    filename_release(moved); // twice is safe
    filename_release(copy);

    dirname_t a, b;
    dirname_initialise(a);
    dirname_initialise(b);
    ASSERT_TRUE(dirname_set(a, S(root)));
    ASSERT_TRUE(dirname_copy(b, a));
    dirname_move(a, b);
    EXPECT_EQ(Str(b.path), root);
    EXPECT_EQ(a.path.length, 0u);
    dirname_release(a);
    dirname_release(b);
}

TEST_F(Paths, QStringFormsTakeUtf8)
{
    QString path = QString::fromStdString(root) + QString::fromUtf8("/real/\xc3\xa9t\xc3\xa9.jpg");
    ASSERT_TRUE(filename_set(file, path));
    ExpectParts(file, {root + "/real/\xc3\xa9t\xc3\xa9.jpg", root + "/real", "\xc3\xa9t\xc3\xa9.jpg",
                       "\xc3\xa9t\xc3\xa9", ".jpg"});
    ASSERT_TRUE(dirname_set(dir, QString::fromStdString(root + "/link/")));
    EXPECT_EQ(Str(dir.path), root + "/real");
    EXPECT_FALSE(dirname_set(dir, QString()));
    EXPECT_EQ(dir.path.length, 0u);
}

TEST_F(Paths, SortedVectorKeepsByteOrderOfFullPaths)
{
    vector_t<filename_t> files;
    vector_initialise(files, 2, true);
    for (const char* name : {"b.jpg", "B.jpg", "a.jpg", "a.jpg"})
    {
        filename_t f;
        filename_initialise(f);
        ASSERT_TRUE(filename_set(f, S(root), string_make(name)));
        ASSERT_TRUE(vector_insert(files, f));
    }
    ASSERT_EQ(files.count, 4u);
    const char* expected[] = {"B.jpg", "a.jpg", "a.jpg", "b.jpg"};
    for (u64 i = 0; i < files.count; ++i)
    {
        EXPECT_EQ(Str(files.data[i].name), expected[i]);
        filename_release(files.data[i]);
    }
    vector_release(files);
}

TEST_F(Paths, NamesOfTheFolderItselfAreRefused)
{
    // "" and "." joined to a folder name the folder: a record of it would make
    // the next name replacement land in the parent.
    const std::string folder = root + "/real/sub";
    for (const char* name : {"", "."})
    {
        SCOPED_TRACE(std::string("\"") + name + "\"");
        EXPECT_FALSE(filename_set(file, S(folder), string_make(name)));
        EXPECT_EQ(file.path.length, 0u);

        ASSERT_TRUE(filename_set(file, S(folder), string_make("start.jpg")));
        EXPECT_FALSE(filename_replace_name(file, string_make(name)));
        EXPECT_EQ(Str(file.path), folder + "/start.jpg") << "unchanged after a refusal";
        ASSERT_TRUE(filename_replace_name(file, string_make("next.jpg")));
        EXPECT_EQ(Str(file.dir.path), folder);

        ASSERT_TRUE(filename_set(file, S(folder), string_make("noext")));
        EXPECT_FALSE(filename_replace_stem(file, string_make(name)));
        EXPECT_EQ(Str(file.path), folder + "/noext");
    }
}
