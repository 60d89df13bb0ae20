// The JSON bridge of msg_t: fields built by their ids' declared types, the
// members refused, the exact JSON form of a message (golden text) and round
// trips from a message to JSON and back.
#include "orvo/core/core_msg_json.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;
using lumivane_test::S;
using lumivane_test::Str;

namespace
{
// Every field of a message as "Name:type=value;", nested messages in braces,
// read through the typed reader as any receiver would.
std::string Describe(const msg_t* msg)
{
    if (!msg)
        return "<null>";
    msgdata_helper_t helper;
    msgdata_helper_initialise(helper);
    std::string out;
    for (const msgdata_t* field = msg_next(msg, nullptr); field; field = msg_next(msg, field))
    {
        out += Str(msgfield_to_str(field->field)) + ":";
        if (!msgdata_helper_get(field, helper))
        {
            out += "unreadable;";
            continue;
        }
        char text[64];
        switch (helper.type)
        {
        case MSGDATA_TYPE_BOOL:
            out += helper.boolean ? "bool=true" : "bool=false";
            break;
        case MSGDATA_TYPE_INT32:
            out += "int32=" + std::to_string(helper.int32);
            break;
        case MSGDATA_TYPE_UINT32:
            out += "uint32=" + std::to_string(helper.uint32);
            break;
        case MSGDATA_TYPE_INT64:
            out += "int64=" + std::to_string(helper.int64);
            break;
        case MSGDATA_TYPE_UINT64:
            out += "uint64=" + std::to_string(helper.uint64);
            break;
        case MSGDATA_TYPE_FLOAT32:
            std::snprintf(text, sizeof(text), "float32=%.9g", static_cast<double>(helper.float32));
            out += text;
            break;
        case MSGDATA_TYPE_STRING:
            out += "string=" + Str(helper.string);
            break;
        case MSGDATA_TYPE_STRINGLIST:
            out += "list=";
            for (u64 i = 0; i < helper.stringlist.strings.count; ++i)
                out += "[" + Str(helper.stringlist.strings.data[i]) + "]";
            break;
        case MSGDATA_TYPE_RAW:
            out += "raw=" + std::to_string(helper.raw.num_bytes);
            break;
        case MSGDATA_TYPE_MSG:
        {
            const msg_t* child = helper.child;
            out += "msg={" + Describe(child) + "}";
            break;
        }
        default:
            out += "?";
        }
        out += ";";
    }
    msgdata_helper_release(helper);
    return out;
}

struct MsgJson : ::testing::Test
{
    LogCapture capture;
    json_reader_t reader;
    json_writer_t writer;
    msgbuilder_t builder;
    stringbuffer_t text;
    void SetUp() override
    {
        json_initialise(reader);
        jsonwriter_initialise(writer);
        msgbuilder_initialise(builder);
        stringbuffer_initialise(text);
    }
    void TearDown() override
    {
        json_release(reader);
        jsonwriter_release(writer);
        msgbuilder_release(builder);
        stringbuffer_release(text);
    }

    // Parses the JSON and builds a message from its root object.
    const msg_t* FromJson(const std::string& json)
    {
        msgbuilder_reset(builder);
        if (!json_load(reader, S(json)))
            return nullptr;
        return msgbuilder_from_json(builder, json_get_root_object(reader));
    }

    // The message as a multi-line JSON object in `text`.
    bool ToJson(const msg_t* msg)
    {
        if (!json_open_string(writer, text))
            return false;
        json_block_t root;
        json_begin_object(writer, nullptr, root, empty_str, true);
        bool ok = msg_to_json(msg, writer, root);
        json_end_object(root);
        return json_close(writer) && ok;
    }
};
} // namespace

