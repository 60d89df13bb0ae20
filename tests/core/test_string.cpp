// stringbuffer_t operations, formatting growth, trimming and filtering, the
// UTF-8 iterator, stringarray_t and the conversions.
#include "orvo/core/core_string.h"
#include "orvo/core/core_string_qt.h"
#include "orvo/core/core_stringarray.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QString>

#include <string>
#include <vector>

using namespace orvo;

namespace
{
struct StringBuffer : ::testing::Test
{
    stringbuffer_t buffer;
    void SetUp() override { stringbuffer_initialise(buffer); }
    void TearDown() override { stringbuffer_release(buffer); }

    std::string Text() const { return std::string(buffer.str, buffer.length); }
    // Every write must leave the view and storage in agreement.
    void ExpectConsistent() const
    {
        EXPECT_NE(buffer.str, nullptr);
        EXPECT_EQ(buffer.storage.buf ? buffer.storage.num_bytes : 0u, buffer.length);
        if (buffer.length == 0)
            EXPECT_EQ(buffer.str, empty_str.str);
        else
            EXPECT_EQ(buffer.str[buffer.length], '\0');
    }
};

bool is_e(u32 c)
{
    return c == 'e';
}
u32 e_to_e_acute(u32 c)
{
    return c == 'e' ? 0xE9 : c;
}
} // namespace

TEST_F(StringBuffer, SetToEmptyFreesClearKeeps)
{
    ASSERT_TRUE(stringbuffer_set(buffer, "hello"));
    EXPECT_EQ(Text(), "hello");
    stringbuffer_clear(buffer);
    EXPECT_EQ(buffer.str, empty_str.str);
    EXPECT_NE(buffer.storage.buf, nullptr);
    ExpectConsistent();
    ASSERT_TRUE(stringbuffer_set(buffer, "x"));
    ASSERT_TRUE(stringbuffer_set(buffer, empty_str));
    EXPECT_EQ(buffer.str, empty_str.str);
    EXPECT_EQ(buffer.storage.buf, nullptr);
}

TEST_F(StringBuffer, AppendVariantsAndSelfAppend)
{
    ASSERT_TRUE(stringbuffer_set(buffer, 'a'));
    ASSERT_TRUE(stringbuffer_append(buffer, string_make("bc")));
    ASSERT_TRUE(stringbuffer_append(buffer, static_cast<const char*>(nullptr)));
    ASSERT_TRUE(stringbuffer_append(buffer, 'd'));
    ASSERT_TRUE(stringbuffer_append(buffer, std::string("e")));
    ASSERT_TRUE(stringbuffer_append(buffer, std::wstring(L"\u00e9")));
    EXPECT_EQ(Text(), "abcde\xC3\xA9");
    ASSERT_TRUE(stringbuffer_append(buffer, static_cast<const string_t&>(buffer)));
    EXPECT_EQ(Text(), "abcde\xC3\xA9" "abcde\xC3\xA9");
    ExpectConsistent();
}

TEST_F(StringBuffer, ConversionsSkipInvalidSequences)
{
    ASSERT_TRUE(stringbuffer_set(buffer, std::string("a\xFF" "b\xC3")));
    EXPECT_EQ(Text(), "ab");
    std::wstring wide = L"x";
    wide += static_cast<wchar_t>(0xD800); // lone surrogate
    wide += static_cast<wchar_t>(0x1F600);
    ASSERT_TRUE(stringbuffer_set(buffer, wide));
    EXPECT_EQ(Text(), "x\xF0\x9F\x98\x80");

    std::string narrow;
    string_to_std(string_make("caf\xC3\xA9\xFE!"), narrow);
    EXPECT_EQ(narrow, "caf\xC3\xA9!");
    std::wstring decoded;
    string_to_std(string_make("\xE2\x82\xAC" "1"), decoded);
    EXPECT_EQ(decoded, std::wstring(L"\u20ac1"));
}

