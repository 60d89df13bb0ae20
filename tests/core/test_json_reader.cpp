// The JSON reader: documents accepted and refused (with their error codes and
// positions), exact numbers and saturating getters, \u escapes, byte-order
// marks, the nesting limit, lookups and reloading.
#include "orvo/core/core_json_reader.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
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
// A compact, unambiguous form of a parsed value: names and strings raw with
// control bytes as <XX>, whole numbers as integers, others with 17 digits.
std::string Dump(const json_value_t* value)
{
    if (!value)
        return "<null>";
    auto raw = [](const string_t& text) {
        std::string out;
        for (u64 i = 0; i < text.length; ++i)
        {
            unsigned char c = static_cast<unsigned char>(text.str[i]);
            if (c < 0x20)
            {
                char hex[8];
                std::snprintf(hex, sizeof(hex), "<%02X>", c);
                out += hex;
            }
            else
                out += static_cast<char>(c);
        }
        return out;
    };
    switch (value->type)
    {
    case JSON_TYPE_STRING:
        return "\"" + raw(value->string) + "\"";
    case JSON_TYPE_NUMBER:
    {
        char text[64];
        if (value->number_integral && !value->number_overflow)
            std::snprintf(text, sizeof(text), "%lld", static_cast<long long>(json_number_to_ll(value)));
        else
            std::snprintf(text, sizeof(text), "%.17g", json_number_to_double(value));
        return text;
    }
    case JSON_TYPE_TRUE:
        return "true";
    case JSON_TYPE_FALSE:
        return "false";
    case JSON_TYPE_NULL:
        return "null";
    case JSON_TYPE_OBJECT:
    case JSON_TYPE_ARRAY:
    {
        const bool object = value->type == JSON_TYPE_OBJECT;
        std::string out = object ? "{" : "[";
        bool first = true;
        for (const json_value_t* child = json_get_next_member(value, nullptr); child;
             child = json_get_next_member(value, child))
        {
            if (!first)
                out += ",";
            first = false;
            if (object)
                out += raw(child->name) + ":";
            out += Dump(child);
        }
        return out + (object ? "}" : "]");
    }
    }
    return "<bad type>";
}

struct JsonReader : ::testing::Test
{
    LogCapture capture;
    json_reader_t reader;
    void SetUp() override { json_initialise(reader); }
    void TearDown() override { json_release(reader); }

    // The codes of every "JSON error (N)" line, in order.
    std::vector<int> Codes()
    {
        std::vector<int> codes;
        for (const std::string& line : capture.Lines())
        {
            size_t at = line.find("JSON error (");
            if (at != std::string::npos)
                codes.push_back(std::atoi(line.c_str() + at + 12));
        }
        return codes;
    }
};
} // namespace

TEST_F(JsonReader, AcceptsDocumentsAndTheirExtensions)
{
    const std::string bom = "\xEF\xBB\xBF";
    struct Case
    {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"empty object", "{}", "{}"},
        {"empty array with blanks", " \t\r\n[ \n ]", "[]"},
        {"every kind of value", R"({"s":"x","n":-12,"f":1.5,"t":true,"F":false,"z":null,"o":{},"a":[1,[2]]})",
         R"({s:"x",n:-12,f:1.5,t:true,F:false,z:null,o:{},a:[1,[2]]})"},
        {"byte-order marks before the root and before a member name",
         bom + "{" + bom + "\"a\":" + bom + "1," + bom + " \"b\" : [" + bom + "2 ]}", "{a:1,b:[2]}"},
        {"unquoted member names of letters, digits, _ and UTF-8 bytes", "{abc_1:2, \xC3\xA9t\xC3\xA9 :3,x:{y:4}}",
         "{abc_1:2,\xC3\xA9t\xC3\xA9:3,x:{y:4}}"},
        {"a raw tab and other control bytes stay as they are", "[\"a\tb\x01\"]", "[\"a<09>b<01>\"]"},
        {"the letter escapes", R"(["\"\\\/\b\f\n\r\t"])", "[\"\"\\/<08><0C><0A><0D><09>\"]"},
        {"\\u escapes of one, two and three bytes", R"(["\u0041\u00e9\u20AC"])", "[\"A\xC3\xA9\xE2\x82\xAC\"]"},
        {"a surrogate pair becomes one four-byte sequence", R"(["\ud83d\ude00!"])", "[\"\xF0\x9F\x98\x80!\"]"},
        {"\\u0000 is a zero byte inside the string", R"(["a\u0000b"])", "[\"a<00>b\"]"},
        {"escapes in member names", R"({"a\u0062\n":1})", "{ab<0A>:1}"},
        {"text after the root is not looked at", "[1] trailing {", "[1]"},
        {"two members of the same name are both kept", R"({"a":1,"a":2})", "{a:1,a:2}"},
        {"words before separators and blanks", "[true , false\t,null\n]", "[true,false,null]"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        capture.Clear();
        ASSERT_TRUE(json_load(reader, S(c.text)));
        EXPECT_EQ(Dump(json_get_root(reader)), c.expected);
        EXPECT_TRUE(Codes().empty());
    }
}