TEST_F(MsgJson, TheHeaderComesFromTheReservedMembers)
{
    const msg_t* msg = FromJson(R"({"msg_id":"ShootMsg","msg_type":"Request","msg_ref_num":7,"Enable":true})");
    ASSERT_NE(msg, nullptr);
    EXPECT_TRUE(msg_validate(msg));
    EXPECT_EQ(msg->field, MSGFIELD_SHOOT_MSG);
    EXPECT_EQ(msg->type, MSG_TYPE_REQUEST);
    EXPECT_EQ(msg->ref_num, 7u);
    EXPECT_EQ(msg->src_id, 0);
    EXPECT_EQ(msg->dst_id, 0);
    EXPECT_EQ(Describe(msg), "Enable:bool=true;");

    struct Case
    {
        const char* json;
        i32 id;
        u8 type;
        u32 ref_num;
    };
    const Case cases[] = {
        {R"({})", MSGFIELD_UNKNOWN, MSG_TYPE_UNKNOWN, 0},
        {R"({"msg_id":"shootmsg","msg_type":"request"})", MSGFIELD_UNKNOWN, MSG_TYPE_UNKNOWN, 0},
        {R"({"msg_id":7,"msg_type":"Event","msg_ref_num":"7"})", MSGFIELD_UNKNOWN, MSG_TYPE_EVENT, 0},
        {R"({"msg_id":"PhotoUpdatedMsg","msg_type":"Response","msg_ref_num":-1})", MSGFIELD_PHOTO_UPDATED_MSG,
         MSG_TYPE_RESPONSE, 0xFFFFFFFFu},
        {R"({"msg_id":"TestMsg","msg_ref_num":4294967295})", MSGFIELD_TEST_MSG, MSG_TYPE_UNKNOWN, 0xFFFFFFFFu},
        {R"({"msg_id":"TestMsg","msg_ref_num":12.9})", MSGFIELD_TEST_MSG, MSG_TYPE_UNKNOWN, 12},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.json);
        msg = FromJson(c.json);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->field, c.id);
        EXPECT_EQ(msg->type, c.type);
        EXPECT_EQ(msg->ref_num, c.ref_num);
        EXPECT_EQ(msg->data_offset, 0u);
    }
}

TEST_F(MsgJson, MembersBecomeFieldsOfTheirDeclaredTypes)
{
    struct Case
    {
        const char* members;
        const char* fields;
    };
    const Case cases[] = {
        // 64-bit ids keep every bit, where an int32 would truncate.
        {R"("DateTime":1700000000123456)", "DateTime:uint64=1700000000123456;"},
        {R"("DateTime":18446744073709551615)", "DateTime:uint64=18446744073709551615;"},
        {R"("PhotoFilesize":0)", "PhotoFilesize:uint64=0;"},
        {R"("CameraDateTimeOffset":-5000000000)", "CameraDateTimeOffset:int64=-5000000000;"},
        {R"("CameraDateTimeOffset":-9223372036854775808)", "CameraDateTimeOffset:int64=-9223372036854775808;"},
        {R"("TransferSize":4294967295,"TransferOffset":0)", "TransferSize:uint32=4294967295;TransferOffset:uint32=0;"},
        {R"("FontSize":-2147483648,"GridBatchNum":2.0,"GridSequenceNum":1e3)",
         "FontSize:int32=-2147483648;GridBatchNum:int32=2;GridSequenceNum:int32=1000;"},
        {R"("TestFloat":2.5,"CameraLiveviewScaleX":-2.5,"CameraLiveviewScaleY":2,"CameraDownloadRate":25e-1)",
         "TestFloat:float32=2.5;CameraLiveviewScaleX:float32=-2.5;CameraLiveviewScaleY:float32=2;"
         "CameraDownloadRate:float32=2.5;"},
        {R"("TestFloat":3.4028234663852886e38)", "TestFloat:float32=3.40282347e+38;"},
        {R"("Enable":false,"Result":true)", "Enable:bool=false;Result:bool=true;"},
        {R"("TestString":"a\"b\u00e9","CameraKey":"")", "TestString:string=a\"b\xC3\xA9;CameraKey:string=;"},
        {R"("CameraKeys":["a","","b"],"PhotoKeys":[])", "CameraKeys:list=[a][][b];PhotoKeys:list=;"},
        {R"("CameraKey":"1","CameraKey":"2")", "CameraKey:string=1;CameraKey:string=2;"},
        // Names outside the catalogue, "Unknown" and null values add nothing.
        {R"("Unknown":1,"NoSuchField":2,"testString":"x","TestString":null,"msg_extra":{})", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.members);
        const msg_t* msg = FromJson(std::string(R"({"msg_id":"TestMsg",)") + c.members + "}");
        ASSERT_NE(msg, nullptr);
        EXPECT_TRUE(msg_validate(msg));
        EXPECT_EQ(Describe(msg), c.fields);
    }
}