TEST_F(StringBuffer, QtBridges)
{
    ASSERT_TRUE(stringbuffer_set(buffer, QString::fromUtf8("gr\xC3\xBC\xC3\x9F")));
    EXPECT_EQ(Text(), "gr\xC3\xBC\xC3\x9F");
    ASSERT_TRUE(stringbuffer_append(buffer, QString("!")));
    EXPECT_EQ(Text(), "gr\xC3\xBC\xC3\x9F!");

    rgba_t colour;
    rgba_set(colour, QColor(255, 0, 51, 255));
    EXPECT_FLOAT_EQ(colour.r, 1.0f);
    EXPECT_FLOAT_EQ(colour.g, 0.0f);
    EXPECT_FLOAT_EQ(colour.b, 0.2f);
    QColor back;
    rgba_to_QColor(back, colour);
    EXPECT_EQ(back, QColor(255, 0, 51, 255));
}

TEST_F(StringBuffer, FormatGrowsOnceForLongResults)
{
    std::string long_text(250, 'x');
    ASSERT_TRUE(stringbuffer_format(buffer, "%s", long_text.c_str()));
    EXPECT_EQ(Text(), long_text);
    EXPECT_EQ(buffer.storage.capacity, 502u); // 200 first, then 250 * 2 + 2
    ASSERT_TRUE(stringbuffer_format(buffer, "%d", 42));
    EXPECT_EQ(Text(), "42");
    EXPECT_EQ(buffer.storage.capacity, 502u); // kept
    ASSERT_TRUE(stringbuffer_format(buffer, "%s", ""));
    EXPECT_EQ(buffer.length, 0u);
    ExpectConsistent();
}

TEST_F(StringBuffer, AppendFormattedKeepsTheOldText)
{
    ASSERT_TRUE(stringbuffer_set(buffer, "ab"));
    ASSERT_TRUE(stringbuffer_appendf(buffer, "%d", 7));
    EXPECT_EQ(Text(), "ab7");
    EXPECT_EQ(buffer.length, 3u);
    std::string big(5000, 'y');
    ASSERT_TRUE(stringbuffer_appendf(buffer, "%s|", big.c_str()));
    EXPECT_EQ(Text(), "ab7" + big + "|");
    ExpectConsistent();
}

TEST_F(StringBuffer, FailedAppendLeavesTheText)
{
    lumivane_test::LogCapture log;
    ASSERT_TRUE(stringbuffer_set(buffer, "keep"));
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(stringbuffer_appendf(buffer, "%s", "more"));
        EXPECT_FALSE(stringbuffer_append(buffer, "more"));
        EXPECT_FALSE(stringbuffer_set(buffer, "a much longer replacement text"));
    }
    EXPECT_EQ(Text(), "keep");
    ExpectConsistent();
}