TEST_F(JsonReader, RefusesMalformedDocumentsWithCodeAndPosition)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::vector<int> codes; // "JSON error (N)" lines in order
        unsigned long long position;
    };
    const std::string deep(257, '[');
    const Case cases[] = {
        {"empty text", "", {}, 0},
        {"a root that is neither object nor array", "true", {}, 0},
        {"a root after blanks", "  x", {}, 2},
        {"true wrong at its 2nd letter", "[tXue]", {122, 603}, 2},
        {"true wrong at its 3rd letter", "[trUe]", {124, 603}, 3},
        {"true cut short", "[tru]", {126, 603}, 4},
        {"false wrong at its 5th letter", "[fals]", {164, 603}, 5},
        {"null wrong at its 4th letter", "[nul]", {200, 603}, 4},
        {"true followed by a letter", "[true x]", {137, 603}, 6},
        {"false followed by a digit", "[false1]", {175, 603}, 6},
        {"null at the end of text", "[null", {211, 603}, 5},
        {"a minus without a digit", "[-]", {257, 603}, 2},
        {"a point without a digit", "[1.]", {271, 603}, 3},
        {"an exponent without digits", "[1e]", {309, 603}, 3},
        {"an exponent sign without digits", "[1e+]", {309, 603}, 4},
        {"a leading zero ends the number", "[012]", {626}, 2},
        {"a string cut by the end of text", "[\"abc", {423, 603}, 5},
        {"an unknown escape letter", R"(["a\qb"])", {371, 603}, 3},
        {"\\u with a non-hex digit", R"(["a\u00G0"])", {369, 603}, 3},
        {"\\u cut by the end of text", "[\"\\u00", {369, 603}, 2},
        {"a lone high surrogate", R"(["\ud800"])", {370, 603}, 2},
        {"a high surrogate before a plain escape", R"(["\ud800\n"])", {370, 603}, 2},
        {"a high surrogate before another high one", R"(["x\ud800\ud800"])", {370, 603}, 3},
        {"a lone low surrogate", R"(["\udc00"])", {370, 603}, 2},
        {"the end of text after escapes", "[\"a\\n", {381, 603}, 5},
        {"the end of text after a backslash", "[\"a\\", {381, 603}, 4},
        {"no colon after a name", R"({"a" 1})", {531}, 5},
        {"a member without a value", R"({"a":})", {535}, 5},
        {"members without a comma", R"({"a":1 "b":2})", {557}, 7},
        {"a comma before the closing brace", R"({"a":1,})", {443, 526}, 7},
        {"a name of a character not allowed", "{-a:1}", {443, 526}, 1},
        {"a name cut by the end of text", "{\"a", {423, 526}, 3},
        {"an object cut after its brace", "{", {}, 1},
        {"an object cut after a member", "{\"a\":1,", {}, 7},
        {"an array cut after its bracket", "[", {}, 1},
        {"an array cut after a comma", "[1, ", {}, 4},
        {"elements without a comma", "[1 2]", {626}, 3},
        {"an empty element", "[1,,2]", {603}, 3},
        {"a failure deep inside reports every level", R"({"a":[1,{"b":tru}]})", {126, 535, 603, 535}, 16},
        {"nesting deeper than 256 levels", deep, std::vector<int>(1, 640), 256},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        capture.Clear();
        EXPECT_FALSE(json_load(reader, S(c.text)));
        EXPECT_EQ(json_get_root(reader), nullptr);
        EXPECT_EQ(json_get_root_object(reader), nullptr);
        EXPECT_EQ(reader.position, c.position);
        std::vector<int> codes = Codes();
        if (c.codes.size() == 1 && c.codes[0] == 640)
        {
            // The depth error, then one 603 for each of the 256 enclosing arrays.
            ASSERT_EQ(codes.size(), 257u);
            EXPECT_EQ(codes[0], 640);
            EXPECT_EQ(std::count(codes.begin(), codes.end(), 603), 256);
        }
        else
            EXPECT_EQ(codes, c.codes);
        char expected[64];
        std::snprintf(expected, sizeof(expected), "JSON parse failed at character %llu:", c.position);
        std::vector<std::string> lines = capture.Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_NE(lines[lines.size() - 2].find(expected), std::string::npos) << lines[lines.size() - 2];
        // The excerpt is the original text from the failing byte on.
        EXPECT_EQ(lines.back(), c.text.substr(std::min<size_t>(c.position, c.text.size()), 80));
    }
}

