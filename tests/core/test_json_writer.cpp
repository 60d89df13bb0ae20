// The JSON writer: the exact layout against golden texts (byte-order mark
// included), escaping that always gives valid JSON, round trips through the
// reader, geometric growth and failures.
#include "orvo/core/core_json_reader.h"
#include "orvo/core/core_json_writer.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::FailingAllocator;
using lumivane_test::LogCapture;
using lumivane_test::S;
using lumivane_test::Str;

namespace
{
const std::string BOM = "\xEF\xBB\xBF";

struct JsonWriter : ::testing::Test
{
    LogCapture capture;
    json_writer_t writer;
    stringbuffer_t text;
    void SetUp() override
    {
        jsonwriter_initialise(writer);
        stringbuffer_initialise(text);
    }
    void TearDown() override
    {
        jsonwriter_release(writer);
        stringbuffer_release(text);
    }
};

// The document of the golden text: every member writer, nested multi-line
// and single-line blocks, an empty array and an empty member name.
void WriteGoldenDocument(json_writer_t& writer)
{
    json_block_t root, nested, list, empty, rows, row;
    json_begin_object(writer, nullptr, root, empty_str, true);
    json_add_string(root, S("name"), S("Lumivane \"3\"\\\n"));
    json_add_int(root, S("int"), INT_MIN);
    json_add_uint(root, S("uint"), UINT_MAX);
    json_add_ll(root, S("ll"), LLONG_MIN);
    json_add_ull(root, S("ull"), ULLONG_MAX);
    json_add_float(root, S("float"), 0.1f);
    json_add_float(root, S("nan"), NAN);
    json_add_float(root, S("inf"), -INFINITY);
    json_add_bool(root, S("yes"), true);
    json_add_bool(root, S("no"), false);
    json_add_null(root, S("nothing"));
    json_begin_object(writer, &root, nested, S("nested"), true);
    json_add_string(nested, S("control"), S("\x01\x1f\t\b\f\r\x7f/"));
    json_begin_array(writer, &nested, list, S("list"), false);
    json_add_int(list, empty_str, 1);
    json_add_int(list, S("ignored in an array"), 2);
    json_add_int(list, empty_str, 3);
    json_end_array(list);
    json_begin_array(writer, &nested, empty, S("empty"), false);
    json_end_array(empty);
    json_begin_array(writer, &nested, rows, S("rows"), true);
    json_begin_object(writer, &rows, row, empty_str, false);
    json_add_int(row, S("a"), 1);
    json_add_string(row, empty_str, S("x"));
    json_end_object(row);
    json_end_array(rows);
    json_end_object(nested);
    json_add_string(root, empty_str, S(""));
    json_end_object(root);
}

const char* const GOLDEN = "{\n"
                           "  \"name\": \"Lumivane \\\"3\\\"\\\\\\n\",\n"
                           "  \"int\": -2147483648,\n"
                           "  \"uint\": 4294967295,\n"
                           "  \"ll\": -9223372036854775808,\n"
                           "  \"ull\": 18446744073709551615,\n"
                           "  \"float\": 0.100000,\n"
                           "  \"nan\": null,\n"
                           "  \"inf\": null,\n"
                           "  \"yes\": true,\n"
                           "  \"no\": false,\n"
                           "  \"nothing\": null,\n"
                           "  \"nested\": {\n"
                           "    \"control\": \"\\u0001\\u001F\\t\\b\\f\\r\x7f/\",\n"
                           "    \"list\": [ 1, 2, 3 ],\n"
                           "    \"empty\": [ ],\n"
                           "    \"rows\": [\n"
                           "      { \"a\": 1, \"\": \"x\" }\n"
                           "    ]\n"
                           "  },\n"
                           "  \"\": \"\"\n"
                           "}";
} // namespace

