// The camera request contract: every builder method decoded field by field
// (for one camera and for all, a name without a camera, the time units), the
// request names, and the checked field readers that refuse what a requester
// must not send (property types outside 0..11, short positions, negative
// shutter states, over-long or broken texts, wrong types and sizes).
#include "orvo/camera/camera_request.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
struct Field
{
    i32 id;
    i16 type;
    u32 element_size;
    u32 count;
    std::vector<u8> bytes;
};

Field Int(i32 id, i32 value)
{
    Field f{id, MESSAGEFIELD_INT, 4, 1, std::vector<u8>(4)};
    std::memcpy(f.bytes.data(), &value, 4);
    return f;
}

Field Bool(i32 id, bool value)
{
    Field f = Int(id, value ? 1 : 0);
    f.type = MESSAGEFIELD_BOOL;
    return f;
}

Field Float(i32 id, float value)
{
    Field f{id, MESSAGEFIELD_FLOAT, 4, 1, std::vector<u8>(4)};
    std::memcpy(f.bytes.data(), &value, 4);
    return f;
}

Field Text(i32 id, const std::string& text)
{
    Field f{id, MESSAGEFIELD_STRING, 1, static_cast<u32>(text.size() + 1), {}};
    f.bytes.assign(text.begin(), text.end());
    f.bytes.push_back(0);
    return f;
}

Field Data(i32 id, const void* data, u32 count, u32 element_size)
{
    Field f{id, MESSAGEFIELD_DATA, element_size, count, {}};
    const u8* bytes = static_cast<const u8*>(data);
    f.bytes.assign(bytes, bytes + static_cast<size_t>(count) * element_size);
    return f;
}

const cameraid_t CAMERA = {7, 2};
const photoid_t PHOTO = 11;

Field Camera(const cameraid_t& id = CAMERA)
{
    cameraid_t record;
    std::memset(&record, 0, sizeof(record));
    record.id = id.id;
    record.index = id.index;
    return Data(CAMERAFIELD_CAMERA, &record, 1, sizeof(cameraid_t));
}

Field Photo()
{
    return Data(CAMERAFIELD_PHOTO, &PHOTO, 1, 4);
}

Field All()
{
    return Bool(CAMERAFIELD_ALL_CAMERAS, true);
}

std::vector<Field> Decode(const Message& message)
{
    std::vector<Field> fields;
    const MessageField* field = nullptr;
    if (message.IsNull() || message.GetNumBytes() <= MESSAGE_HEADER_SIZE)
        return fields;
    // FindField with an id nobody uses walks to the last field; start from
    // the first by asking for field 0, which every request has first.
    if (!message.FindField(CAMERAFIELD_REQUEST, field))
        return fields;
    do
    {
        Field f{field->id, field->type, field->elementSize, field->count, {}};
        f.bytes.assign(field->GetData(), field->GetData() + field->GetNumBytes());
        fields.push_back(f);
    } while (message.GetNext(field));
    return fields;
}

struct BuilderCase
{
    const char* name;
    bool all_cameras;
    std::function<Message(CameraMessageBuilder&)> build;
    std::vector<Field> expected;
};

struct CameraRequests : ::testing::Test
{
    lumivane_test::LogCapture log;
    MessageEncoder encoder;
    void SetUp() override { ASSERT_TRUE(encoder.Initialise()); }
};
} // namespace