TEST_F(JsonReader, NestingUpTo256LevelsIsAcceptedAndDeeperHostileInputRefused)
{
    for (const char* pair : {"[]", "{}"})
    {
        SCOPED_TRACE(pair);
        std::string text;
        for (int i = 0; i < 255; ++i)
            text += pair[0] == '[' ? "[" : "{\"a\":";
        text += pair;
        for (int i = 0; i < 255; ++i)
            text += pair[1];
        ASSERT_TRUE(json_load(reader, S(text)));
        const json_value_t* value = json_get_root(reader);
        int depth = 1;
        while (json_get_next_member(value, nullptr))
        {
            value = json_get_next_member(value, nullptr);
            ++depth;
        }
        EXPECT_EQ(depth, 256);

        // One more level is refused, and so is a megabyte of openers,
        // without the stack growing with the input.
        EXPECT_FALSE(json_load(reader, S(pair[0] + text + pair[1])));
        EXPECT_FALSE(json_load(reader, S(std::string(1 << 20, pair[0]))));
    }
}

TEST_F(JsonReader, NumbersAreExactAndGettersSaturate)
{
    struct Case
    {
        const char* text;
        long long ll;
        unsigned long long ull;
        int i;
        double d;
        float f;
    };
    const long long MAXLL = LLONG_MAX, MINLL = LLONG_MIN;
    const unsigned long long MAXULL = ULLONG_MAX;
    const Case cases[] = {
        {"0", 0, 0, 0, 0.0, 0.0f},
        {"2.9", 2, 2, 2, 2.9, 2.9f},
        {"-2.9", -2, 0, -2, -2.9, -2.9f},
        {"1.05", 1, 1, 1, 1.05, 1.05f},
        {"1.50", 1, 1, 1, 1.5, 1.5f},
        {"-0.5", 0, 0, 0, -0.5, -0.5f},
        {"1e3", 1000, 1000, 1000, 1000.0, 1000.0f},
        {"5e2", 500, 500, 500, 500.0, 500.0f},
        {"1E+2", 100, 100, 100, 100.0, 100.0f},
        {"25e-1", 2, 2, 2, 2.5, 2.5f},
        {"0.001", 0, 0, 0, 0.001, 0.001f},
        {"1e-5", 0, 0, 0, 1e-5, 1e-5f},
        {"0.0001e4", 1, 1, 1, 1.0, 1.0f},
        {"12345678901234567.9e1", 123456789012345679ll, 123456789012345679ull, INT_MAX, 123456789012345679.0,
         123456789012345679.0f},
        {"9007199254740993", 9007199254740993ll, 9007199254740993ull, INT_MAX, 9007199254740992.0, 9007199254740992.0f},
        {"2147483648", 2147483648ll, 2147483648ull, INT_MAX, 2147483648.0, 2147483648.0f},
        {"4294967296", 4294967296ll, 4294967296ull, INT_MAX, 4294967296.0, 4294967296.0f},
        {"-2147483649", -2147483649ll, 0, INT_MIN, -2147483649.0, -2147483649.0f},
        {"9223372036854775807", MAXLL, 9223372036854775807ull, INT_MAX, 9223372036854775807.0, 9223372036854775807.0f},
        {"9223372036854775808", MAXLL, 9223372036854775808ull, INT_MAX, 9223372036854775808.0, 9223372036854775808.0f},
        {"-9223372036854775808", MINLL, 0, INT_MIN, -9223372036854775808.0, -9223372036854775808.0f},
        {"-9223372036854775809", MINLL, 0, INT_MIN, -9223372036854775809.0, -9223372036854775809.0f},
        {"18446744073709551615", MAXLL, MAXULL, INT_MAX, 18446744073709551615.0, 18446744073709551615.0f},
        {"18446744073709551616", MAXLL, MAXULL, INT_MAX, 18446744073709551616.0, 18446744073709551616.0f},
        {"1e19", MAXLL, 10000000000000000000ull, INT_MAX, 1e19, 1e19f},
        {"1e20", MAXLL, MAXULL, INT_MAX, 1e20, 1e20f},
        {"123456789012345678901234567890", MAXLL, MAXULL, INT_MAX, 123456789012345678901234567890.0, 1.2345679e29f},
        {"0.1234567890123456789012345678901", 0, 0, 0, 0.12345678901234568, 0.12345679f},
        {"1.00000000000000000000000000001", 1, 1, 1, 1.0, 1.0f},
        {"3.5e38", MAXLL, MAXULL, INT_MAX, 3.5e38, FLT_MAX},
        {"-3.5e38", MINLL, 0, INT_MIN, -3.5e38, -FLT_MAX},
        {"1e400", MAXLL, MAXULL, INT_MAX, DBL_MAX, FLT_MAX},
        {"-1e400", MINLL, 0, INT_MIN, -DBL_MAX, -FLT_MAX},
        {"1e999999999999999999999999", MAXLL, MAXULL, INT_MAX, DBL_MAX, FLT_MAX},
        {"1e-400", 0, 0, 0, 0.0, 0.0f},
        {"-1e-999999999999999999999999", 0, 0, 0, -0.0, -0.0f},
        {"0e999999999999999999999999", 0, 0, 0, 0.0, 0.0f},
        {"0.000000000000000000000000000000000000000000000001e48", 1, 1, 1, 1.0, 1.0f},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(json_load(reader, S(std::string("{\"n\":") + c.text + "}")));
        const json_object_t* root = json_get_root_object(reader);
        const json_number_t* number = json_get_member(root, S("n"));
        ASSERT_NE(number, nullptr);
        EXPECT_EQ(json_number_to_ll(number), c.ll);
        EXPECT_EQ(json_get_member_ull(root, S("n")), c.ull);
        EXPECT_EQ(json_get_member_int(root, S("n")), c.i);
        EXPECT_EQ(json_number_to_double(number), c.d);
        EXPECT_EQ(json_get_member_float(root, S("n")), c.f);
        EXPECT_EQ(std::signbit(json_number_to_double(number)), std::signbit(c.d));
    }
}