TEST_F(JsonWriter, StringTargetMatchesTheGoldenText)
{
    ASSERT_TRUE(json_open_string(writer, text));
    WriteGoldenDocument(writer);
    EXPECT_TRUE(json_close(writer));
    EXPECT_EQ(Str(text), BOM + GOLDEN);

    // The output is JSON the reader takes back, member for member.
    json_reader_t reader;
    json_initialise(reader);
    ASSERT_TRUE(json_load(reader, text));
    const json_object_t* root = json_get_root_object(reader);
    EXPECT_EQ(Str(json_get_member_string(root, S("name"))), "Lumivane \"3\"\\\n");
    EXPECT_EQ(json_get_member(root, S("nan"))->type, JSON_TYPE_NULL);
    EXPECT_EQ(json_get_member_ull(root, S("ull")), ULLONG_MAX);
    EXPECT_EQ(json_number_to_ll(json_get_member(root, S("ll"))), LLONG_MIN);
    const json_object_t* nested = json_get_member_object(root, S("nested"));
    EXPECT_EQ(Str(json_get_member_string(nested, S("control"))), "\x01\x1f\t\b\f\r\x7f/");
    EXPECT_EQ(json_get_num_elements(json_get_member_array(nested, S("list"))), 3);
    EXPECT_EQ(Str(json_get_member_string(json_get_element_object(json_get_member_array(nested, S("rows")), 0), S(""))),
              "x");
    json_release(reader);
}

TEST_F(JsonWriter, SmallShapes)
{
    struct Case
    {
        const char* name;
        void (*write)(json_writer_t&);
        const char* expected;
    };
    const Case cases[] = {
        {"empty multi-line object", [](json_writer_t& w) {
             json_block_t b;
             json_begin_object(w, nullptr, b, empty_str, true);
             json_end_object(b);
         }, "{\n}"},
        {"empty single-line array", [](json_writer_t& w) {
             json_block_t b;
             json_begin_array(w, nullptr, b, empty_str, false);
             json_end_array(b);
         }, "[ ]"},
        {"single-line array of 1, 2 and 3", [](json_writer_t& w) {
             json_block_t b;
             json_begin_array(w, nullptr, b, empty_str, false);
             for (int i = 1; i <= 3; ++i)
                 json_add_int(b, empty_str, i);
             json_end_array(b);
         }, "[ 1, 2, 3 ]"},
        {"floats with six decimals and no exponent", [](json_writer_t& w) {
             json_block_t b;
             json_begin_array(w, nullptr, b, empty_str, false);
             json_add_float(b, empty_str, -2.5f);
             json_add_float(b, empty_str, 1e10f);
             json_add_float(b, empty_str, 1e-7f);
             json_add_float(b, empty_str, INFINITY);
             json_end_array(b);
         }, "[ -2.500000, 10000000000.000000, 0.000000, null ]"},
        {"escaped member names", [](json_writer_t& w) {
             json_block_t b;
             json_begin_object(w, nullptr, b, empty_str, false);
             json_add_bool(b, S("a\"b\n"), true);
             json_end_object(b);
         }, "{ \"a\\\"b\\n\": true }"},
        {"a long formatted piece", [](json_writer_t& w) {
             json_write(w, "%s", std::string(300, 'x').c_str());
         }, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(json_open_string(writer, text));
        c.write(writer);
        EXPECT_TRUE(json_close(writer));
        EXPECT_EQ(Str(text), BOM + (c.expected ? c.expected : std::string(300, 'x')));
    }
}

TEST_F(JsonWriter, EveryByteRoundTripsThroughTheReader)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    ASSERT_TRUE(json_open_string(writer, text));
    json_block_t root;
    json_begin_object(writer, nullptr, root, empty_str, true);
    json_add_string(root, S(all), S(all));
    json_end_object(root);
    ASSERT_TRUE(json_close(writer));

    // No raw control byte is left in the output.
    for (u64 i = 0; i < text.length; ++i)
        EXPECT_FALSE(static_cast<unsigned char>(text.str[i]) < 0x20 && text.str[i] != '\n') << i;

    json_reader_t reader;
    json_initialise(reader);
    ASSERT_TRUE(json_load(reader, text));
    const json_value_t* member = json_get_next_member(json_get_root(reader), nullptr);
    ASSERT_NE(member, nullptr);
    // Bytes 0x80 to 0xFF in a row are no UTF-8: each reads back as U+FFFD.
    std::string expected = all.substr(0, 128);
    for (int c = 128; c < 256; ++c)
        expected += "\xEF\xBF\xBD";
    EXPECT_EQ(Str(member->name), expected);
    EXPECT_EQ(Str(member->string), expected);
    json_release(reader);
}