TEST_F(CameraRequests, EveryBuilderMethodDecodesFieldByField)
{
    const i32 AP = CameraProperty::Aperture;
    const i32 position[2] = {-12, 340};
    const BuilderCase cases[] = {
        {"TakePhoto one", false, [](CameraMessageBuilder& b) { return b.TakePhoto(2.5f); },
         {Int(0, 4), Float(29, 2.5f), Text(45, "Surface"), Camera()}},
        {"TakePhoto all", true, [](CameraMessageBuilder& b) { return b.TakePhoto(0.0f); },
         {Int(0, 4), Float(29, 0.0f), Text(45, "Surface"), All()}},
        {"MultiShot", false, [](CameraMessageBuilder& b) { return b.MultiShot(); },
         {Int(0, 4), Text(45, "Surface"), All()}},
        {"Reshoot", false, [](CameraMessageBuilder& b) { return b.Reshoot(1.0f); },
         {Int(0, 5), Camera(), Photo(), Float(29, 1.0f), Text(45, "Surface")}},
        {"Autofocus one", false, [](CameraMessageBuilder& b) { return b.Autofocus(); }, {Int(0, 6), Camera()}},
        {"Autofocus all", true, [](CameraMessageBuilder& b) { return b.Autofocus(); }, {Int(0, 6), All()}},
        {"Connect one", false, [](CameraMessageBuilder& b) { return b.Connect(); }, {Int(0, 2), Camera()}},
        {"Connect all", true, [](CameraMessageBuilder& b) { return b.Connect(); }, {Int(0, 2), All()}},
        {"Disconnect one", false, [](CameraMessageBuilder& b) { return b.Disconnect(); }, {Int(0, 3), Camera()}},
        {"Disconnect all", true, [](CameraMessageBuilder& b) { return b.Disconnect(); }, {Int(0, 3), All()}},
        {"Download", true, [](CameraMessageBuilder& b) { return b.Download(); }, {Int(0, 7), Photo()}},
        {"Rename", false, [](CameraMessageBuilder& b) { return b.Rename(string_make("Holiday.png")); },
         {Int(0, 9), Photo(), Text(44, "Holiday.png")}},
        {"Delete", false, [](CameraMessageBuilder& b) { return b.Delete(); }, {Int(0, 10), Photo()}},
        {"Rollback", false, [](CameraMessageBuilder& b) { return b.Rollback(); }, {Int(0, 26), Photo()}},
        {"RelinkPhoto to a camera", false, [](CameraMessageBuilder& b) { return b.RelinkPhoto(cameraid_t{3, 1}); },
         {Int(0, 29), Photo(), Camera(cameraid_t{3, 1})}},
        {"RelinkPhoto to none", false, [](CameraMessageBuilder& b) { return b.RelinkPhoto(cameraid_t{-1, 0}); },
         {Int(0, 29), Photo()}},
        {"EnableLiveview", false, [](CameraMessageBuilder& b) { return b.EnableLiveview(true); },
         {Int(0, 11), Bool(13, true), Camera()}},
        {"EnableLiveview all", true, [](CameraMessageBuilder& b) { return b.EnableLiveview(false); },
         {Int(0, 11), Bool(13, false), All()}},
        {"LiveviewZoom", false, [](CameraMessageBuilder& b) { return b.EnableLiveviewZoom(true); },
         {Int(0, 12), Bool(14, true), Camera()}},
        {"LiveviewRecord", true, [](CameraMessageBuilder& b) { return b.EnableLiveviewRecord(true); },
         {Int(0, 13), Bool(15, true)}},
        {"LiveviewFocus", false, [](CameraMessageBuilder& b) { return b.FocusLiveview(-3); },
         {Int(0, 14), Int(16, -3), Camera()}},
        // The position always names the builder's camera, even for all.
        {"LiveviewPosition", true, [](CameraMessageBuilder& b) { return b.PositionLiveview(-12, 340); },
         {Int(0, 15), Data(17, position, 2, 4), Camera()}},
        {"LiveviewFPS", false, [](CameraMessageBuilder& b) { return b.SetLiveviewFPS(-1, 15); },
         {Int(0, 16), Int(19, -1), Int(20, 15), Camera()}},
        {"EnableDof", true, [](CameraMessageBuilder& b) { return b.EnableDof(true); },
         {Int(0, 17), Bool(21, true), All()}},
        {"EnableVideo", false, [](CameraMessageBuilder& b) { return b.EnableVideo(true); },
         {Int(0, 18), Bool(22, true), Camera()}},
        {"SetProperty", false,
         [](CameraMessageBuilder& b) { return b.SetProperty(CameraProperty::Aperture, string_make("f/5.6")); },
         {Int(0, 19), Data(8, &AP, 1, 4), Text(12, "f/5.6"), Camera()}},
        // SetName never writes field 42.
        {"SetName", true,
         [](CameraMessageBuilder& b) {
             return b.SetName(string_make("Left"), string_make("Rig A"), string_make("0042"));
         },
         {Int(0, 20), Text(43, "Left"), Text(50, "Rig A"), Text(46, "0042"), Camera()}},
        {"SetSequenceNum", false, [](CameraMessageBuilder& b) { return b.SetSequenceNum(42); },
         {Int(0, 22), Int(23, 42)}},
        {"SetBatchNum", false, [](CameraMessageBuilder& b) { return b.SetBatchNum(5); }, {Int(0, 23), Int(24, 5)}},
        {"SetTime", false, [](CameraMessageBuilder& b) { return b.SetTime(5, TIMEUNIT_SECONDS); },
         {Int(0, 25), Int(47, 5000)}},
        {"SetShutterButton", false, [](CameraMessageBuilder& b) { return b.SetShutterButton(2); },
         {Int(0, 28), Int(49, 2), Camera()}},
        {"SetShutterButton all", true, [](CameraMessageBuilder& b) { return b.SetShutterButton(0); },
         {Int(0, 28), Int(49, 0), All()}},
        {"SetOptions", false,
         [](CameraMessageBuilder& b) {
             return b.SetOptions(string_make("/photos"), string_make("/backup"), string_make("/lv"), 3,
                                 string_make("LVP_[S4]"), string_make("LVP_.*"), string_make("A"), string_make("U"),
                                 string_make("Z"), true, false, true, false, true, string_make("Both"),
                                 string_make("AF-S"));
         },
         {Int(0, 21), Text(25, "/photos"), Text(26, "/backup"), Text(27, "/lv"), Int(28, 3), Text(30, "LVP_[S4]"),
          Text(31, "LVP_.*"), Text(32, "A"), Text(33, "U"), Text(34, "Z"), Bool(35, true), Bool(36, false),
          Bool(37, true), Bool(38, false), Bool(39, true), Text(40, "Both"), Text(41, "AF-S")}},
    };
    for (const BuilderCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        CameraMessageBuilder builder(&encoder, PHOTO, CAMERA, string_make("Surface"), c.all_cameras);
        Message message = c.build(builder);
        ASSERT_FALSE(message.IsNull());
        const std::vector<Field> fields = Decode(message);
        ASSERT_EQ(fields.size(), c.expected.size());
        for (size_t i = 0; i < fields.size(); ++i)
        {
            SCOPED_TRACE(i);
            EXPECT_EQ(fields[i].id, c.expected[i].id);
            EXPECT_EQ(fields[i].type, c.expected[i].type);
            EXPECT_EQ(fields[i].element_size, c.expected[i].element_size);
            EXPECT_EQ(fields[i].count, c.expected[i].count);
            EXPECT_EQ(fields[i].bytes, c.expected[i].bytes);
        }
    }
}