TEST_F(JsonReader, MemberLookupsTakeTheFirstMemberAndReadWrongTypesAsEmpty)
{
    ASSERT_TRUE(json_load(reader, S(R"({"a":1,"s":"text","a":"second","t":true,"f":false,"o":{"x":7},)"
                                    R"("l":["p",2,{"q":1}],"b":"AAEC","n":null})")));
    const json_object_t* root = json_get_root_object(reader);
    ASSERT_NE(root, nullptr);

    // The first "a" decides, also where a later "a" would fit the getter.
    EXPECT_EQ(json_get_member_int(root, S("a")), 1);
    EXPECT_EQ(Str(json_get_member_string(root, S("a"))), "");
    EXPECT_EQ(Str(json_get_member_string(root, S("s"))), "text");
    EXPECT_EQ(json_get_member_string(root, S("s")).str[4], 0); // views are zero-terminated

    EXPECT_TRUE(json_has_member(root, S("n")));
    EXPECT_FALSE(json_has_member(root, S("N"))); // case-sensitive
    EXPECT_FALSE(json_has_member(root, S("")));
    EXPECT_TRUE(json_get_member_bool(root, S("t")));
    EXPECT_FALSE(json_get_member_bool(root, S("f")));
    EXPECT_FALSE(json_get_member_bool(root, S("s")));
    EXPECT_FALSE(json_get_member_bool(root, S("missing")));
    EXPECT_EQ(json_get_member_int(root, S("s")), 0);
    EXPECT_EQ(json_get_member_float(root, S("t")), 0.0f);
    EXPECT_EQ(json_get_member_ull(root, S("missing")), 0u);
    EXPECT_EQ(json_get_member_object(root, S("l")), nullptr);
    EXPECT_EQ(json_get_member_array(root, S("o")), nullptr);
    EXPECT_EQ(json_get_member_int(json_get_member_object(root, S("o")), S("x")), 7);

    // Null and non-objects have no members; nothing crashes on them.
    EXPECT_EQ(json_get_member(nullptr, S("a")), nullptr);
    EXPECT_EQ(json_get_member(json_get_member(root, S("s")), S("a")), nullptr);
    EXPECT_EQ(Str(json_get_member_string(json_get_member_array(root, S("l")), S("p"))), "");
    EXPECT_EQ(json_get_num_elements(json_get_member_object(root, S("o"))), 0);
    EXPECT_EQ(json_get_element(json_get_member_object(root, S("o")), 0), nullptr);
    EXPECT_EQ(json_number_to_ll(json_get_member(root, S("s"))), 0);

    const json_array_t* list = json_get_member_array(root, S("l"));
    ASSERT_EQ(json_get_num_elements(list), 3);
    EXPECT_EQ(Str(json_get_element_string(list, 0)), "p");
    EXPECT_EQ(Str(json_get_element_string(list, 1)), "");
    EXPECT_EQ(json_get_element_object(list, 0), nullptr);
    EXPECT_EQ(json_get_member_int(json_get_element_object(list, 2), S("q")), 1);
    EXPECT_EQ(json_get_element(list, -1), nullptr);
    EXPECT_EQ(json_get_element(list, 3), nullptr);
    EXPECT_EQ(json_get_element(nullptr, 0), nullptr);
    EXPECT_TRUE(json_get_element(list, 0)->name.length == 0);

    // Members in document order, then null.
    std::string names;
    for (const json_value_t* m = json_get_next_member(root, nullptr); m; m = json_get_next_member(root, m))
        names += Str(m->name) + ",";
    EXPECT_EQ(names, "a,s,a,t,f,o,l,b,n,");

    // Pool indexes: the root is a node like any other.
    EXPECT_EQ(json_get_struct(reader, reader.root), root);
    EXPECT_EQ(json_get_struct(reader, -1), nullptr);
    EXPECT_EQ(json_get_struct(reader, static_cast<i64>(reader.values.count)), nullptr);
}