TEST_F(MsgJson, MembersTheDeclaredTypeCannotHoldRefuseTheObject)
{
    struct Case
    {
        const char* members;
        const char* logged;
    };
    const Case cases[] = {
        {R"("FontSize":2.5)", "member \"FontSize\" is not a whole number from -2147483648 to 2147483647"},
        {R"("FontSize":2147483648)", "\"FontSize\" is not a whole number"},
        {R"("FontSize":"12")", "\"FontSize\" is not a whole number"},
        {R"("TransferSize":-1)", "\"TransferSize\" is not a whole number from 0 to 4294967295"},
        {R"("TransferSize":4294967296)", "\"TransferSize\" is not a whole number from 0 to 4294967295"},
        {R"("DateTime":-1)", "\"DateTime\" is not a whole number from 0 to 2^64 - 1"},
        {R"("DateTime":1.5)", "\"DateTime\" is not a whole number"},
        {R"("DateTime":18446744073709551616)", "\"DateTime\" is not a whole number"},
        {R"("CameraDateTimeOffset":9223372036854775808)", "\"CameraDateTimeOffset\" is not a whole number"},
        {R"("TestFloat":1e39)", "\"TestFloat\" is not a number within the float32 range"},
        {R"("TestFloat":-1e400)", "\"TestFloat\" is not a number within the float32 range"},
        {R"("TestFloat":true)", "\"TestFloat\" is not a number within the float32 range"},
        {R"("Enable":1)", "\"Enable\" is not true or false"},
        {R"("TestString":5)", "\"TestString\" is not a string without zero bytes"},
        {R"("TestString":"a\u0000b")", "\"TestString\" is not a string without zero bytes"},
        {R"("CameraKeys":["a",5])", "\"CameraKeys\" is not an array of strings without zero bytes"},
        {R"("CameraKeys":["\u0000"])", "\"CameraKeys\" is not an array of strings without zero bytes"},
        {R"("CameraKeys":"a")", "\"CameraKeys\" is not an array of strings"},
        {R"("TestRaw":"AAAA")", "\"TestRaw\" is raw data, which has no JSON form"},
        {R"("CameraLiveviewImage":null)", "\"CameraLiveviewImage\" is raw data"},
        {R"("TestChild":{})", "\"TestChild\" is a nested msg, which is not read from JSON"},
        {R"("CameraUpdatedMsg":[{"CameraKey":"x"}])", "\"CameraUpdatedMsg\" is a nested msg"},
        {R"("msg_ref_num":4294967296)", "member \"msg_ref_num\" is not a number from -2147483648 to 4294967295"},
        {R"("msg_ref_num":-2147483649)", "\"msg_ref_num\" is not a number"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.members);
        capture.Clear();
        // A good member first: a refusal must not leave it behind.
        EXPECT_EQ(FromJson(std::string(R"({"msg_id":"TestMsg","TestBool":true,)") + c.members + "}"), nullptr);
        EXPECT_TRUE(capture.Contains("Failed to build msg TestMsg from JSON: member \""));
        EXPECT_TRUE(capture.Contains(c.logged));
        EXPECT_EQ(builder.used, 0);
    }

    // The builder must be empty, and the JSON value an object.
    ASSERT_NE(FromJson(R"({"msg_id":"TestMsg"})"), nullptr);
    capture.Clear();
    EXPECT_EQ(msgbuilder_from_json(builder, json_get_root_object(reader)), nullptr);
    EXPECT_TRUE(capture.Contains("Failed to build msg from JSON: the builder is not empty"));
    msgbuilder_reset(builder);
    ASSERT_TRUE(json_load(reader, S(R"([{"msg_id":"TestMsg"}])")));
    EXPECT_EQ(msgbuilder_from_json(builder, json_get_root(reader)), nullptr);
    EXPECT_EQ(msgbuilder_from_json(builder, nullptr), nullptr);
    EXPECT_TRUE(capture.Contains("Failed to build msg from JSON: not a JSON object"));
}