TEST_F(StringBuffer, TrimRemoveTransform)
{
    struct Case
    {
        const char* name;
        const char* input;
        void (*operation)(stringbuffer_t&);
        const char* expected;
    };
    const Case cases[] = {
        {"trim both ends", "  a b \t", [](stringbuffer_t& b) { stringbuffer_trim(b, is_whitespace); }, "a b"},
        {"trim all", "   ", [](stringbuffer_t& b) { stringbuffer_trim(b, is_whitespace); }, ""},
        {"trim left only", "\r\nx ", [](stringbuffer_t& b) { stringbuffer_trimleft(b, is_whitespace); }, "x "},
        {"trim right only", " x\n", [](stringbuffer_t& b) { stringbuffer_trimright(b, is_whitespace); }, " x"},
        {"trim right over multibyte", "x\xE2\x82\xAC  ",
         [](stringbuffer_t& b) { stringbuffer_trimright(b, is_whitespace); }, "x\xE2\x82\xAC"},
        {"trim left stops at undecodable", "  \xF8 a",
         [](stringbuffer_t& b) { stringbuffer_trimleft(b, is_whitespace); }, "\xF8 a"},
        {"trim right stops at orphan continuation", "\x80\x80\x80\x80 ",
         [](stringbuffer_t& b) { stringbuffer_trimright(b, is_whitespace); }, "\x80\x80\x80\x80"},
        {"remove dots", "a.b.c", [](stringbuffer_t& b) { stringbuffer_remove(b, is_dot); }, "abc"},
        {"remove keeps undecodable tail", "e.e\xF8.e", [](stringbuffer_t& b) { stringbuffer_remove(b, is_e); },
         ".\xF8.e"},
        {"underscore", "a b:c", [](stringbuffer_t& b) { stringbuffer_transform(b, invalid_to_underscore); },
         "a_b_c"},
        {"non-ASCII mapping ignored", "tee", [](stringbuffer_t& b) { stringbuffer_transform(b, e_to_e_acute); },
         "tee"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(stringbuffer_set(buffer, c.input));
        u8* storage = buffer.storage.buf;
        c.operation(buffer);
        EXPECT_EQ(Text(), c.expected);
        EXPECT_EQ(buffer.storage.buf, storage); // never reallocates
        ExpectConsistent();
    }
}

TEST_F(StringBuffer, PrintNumBytes)
{
    const std::pair<u64, const char*> cases[] = {
        {0, "0b"},           {1023, "1023b"},        {1024, "1kb"},         {1048575, "1023kb"},
        {1048576, "1mb"},    {1073741823, "1023mb"}, {1073741824, "1gb"},   {5ull << 40, "5120gb"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.first);
        ASSERT_TRUE(stringbuffer_print_num_bytes(buffer, c.first));
        EXPECT_EQ(Text(), c.second);
    }
}

TEST_F(StringBuffer, LockUnlockAndMove)
{
    char* out = nullptr;
    ASSERT_TRUE(stringbuffer_lock(buffer, 16, out));
    std::strcpy(out, "direct");
    stringbuffer_unlock(buffer);
    EXPECT_EQ(Text(), "direct");
    ASSERT_TRUE(stringbuffer_lock(buffer, 16, out));
    stringbuffer_unlock(buffer, 3);
    EXPECT_EQ(Text(), "dir");

    stringbuffer_t other;
    stringbuffer_initialise(other);
    ASSERT_TRUE(stringbuffer_set(other, "old"));
    stringbuffer_move(buffer, other);
    EXPECT_EQ(buffer.str, empty_str.str);
    EXPECT_EQ(buffer.storage.buf, nullptr);
    EXPECT_EQ(std::string(other.str, other.length), "dir");
    ASSERT_TRUE(stringbuffer_copy(buffer, other));
    EXPECT_EQ(Text(), "dir");
    stringbuffer_release(other);
}

TEST(StringEqualIgnoringAsciiCase, FoldsOnlyAsciiLetters)
{
    struct Case
    {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"", "", true},
        {"Canon", "cANON", true},
        {"EOS R5", "eos r5", true},
        {"Canon", "Canon ", false},
        {"abc", "abd", false},
        {"[", "{", false},   // one letter-width apart, but not letters
        {"@", "`", false},
        {"\xc3\x89", "\xc3\xa9", false}, // non-ASCII bytes are compared exactly
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.a) + " | " + c.b);
        EXPECT_EQ(string_equal_ignoring_ascii_case(string_make(c.a), string_make(c.b)), c.equal);
        EXPECT_EQ(string_equal_ignoring_ascii_case(string_make(c.b), string_make(c.a)), c.equal);
    }
}