TEST_F(JsonReader, ElementsAreFoundInAnyOrderOfAccess)
{
    // Sequential access reuses the reader's cursor; going back, jumping and
    // switching arrays must still find the right element.
    std::string text = "[[";
    for (int i = 0; i < 100; ++i)
        text += (i ? "," : "") + std::to_string(i);
    text += "],[";
    for (int i = 0; i < 10; ++i)
        text += (i ? ",{\"v\":" : "{\"v\":") + std::to_string(1000 + i) + "}";
    text += "]]";
    ASSERT_TRUE(json_load(reader, S(text)));
    const json_array_t* numbers = json_get_element(json_get_root(reader), 0);
    const json_array_t* objects = json_get_element(json_get_root(reader), 1);
    ASSERT_EQ(json_get_num_elements(numbers), 100);
    for (i64 n : {0, 1, 2, 50, 50, 49, 99, 0, 98, 7})
    {
        SCOPED_TRACE(n);
        EXPECT_EQ(json_number_to_ll(json_get_element(numbers, n)), n);
        EXPECT_EQ(json_get_member_int(json_get_element_object(objects, n % 10), S("v")), 1000 + n % 10);
    }
    // A copy of a node (outside the pool) still walks correctly.
    json_value_t copy = *numbers;
    EXPECT_EQ(json_number_to_ll(json_get_element(&copy, 42)), 42);
}

TEST_F(JsonReader, ReloadReplacesTheDocumentAndAFailedLoadLeavesNoRoot)
{
    ASSERT_TRUE(json_load(reader, S(R"({"a":"first"})")));
    ASSERT_TRUE(json_load(reader, S(R"({b:"second", c:"x\ty"})")));
    const json_object_t* root = json_get_root_object(reader);
    EXPECT_FALSE(json_has_member(root, S("a")));
    EXPECT_EQ(Str(json_get_member_string(root, S("b"))), "second");
    EXPECT_EQ(Str(json_get_member_string(root, S("c"))), "x\ty");

    EXPECT_FALSE(json_load(reader, S(R"({"a":)")));
    EXPECT_EQ(json_get_root(reader), nullptr);
    EXPECT_EQ(json_get_struct(reader, 0), nullptr); // no nodes of the failed text

    ASSERT_TRUE(json_load(reader, S("[1]")));
    EXPECT_EQ(json_get_root_object(reader), nullptr); // an array root is not an object
    EXPECT_NE(json_get_root(reader), nullptr);

    // The caller's text is copied: it is never cut or unescaped in place.
    std::string text = R"({"k":"v\n"})";
    ASSERT_TRUE(json_load(reader, S(text)));
    EXPECT_EQ(text, R"({"k":"v\n"})");

    json_release(reader);
    json_release(reader);
    json_reader_t zeroed = {};
    json_release(zeroed);
    json_initialise(reader);
}