namespace
{
// A response with a value of every kind, a raw field, runs of nested
// messages and a NaN: the shape the grid publishes.
const msg_t* BuildResponse(msgbuilder_t& builder)
{
    msgbuilder_reset(builder);
    stringarray_t keys;
    stringarray_initialise(keys);
    stringarray_append(keys, S("Canon|EOS R5|0123"));
    stringarray_append(keys, empty_str);
    const u8 raw[] = {1, 2, 3};
    msgbuilder_begin(builder, MSGFIELD_SYNCHRONISE_MSG);
    msgbuilder_add(builder, MSGFIELD_RESULT, true);
    msgbuilder_add(builder, MSGFIELD_NODE_SYNC_VERSION, -3);
    msgbuilder_add(builder, MSGFIELD_TRANSFER_SIZE, 4294967295u);
    msgbuilder_add(builder, MSGFIELD_CAMERA_DATE_TIME_OFFSET, -9223372036854775807ll - 1);
    msgbuilder_add(builder, MSGFIELD_DATE_TIME, 18446744073709551615ull);
    msgbuilder_add(builder, MSGFIELD_TEST_FLOAT, 0.1f);
    msgbuilder_add(builder, MSGFIELD_CAMERA_LIVEVIEW_SCALE_X, NAN);
    msgbuilder_add(builder, MSGFIELD_TEST_RAW, raw, sizeof(raw));
    msgbuilder_add(builder, MSGFIELD_TEST_STRING, S("tab\there \"q\" \x01"));
    msgbuilder_add(builder, MSGFIELD_CAMERA_KEYS, keys);
    for (const char* key : {"a|b|1", "a|b|2"})
    {
        msgbuilder_begin(builder, MSGFIELD_CAMERA_UPDATED_MSG);
        msgbuilder_add(builder, MSGFIELD_CAMERA_KEY, S(key));
        msgbuilder_end(builder);
    }
    msgbuilder_add(builder, MSGFIELD_NODE_KEY, S("local"));
    msgbuilder_begin(builder, MSGFIELD_CAMERA_UPDATED_MSG);
    msgbuilder_end(builder);
    msg_t* msg = msgbuilder_end(builder);
    msg->type = MSG_TYPE_RESPONSE;
    msg->ref_num = 0xFFFFFFFEu;
    stringarray_release(keys);
    return msg;
}
} // namespace

TEST_F(MsgJson, AMessageIsWrittenAsTheGoldenText)
{
    ASSERT_TRUE(ToJson(BuildResponse(builder)));
    const char* golden = "\xEF\xBB\xBF{\n"
                         "  \"msg_type\": \"Response\",\n"
                         "  \"msg_id\": \"SynchroniseMsg\",\n"
                         "  \"msg_ref_num\": -2,\n"
                         "  \"Result\": true,\n"
                         "  \"NodeSyncVersion\": -3,\n"
                         "  \"TransferSize\": 4294967295,\n"
                         "  \"CameraDateTimeOffset\": -9223372036854775808,\n"
                         "  \"DateTime\": 18446744073709551615,\n"
                         "  \"TestFloat\": 0.100000,\n"
                         "  \"CameraLiveviewScaleX\": null,\n"
                         "  \"TestString\": \"tab\\there \\\"q\\\" \\u0001\",\n"
                         "  \"CameraKeys\": [ \"Canon|EOS R5|0123\", \"\" ],\n"
                         "  \"CameraUpdatedMsg\": [\n"
                         "    {\n"
                         "      \"msg_type\": \"Unknown\",\n"
                         "      \"msg_id\": \"CameraUpdatedMsg\",\n"
                         "      \"msg_ref_num\": 0,\n"
                         "      \"CameraKey\": \"a|b|1\"\n"
                         "    },\n"
                         "    {\n"
                         "      \"msg_type\": \"Unknown\",\n"
                         "      \"msg_id\": \"CameraUpdatedMsg\",\n"
                         "      \"msg_ref_num\": 0,\n"
                         "      \"CameraKey\": \"a|b|2\"\n"
                         "    }\n"
                         "  ],\n"
                         "  \"NodeKey\": \"local\",\n"
                         "  \"CameraUpdatedMsg\": [\n"
                         "    {\n"
                         "      \"msg_type\": \"Unknown\",\n"
                         "      \"msg_id\": \"CameraUpdatedMsg\",\n"
                         "      \"msg_ref_num\": 0\n"
                         "    }\n"
                         "  ]\n"
                         "}";
    EXPECT_EQ(Str(text), golden);
}