TEST_F(JsonWriter, OpenAndCloseFollowTheTargetRules)
{
    EXPECT_FALSE(json_is_open(writer));
    EXPECT_FALSE(json_close(writer));
    json_block_t block;
    EXPECT_FALSE(json_begin_object(writer, nullptr, block, empty_str, true));
    EXPECT_FALSE(json_add_int(block, S("a"), 1));

    stringbuffer_set(text, "old text");
    ASSERT_TRUE(json_open_string(writer, text));
    EXPECT_TRUE(json_is_open(writer));
    EXPECT_EQ(Str(text), BOM); // emptied, then the mark
    stringbuffer_t other;
    stringbuffer_initialise(other);
    EXPECT_FALSE(json_open_string(writer, other)); // one target at a time
    EXPECT_EQ(other.length, 0u);
    EXPECT_TRUE(json_close(writer));
    EXPECT_FALSE(json_is_open(writer));
    EXPECT_EQ(Str(text), BOM); // the caller keeps the text

    // Reopened on another buffer.
    ASSERT_TRUE(json_open_string(writer, other));
    ASSERT_TRUE(json_begin_array(writer, nullptr, block, empty_str, false));
    json_end_array(block);
    EXPECT_TRUE(json_close(writer));
    EXPECT_EQ(Str(other), BOM + "[ ]");
    stringbuffer_release(other);

    // A writer that cannot even write the mark is left closed.
    stringbuffer_t fresh;
    stringbuffer_initialise(fresh);
    {
        FailingAllocator failing(0);
        EXPECT_FALSE(json_open_string(writer, fresh));
    }
    EXPECT_FALSE(json_is_open(writer));
    EXPECT_TRUE(json_open_string(writer, fresh));
    EXPECT_TRUE(json_close(writer));
    stringbuffer_release(fresh);

    jsonwriter_release(writer);
    jsonwriter_release(writer);
    json_writer_t zeroed = {};
    jsonwriter_release(zeroed);
    jsonwriter_initialise(writer);
}

TEST_F(JsonWriter, LongOutputGrowsGeometrically)
{
    // A megabyte string of bytes that all need escaping, and 100,000 small
    // members: each costs a handful of reallocations, not one per piece.
    const std::string escaped(1 << 20, '\n');
    FailingAllocator counting(LONG_MAX);
    ASSERT_TRUE(json_open_string(writer, text));
    json_block_t root;
    json_begin_array(writer, nullptr, root, empty_str, true);
    json_add_string(root, empty_str, S(escaped));
    for (int i = 0; i < 100000; ++i)
        json_add_int(root, empty_str, i);
    json_end_array(root);
    ASSERT_TRUE(json_close(writer));
    EXPECT_LT(counting.Allocations(), 40);
    EXPECT_EQ(text.length, 3u + 1u + 3u + 2u * escaped.size() + 2u + 888890u + 2u);
}