TEST_F(JsonReader, AFailedAllocationRefusesTheDocumentWithTheNodeCode)
{
    // The text copy is the first allocation of a load; the pool then holds 8
    // nodes (the array and 7 elements), so the 8th element needs the next.
    struct Case
    {
        const char* text;
        std::vector<int> codes;
    };
    const Case cases[] = {
        {"[0,1,2,3,4,5,6,8]", {227, 603}},
        {"[0,1,2,3,4,5,6,\"s\"]", {473, 603}},
        {"[0,1,2,3,4,5,6,{}]", {498, 603}},
        {"[0,1,2,3,4,5,6,[]]", {576, 603}},
        {"[0,1,2,3,4,5,6,true]", {115, 603}},
        {"[0,1,2,3,4,5,6,false]", {151, 603}},
        {"[0,1,2,3,4,5,6,null]", {189, 603}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        json_release(reader);
        json_initialise(reader);
        capture.Clear();
        {
            FailingAllocator failing(1);
            EXPECT_FALSE(json_load(reader, S(c.text)));
        }
        EXPECT_EQ(Codes(), c.codes);
        EXPECT_TRUE(capture.Contains("FATAL ERROR failed to allocate"));
        EXPECT_EQ(json_get_root(reader), nullptr);
        EXPECT_TRUE(json_load(reader, S(c.text))); // and it recovers
    }
    json_release(reader);
    json_initialise(reader);
    {
        FailingAllocator failing(0);
        EXPECT_FALSE(json_load(reader, S("[1]"))); // the text copy itself
    }
}

TEST_F(JsonReader, PrintWritesTheValueIntoTheLogLine)
{
    ASSERT_TRUE(json_load(reader, S(R"({"a":1.9,"s":"x","l":[true,null,{}],"e":[]})")));
    capture.Clear();
    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_TEST));
    json_print(json_get_root(reader), 0);
    log_unlock();
    std::vector<std::string> lines = capture.Lines();
    const std::vector<std::string> expected = {
        "{",
        "  \"a\": 1,",
        "  \"s\": \"x\",",
        "  \"l\": [",
        "    true,",
        "    null,",
        "    {",
        "    }",
        "  ],",
        "  \"e\": [",
        "  ]",
        "}",
    };
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_NE(lines[0].find("] {"), std::string::npos) << lines[0];
    for (size_t i = 1; i < expected.size(); ++i)
        EXPECT_EQ(lines[i], expected[i]);
}

TEST_F(JsonReader, LoadsFilesUpToTheirFirstZeroByte)
{
    lumivane_test::TempDir dir;
    struct Case
    {
        const char* name;
        std::string bytes; // null: no file at all
        bool ok;
        const char* logged;
    };
    const Case cases[] = {
        {"a document", "\xEF\xBB\xBF{\"a\":[1]}", true, nullptr},
        {"bytes after a zero byte are not read", std::string("[1]\0[[[", 7), true, nullptr},
        {"a zero byte cuts the document", std::string("{\"a\":\0}", 7), false, "JSON parse failed at character 5:"},
        {"a file of only a zero byte", std::string("\0", 1), false, "JSON parse failed at character 0:"},
        {"an empty file", "", false, "File is zero sized"},
    };
    int n = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string path = dir.File("f" + std::to_string(n++) + ".json");
        std::ofstream(path, std::ios::binary) << c.bytes;
        filename_t filename;
        filename_initialise(filename);
        ASSERT_TRUE(filename_set(filename, S(path)));
        capture.Clear();
        EXPECT_EQ(json_load(reader, filename), c.ok);
        EXPECT_EQ(json_get_root(reader) != nullptr, c.ok);
        if (c.logged)
        {
            EXPECT_TRUE(capture.Contains(c.logged));
        }
        filename_release(filename);
    }

    filename_t missing;
    filename_initialise(missing);
    ASSERT_TRUE(filename_set(missing, S(dir.File("missing.json"))));
    capture.Clear();
    EXPECT_FALSE(json_load(reader, missing));
    EXPECT_TRUE(capture.Contains("File does not exist"));
    EXPECT_TRUE(capture.Contains(std::string("Failed to load file: ") + missing.path.str));
    filename_release(missing);
}