TEST(Utf8Iterator, DecodesValidAndStopsAtBrokenSequences)
{
    struct Case
    {
        const char* name;
        const char* text;
        std::vector<std::pair<u32, u64>> expected; // code point and step
    };
    const Case cases[] = {
        {"mixed widths", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", {{0x61, 1}, {0xE9, 2}, {0x20AC, 3}, {0x1F600, 4}}},
        {"missing continuation at end", "ab\xE2\x82", {{0x61, 1}, {0x62, 1}}},
        {"byte F8 ends iteration", "a\xF8" "b", {{0x61, 1}}},
        {"lone continuation read as two-byte lead", "\x80\x41", {{0x01, 2}}},
        {"empty", "", {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        utf8iterator_t it;
        utf8iterator_initialise(it, c.text);
        std::vector<std::pair<u32, u64>> seen;
        while (utf8iterator_next(it))
            seen.emplace_back(it.codepoint, it.step);
        EXPECT_EQ(seen, c.expected);
        utf8iterator_t end = it;
        EXPECT_FALSE(utf8iterator_next(it)); // stays at the end
        EXPECT_EQ(it.position, end.position);
        EXPECT_EQ(it.step, end.step);
    }
}

namespace
{
std::vector<std::string> Strings(const stringarray_t& array)
{
    std::vector<std::string> out;
    for (u64 i = 0; i < array.strings.count; ++i)
    {
        const string_t& s = array.strings.data[i];
        EXPECT_EQ(s.str, array.text + array.offsets.data[i]);
        EXPECT_EQ(s.str[s.length], '\0');
        out.emplace_back(s.str, s.length);
    }
    return out;
}
} // namespace

TEST(StringArray, TokeniseAppendConcatenate)
{
    stringarray_t array;
    stringarray_initialise(array);
    ASSERT_TRUE(stringarray_tokenise(array, string_make("a,,b,"), ","));
    EXPECT_EQ(Strings(array), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(stringarray_append(array, string_make("c")));
    EXPECT_EQ(Strings(array), (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_TRUE(stringarray_tokenise(array, string_make(",,,"), ","));
    EXPECT_TRUE(Strings(array).empty());

    stringarray_clear(array);
    for (const char* s : {"x", "", "y"})
        ASSERT_TRUE(stringarray_append(array, string_make(s)));
    stringbuffer_t joined;
    stringbuffer_initialise(joined);
    ASSERT_TRUE(stringarray_concatenate(array, joined, '/'));
    EXPECT_EQ(std::string(joined.str, joined.length), "x//y");

    // Many appends move the storage; every view is re-based.
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(stringarray_append(array, array.strings.data[i % 3]));
    std::vector<std::string> all = Strings(array);
    ASSERT_EQ(all.size(), 203u);
    const char* pattern[] = {"x", "", "y"};
    for (size_t k = 0; k < all.size(); ++k)
        EXPECT_EQ(all[k], pattern[k % 3]) << k;

    stringarray_t copy;
    stringarray_initialise(copy);
    ASSERT_TRUE(stringarray_copy(copy, array));
    EXPECT_EQ(Strings(copy), Strings(array));
    stringarray_t moved;
    stringarray_initialise(moved);
    stringarray_move(copy, moved);
    EXPECT_EQ(copy.strings.count, 0u);
    EXPECT_EQ(Strings(moved), Strings(array));

    stringarray_release(moved);
    stringarray_release(copy);
    stringbuffer_release(joined);
    stringarray_release(array);
}

TEST(StringArray, FailedAppendLeavesTheArray)
{
    lumivane_test::LogCapture log;
    stringarray_t array;
    stringarray_initialise(array);
    ASSERT_TRUE(stringarray_append(array, string_make("one")));
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(stringarray_append(array, string_make("a text long enough to need more storage")));
    }
    EXPECT_EQ(Strings(array), (std::vector<std::string>{"one"}));
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(stringarray_tokenise(array, string_make("p q r s t u v w x y z long enough"), " "));
    }
    EXPECT_TRUE(Strings(array).empty());
    stringarray_release(array);
}

TEST_F(StringBuffer, ManyAppendsGrowTheStorageGeometrically)
{
    std::string expected;
    lumivane_test::FailingAllocator counter(1L << 40, false); // counts, never fails
    for (int i = 0; i < 5000; ++i)
    {
        ASSERT_TRUE(stringbuffer_appendf(buffer, "%d,", i));
        expected += std::to_string(i) + ",";
    }
    EXPECT_EQ(Text(), expected);
    ExpectConsistent();
    // About 24 KB of text: a handful of doublings, not one growth per call.
    EXPECT_LE(counter.Allocations(), 16);
}

TEST_F(StringBuffer, FormattingTheBuffersOwnTextIntoItself)
{
    // The text is an argument of its own format: every pass must still read
    // it where it was (ASan reports a read of freed storage otherwise).
    struct Case
    {
        const char* name;
        size_t start;   // length of the text before
        bool append;
    };
    const Case cases[] = {
        {"format, short", 3, false},
        {"format, past the first pass", 150, false},
        {"format, past the storage", 4000, false},
        {"append, short", 3, true},
        {"append, past the storage", 3000, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string start;
        for (size_t i = 0; i < c.start; ++i)
            start += static_cast<char>('a' + i % 26);
        ASSERT_TRUE(stringbuffer_set(buffer, start.c_str()));
        if (c.append)
        {
            ASSERT_TRUE(stringbuffer_appendf(buffer, "<%s|%s>", buffer.str, buffer.str));
            EXPECT_EQ(Text(), start + "<" + start + "|" + start + ">");
        }
        else
        {
            ASSERT_TRUE(stringbuffer_format(buffer, "<%s|%s>", buffer.str, buffer.str));
            EXPECT_EQ(Text(), "<" + start + "|" + start + ">");
        }
        ExpectConsistent();
        stringbuffer_release(buffer);
    }
}