TEST_F(CameraRequests, NameWithoutCameraCarriesNoTarget)
{
    CameraMessageBuilder builder(&encoder, -1, cameraid_t{-1, 0}, empty_str, false);
    const std::vector<Field> fields =
        Decode(builder.SetName(string_make("Cam"), string_make("G"), string_make("S")));
    std::vector<i32> ids;
    for (const Field& f : fields)
        ids.push_back(f.id);
    EXPECT_EQ(ids, (std::vector<i32>{0, 43, 50, 46}));
}

TEST_F(CameraRequests, TimeUnitsBecomeWholeMilliseconds)
{
    struct Case
    {
        long long value;
        timeunit_t unit;
        i32 ms;
    };
    const Case cases[] = {
        {5, TIMEUNIT_SECONDS, 5000},           {5500000, TIMEUNIT_MICROSECONDS, 5500},
        {5500999, TIMEUNIT_TICKS, 5500},       {1234, TIMEUNIT_MILLISECONDS, 1234},
        {-2, TIMEUNIT_SECONDS, -2000},         {99, static_cast<timeunit_t>(9), 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(CameraMessageBuilder::ToMilliseconds(c.value, c.unit), c.ms);
        CameraMessageBuilder builder(&encoder, -1, CAMERA, empty_str, false);
        i32 ms = 0;
        ASSERT_TRUE(camerarequest_get_int(builder.SetTime(c.value, c.unit), CAMERAFIELD_TIME, ms));
        EXPECT_EQ(ms, c.ms);
    }
}

TEST_F(CameraRequests, RequestNames)
{
    EXPECT_STREQ(CameraRequest::GetCStr(0), "Synchronise");
    EXPECT_STREQ(CameraRequest::GetCStr(15), "LiveviewPosition");
    EXPECT_STREQ(CameraRequest::GetCStr(29), "RelinkPhoto");
    EXPECT_STREQ(CameraRequest::GetCStr(30), "invalid");
    EXPECT_STREQ(CameraRequest::GetCStr(40), "invalid");
    EXPECT_STREQ(CameraRequest::GetCStr(-1), "invalid");
}

// Hand-built requests, as a foreign or broken requester might send them.
TEST_F(CameraRequests, ReadersRefuseWhatMustNotBeUsed)
{
    struct Case
    {
        const char* why;
        std::function<void(MessageEncoder&)> add;
        std::function<bool(const Message&)> read;
        bool accepted;
    };
    auto property = [](const Message& m) {
        CameraProperty::Type type;
        return camerarequest_get_property_type(m, type);
    };
    auto position = [](const Message& m) {
        i32 x, y;
        return camerarequest_get_position(m, x, y);
    };
    auto shutter = [](const Message& m) {
        i32 state;
        return camerarequest_get_shutter_button(m, state);
    };
    auto text = [](const Message& m) {
        string_t t;
        return camerarequest_get_text(m, CAMERAFIELD_PROPERTY_VALUE, t);
    };
    auto camera = [](const Message& m) {
        cameraid_t id;
        return camerarequest_get_camera(m, id);
    };
    auto data4 = [](MessageEncoder& e, i32 id, std::vector<i32> values) {
        e.AddField(id, values.data(), static_cast<u32>(values.size()), 4);
    };
    const std::string longest(CAMERAREQUEST_MAX_TEXT, 'x');
    const std::string too_long(CAMERAREQUEST_MAX_TEXT + 1, 'x');
    const Case cases[] = {
        {"property 0", [&](MessageEncoder& e) { data4(e, 8, {0}); }, property, true},
        {"property 11", [&](MessageEncoder& e) { data4(e, 8, {11}); }, property, true},
        {"property 12", [&](MessageEncoder& e) { data4(e, 8, {12}); }, property, false},
        {"property -1", [&](MessageEncoder& e) { data4(e, 8, {-1}); }, property, false},
        {"property as int", [&](MessageEncoder& e) { e.AddField(8, 3); }, property, false},
        {"property two values", [&](MessageEncoder& e) { data4(e, 8, {1, 2}); }, property, false},
        {"position of two", [&](MessageEncoder& e) { data4(e, 17, {1, 2}); }, position, true},
        {"position of one", [&](MessageEncoder& e) { data4(e, 17, {1}); }, position, false},
        {"position of none", [&](MessageEncoder& e) { data4(e, 17, {}); }, position, false},
        {"position in bytes", [&](MessageEncoder& e) { e.AddField(17, "12345678", 8, 1); }, position, false},
        {"shutter 0", [&](MessageEncoder& e) { e.AddField(49, 0); }, shutter, true},
        {"shutter 2", [&](MessageEncoder& e) { e.AddField(49, 2); }, shutter, true},
        {"shutter -1", [&](MessageEncoder& e) { e.AddField(49, -1); }, shutter, false},
        {"shutter as bool", [&](MessageEncoder& e) { e.AddField(49, true); }, shutter, false},
        {"text at the limit", [&](MessageEncoder& e) { e.AddField(12, longest.c_str()); }, text, true},
        {"text past the limit", [&](MessageEncoder& e) { e.AddField(12, too_long.c_str()); }, text, false},
        {"text without its zero", [&](MessageEncoder& e) {
             MessageField* f = nullptr;
             e.AllocateField(f, 12, MESSAGEFIELD_STRING, 1, 3);
             std::memcpy(f->GetData(), "abc", 3);
         },
         text, false},
        {"text with a zero inside", [&](MessageEncoder& e) {
             MessageField* f = nullptr;
             e.AllocateField(f, 12, MESSAGEFIELD_STRING, 1, 4);
             std::memcpy(f->GetData(), "a\0b", 4);
         },
         text, false},
        {"text as data", [&](MessageEncoder& e) { e.AddField(12, "abc", 4, 1); }, text, false},
        {"camera record", [&](MessageEncoder& e) { e.AddField(5, &CAMERA, 1, sizeof(cameraid_t)); }, camera, true},
        {"camera of 8 bytes", [&](MessageEncoder& e) { e.AddField(5, &CAMERA, 1, 8); }, camera, false},
        {"two cameras", [&](MessageEncoder& e) {
             const cameraid_t two[2] = {CAMERA, CAMERA};
             e.AddField(5, two, 2, sizeof(cameraid_t));
         },
         camera, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        ASSERT_TRUE(encoder.Begin());
        encoder.AddField(CAMERAFIELD_REQUEST, 19);
        c.add(encoder);
        Message message = encoder.End();
        EXPECT_EQ(c.read(message), c.accepted);
    }
}