TEST_F(JsonWriter, AFailedAllocationFailsTheCloseAndStopsOutput)
{
    ASSERT_TRUE(json_open_string(writer, text));
    json_block_t root;
    ASSERT_TRUE(json_begin_array(writer, nullptr, root, empty_str, true));
    {
        FailingAllocator failing(0);
        EXPECT_FALSE(json_add_string(root, empty_str, S(std::string(4096, 'x'))));
        EXPECT_FALSE(json_add_int(root, empty_str, 1)); // nothing after a failure
    }
    EXPECT_FALSE(json_end_array(root));
    EXPECT_FALSE(json_close(writer));
    EXPECT_EQ(Str(text), BOM + "[\n  "); // the prefix went out before the string failed
    std::vector<std::string> lines = capture.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("FATAL ERROR") != std::string::npos; }),
              1);

    // The next open starts afresh.
    ASSERT_TRUE(json_open_string(writer, text));
    EXPECT_TRUE(json_close(writer));
}

namespace
{
struct JsonWriterFiles : JsonWriter
{
    lumivane_test::TempDir dir;
    filename_t filename;
    void SetUp() override
    {
        JsonWriter::SetUp();
        filename_initialise(filename);
        ASSERT_TRUE(filename_set(filename, S(dir.File("options.json"))));
    }
    void TearDown() override
    {
        filename_release(filename);
        JsonWriter::TearDown();
    }
    std::string Contents()
    {
        std::ifstream in(filename.path.str, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Put(const std::string& text)
    {
        std::ofstream(filename.path.str, std::ios::binary) << text;
    }
};
} // namespace

TEST_F(JsonWriterFiles, BothFileTargetsSaveTheGoldenTextAtClose)
{
    for (bool safe : {true, false})
    {
        SCOPED_TRACE(safe ? "json_open_file_safe" : "json_open_file");
        Put("old");
        ASSERT_TRUE(safe ? json_open_file_safe(writer, filename) : json_open_file(writer, filename));
        EXPECT_FALSE(json_open_string(writer, text));
        EXPECT_FALSE(json_open_file(writer, filename));
        WriteGoldenDocument(writer);
        EXPECT_EQ(Contents(), "old"); // nothing touches the file before the close
        EXPECT_TRUE(json_close(writer));
        EXPECT_EQ(Contents(), BOM + GOLDEN);

        json_reader_t reader;
        json_initialise(reader);
        ASSERT_TRUE(json_load(reader, filename));
        EXPECT_EQ(Str(json_get_member_string(json_get_root_object(reader), S("name"))), "Lumivane \"3\"\\\n");
        json_release(reader);
    }
    // Only the target is left in the folder: no temporary file stays behind.
    int entries = 0;
    for (auto it = std::filesystem::directory_iterator(dir.Path()); it != std::filesystem::directory_iterator(); ++it)
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(JsonWriterFiles, AFailedWriteOrSaveKeepsTheOldFile)
{
    filename_t missing;
    filename_initialise(missing);
    ASSERT_TRUE(filename_set(missing, S(dir.File("no folder/x.json"))));

    // json_open_file refuses a missing folder at once.
    capture.Clear();
    EXPECT_FALSE(json_open_file(writer, missing));
    EXPECT_TRUE(capture.Contains(std::string("Failed to open file: No such file or directory - ") + missing.path.str));
    EXPECT_FALSE(json_is_open(writer));

    // json_open_file_safe finds out when it saves.
    ASSERT_TRUE(json_open_file_safe(writer, missing));
    EXPECT_FALSE(json_close(writer));
    EXPECT_FALSE(std::filesystem::exists(missing.path.str));
    filename_release(missing);

    // An empty path is refused.
    filename_t none;
    filename_initialise(none);
    EXPECT_FALSE(json_open_file(writer, none));
    EXPECT_FALSE(json_open_file_safe(writer, none));

    // A text that failed half-way is not saved over the old file.
    Put("precious");
    ASSERT_TRUE(json_open_file_safe(writer, filename));
    json_block_t root;
    ASSERT_TRUE(json_begin_object(writer, nullptr, root, empty_str, true));
    {
        FailingAllocator failing(0);
        EXPECT_FALSE(json_add_string(root, S("big"), S(std::string(100000, 'x'))));
    }
    json_end_object(root);
    EXPECT_FALSE(json_close(writer));
    EXPECT_EQ(Contents(), "precious");

    // Releasing an open writer abandons its text.
    ASSERT_TRUE(json_open_file(writer, filename));
    json_write(writer, "{}");
    jsonwriter_release(writer);
    EXPECT_EQ(Contents(), "precious");
    jsonwriter_initialise(writer);
}

TEST_F(JsonWriter, BinaryMembersRoundTripAsBase64)
{
    const u8 bytes[] = {0, 1, 2, 255};
    memorybuffer_t buffer;
    memorybuffer_initialise(buffer);
    memorybuffer_set(buffer, bytes, sizeof(bytes));
    memorybuffer_t none;
    memorybuffer_initialise(none);

    ASSERT_TRUE(json_open_string(writer, text));
    json_block_t root;
    json_begin_object(writer, nullptr, root, empty_str, false);
    EXPECT_TRUE(json_add_binary(root, S("data"), buffer));
    EXPECT_TRUE(json_add_binary(root, S("empty"), none));
    json_add_int(root, S("number"), 5);
    json_end_object(root);
    ASSERT_TRUE(json_close(writer));
    EXPECT_EQ(Str(text), BOM + "{ \"data\": \"AAEC/w==\", \"empty\": \"\", \"number\": 5 }");

    json_reader_t reader;
    json_initialise(reader);
    ASSERT_TRUE(json_load(reader, text));
    const json_object_t* root_object = json_get_root_object(reader);
    memorybuffer_t out;
    memorybuffer_initialise(out);
    ASSERT_TRUE(json_get_member_binary(root_object, S("data"), out));
    ASSERT_EQ(out.num_bytes, sizeof(bytes));
    EXPECT_EQ(std::memcmp(out.data, bytes, sizeof(bytes)), 0);
    // Absent, empty and non-string members give false and an empty buffer.
    for (const char* name : {"missing", "empty", "number"})
    {
        SCOPED_TRACE(name);
        ASSERT_TRUE(json_get_member_binary(root_object, S("data"), out));
        EXPECT_FALSE(json_get_member_binary(root_object, S(name), out));
        EXPECT_EQ(out.num_bytes, 0u);
    }
    memorybuffer_release(out);
    memorybuffer_release(buffer);
    json_release(reader);
}

TEST_F(JsonWriter, TextThatIsNotUtf8IsWrittenWithReplacementCharacters)
{
    // A camera's name or a file name may hold any bytes; a strict client
    // refuses a whole reply that is not UTF-8. Each bad sequence (its longest
    // valid start) becomes one U+FFFD; well-formed text passes unchanged.
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case
    {
        const char* why;
        std::string in;
        std::string out; // the string's text between its quotes
    };
    const Case cases[] = {
        {"ASCII and two-, three- and four-byte sequences pass", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7",
         "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7"},
        {"a stray 0xFF", "IMG_\xFF.JPG", "IMG_" + fffd + ".JPG"},
        {"a lone continuation byte", "a\x80z", "a" + fffd + "z"},
        {"a sequence cut by the end", "ab\xE2\x82", "ab" + fffd},
        {"a sequence cut by ASCII", "\xF0\x9F\x93Z", fffd + "Z"},
        {"an overlong slash", "\xC0\xAF", fffd + fffd},
        {"an overlong three-byte form", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"an encoded surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"past U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"a bad byte beside an escape", "\"\xFE\n", "\\\"" + fffd + "\\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        stringbuffer_clear(text);
        ASSERT_TRUE(json_open_string(writer, text));
        ASSERT_TRUE(json_write_string(writer, string_make(c.in.data(), c.in.size())));
        ASSERT_TRUE(json_close(writer));
        EXPECT_EQ(std::string(text.str, text.length), "\xEF\xBB\xBF\"" + c.out + "\""); // after the byte-order mark
    }
}