TEST_F(MsgJson, MessagesRoundTripThroughJson)
{
    // Value fields of every type come back equal, header included; the raw
    // field has no JSON form and is left out.
    msgbuilder_t original;
    msgbuilder_initialise(original);
    stringarray_t keys;
    stringarray_initialise(keys);
    stringarray_append(keys, S("x"));
    stringarray_append(keys, empty_str);
    stringarray_append(keys, S("\xE2\x82\xAC \\ \""));
    const u8 raw[] = {9};
    msgbuilder_begin(original, MSGFIELD_PHOTO_UPDATED_MSG);
    msgbuilder_add(original, MSGFIELD_PHOTO_IS_IMAGE, false);
    msgbuilder_add(original, MSGFIELD_PHOTO_WIDTH, INT_MIN);
    msgbuilder_add(original, MSGFIELD_PHOTO_HEIGHT, INT_MAX);
    msgbuilder_add(original, MSGFIELD_TRANSFER_OFFSET, 0u);
    msgbuilder_add(original, MSGFIELD_CAMERA_DATE_TIME_OFFSET, 9223372036854775807ll);
    msgbuilder_add(original, MSGFIELD_PHOTO_FILESIZE, 9007199254740993ull);
    msgbuilder_add(original, MSGFIELD_DATE_TIME, 1700000000123456ull);
    msgbuilder_add(original, MSGFIELD_CAMERA_DOWNLOAD_RATE, -1234.5f);
    msgbuilder_add(original, MSGFIELD_CAMERA_LIVEVIEW_SCALE_Y, FLT_MAX);
    msgbuilder_add(original, MSGFIELD_TRANSFER_DATA, raw, sizeof(raw));
    msgbuilder_add(original, MSGFIELD_PHOTO_FILENAME, S("/photos/\x01\x1f\n\t\"\\/LVP_0001.JPG"));
    msgbuilder_add(original, MSGFIELD_PHOTO_BARCODE, empty_str);
    msgbuilder_add(original, MSGFIELD_PHOTO_KEYS, keys);
    msgbuilder_add(original, MSGFIELD_CAMERA_KEY, S("1"));
    msgbuilder_add(original, MSGFIELD_CAMERA_KEY, S("2"));
    msg_t* msg = msgbuilder_end(original);
    msg->type = MSG_TYPE_EVENT;
    msg->ref_num = 0x80000000u;

    ASSERT_TRUE(ToJson(msg));
    ASSERT_TRUE(json_load(reader, text));
    const msg_t* back = msgbuilder_from_json(builder, json_get_root_object(reader));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(msg_validate(back));
    EXPECT_EQ(back->field, msg->field);
    EXPECT_EQ(back->type, msg->type);
    EXPECT_EQ(back->ref_num, msg->ref_num);
    std::string expected = Describe(msg);
    expected.erase(expected.find("TransferData:raw=1;"), std::string("TransferData:raw=1;").size());
    EXPECT_EQ(Describe(back), expected);

    // And again: the second trip gives the same JSON text.
    std::string first = Str(text);
    ASSERT_TRUE(ToJson(back));
    EXPECT_EQ(Str(text), first);

    stringarray_release(keys);
    msgbuilder_release(original);
}

TEST_F(MsgJson, NestedMessagesAreWrittenButNotReadBack)
{
    // Two runs of the same id separated by another field give two members of
    // that name; reading them back is refused rather than half-done.
    ASSERT_TRUE(ToJson(BuildResponse(builder)));
    ASSERT_TRUE(json_load(reader, text));
    int runs = 0;
    const json_object_t* root = json_get_root_object(reader);
    for (const json_value_t* m = json_get_next_member(root, nullptr); m; m = json_get_next_member(root, m))
        runs += Str(m->name) == "CameraUpdatedMsg" && m->type == JSON_TYPE_ARRAY;
    EXPECT_EQ(runs, 2);
    msgbuilder_reset(builder);
    capture.Clear();
    EXPECT_EQ(msgbuilder_from_json(builder, root), nullptr);
    EXPECT_TRUE(capture.Contains("\"CameraUpdatedMsg\" is a nested msg"));
}

TEST_F(MsgJson, AMalformedMessageIsRefusedWithItsBlocksClosed)
{
    const msg_t* msg = BuildResponse(builder);
    std::vector<u8> bytes(reinterpret_cast<const u8*>(msg), reinterpret_cast<const u8*>(msg) + msg->num_bytes);
    msg_t* broken = reinterpret_cast<msg_t*>(bytes.data());
    broken->data_offset = broken->num_bytes; // the first field would lie past the end

    capture.Clear();
    EXPECT_FALSE(ToJson(broken));
    EXPECT_TRUE(capture.Contains("Malformed msg"));
    EXPECT_EQ(Str(text), "\xEF\xBB\xBF{\n}"); // nothing written, the object still closed
    EXPECT_FALSE(ToJson(nullptr));

    // A writer that fails (here: its text cannot grow) fails the conversion.
    msg = BuildResponse(builder);
    stringbuffer_release(text);
    ASSERT_TRUE(json_open_string(writer, text));
    json_block_t root;
    json_begin_object(writer, nullptr, root, empty_str, true);
    {
        lumivane_test::FailingAllocator failing(0);
        EXPECT_FALSE(msg_to_json(msg, writer, root));
    }
    json_end_object(root);
    EXPECT_FALSE(json_close(writer));
}
