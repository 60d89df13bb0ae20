// The msg_t catalogue, walking, validation (one crafted message per rule,
// with the lines it logs, and the 32-bit overflows it must not fall for) and
// the dump.
#include "orvo/core/core_msg.h"
#include "orvo/core/core_msgbuilder.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;

namespace
{
struct CatalogueEntry
{
    int id;
    const char* name;
    msgdata_type_t type;
};

// Written out from the wire format's table, not from the implementation.
const CatalogueEntry catalogue[] = {
    {0, "Unknown", MSGDATA_TYPE_NONE},
    {1, "ErrorMsg", MSGDATA_TYPE_MSG},
    {2, "Filename", MSGDATA_TYPE_STRING},
    {3, "FontClientMsg", MSGDATA_TYPE_MSG},
    {4, "FontName", MSGDATA_TYPE_STRING},
    {5, "FontServerMsg", MSGDATA_TYPE_MSG},
    {6, "FontSize", MSGDATA_TYPE_INT32},
    {7, "FunctionPtr", MSGDATA_TYPE_RAW},
    {8, "ImageServerMsg", MSGDATA_TYPE_MSG},
    {9, "ImageClientMsg", MSGDATA_TYPE_MSG},
    {10, "MemoryPtr", MSGDATA_TYPE_RAW},
    {11, "RequestType", MSGDATA_TYPE_INT32},
    {12, "Result", MSGDATA_TYPE_BOOL},
    {13, "TestBool", MSGDATA_TYPE_BOOL},
    {14, "TestChild", MSGDATA_TYPE_MSG},
    {15, "TestInt32", MSGDATA_TYPE_INT32},
    {16, "TestFloat", MSGDATA_TYPE_FLOAT32},
    {17, "TestMsg", MSGDATA_TYPE_MSG},
    {18, "TestRaw", MSGDATA_TYPE_RAW},
    {19, "TestString", MSGDATA_TYPE_STRING},
    {20, "NetworkDiscoveryMsg", MSGDATA_TYPE_MSG},
    {21, "NetworkPingMsg", MSGDATA_TYPE_MSG},
    {22, "NetworkTimestamp", MSGDATA_TYPE_UINT64},
    {23, "NetworkPort", MSGDATA_TYPE_INT32},
    {24, "NetworkAddress", MSGDATA_TYPE_STRING},
    {25, "NetworkVersion", MSGDATA_TYPE_STRING},
    {26, "TCLServerMsg", MSGDATA_TYPE_MSG},
    {27, "TCLClientMsg", MSGDATA_TYPE_MSG},
    {28, "TCLSession", MSGDATA_TYPE_INT32},
    {29, "TCLStatus", MSGDATA_TYPE_INT32},
    {30, "TCLScript", MSGDATA_TYPE_STRING},
    {31, "TCLArgv", MSGDATA_TYPE_STRING},
    {32, "TCLResult", MSGDATA_TYPE_STRING},
    {33, "SetOptionsMsg", MSGDATA_TYPE_MSG},
    {34, "SetSequenceNumMsg", MSGDATA_TYPE_MSG},
    {35, "SetBatchNumMsg", MSGDATA_TYPE_MSG},
    {36, "RenameCameraMsg", MSGDATA_TYPE_MSG},
    {37, "RenameNodeMsg", MSGDATA_TYPE_MSG},
    {38, "RenamePhotoMsg", MSGDATA_TYPE_MSG},
    {39, "DetectCamerasMsg", MSGDATA_TYPE_MSG},
    {40, "ConnectMsg", MSGDATA_TYPE_MSG},
    {41, "DisconnectMsg", MSGDATA_TYPE_MSG},
    {42, "ShootMsg", MSGDATA_TYPE_MSG},
    {43, "AutofocusMsg", MSGDATA_TYPE_MSG},
    {44, "IdentifyMsg", MSGDATA_TYPE_MSG},
    {45, "LiveviewFocusMsg", MSGDATA_TYPE_MSG},
    {46, "LiveviewPositionMsg", MSGDATA_TYPE_MSG},
    {47, "EnableLiveviewMsg", MSGDATA_TYPE_MSG},
    {48, "EnableLiveviewZoomMsg", MSGDATA_TYPE_MSG},
    {49, "EnableLiveviewDOFMsg", MSGDATA_TYPE_MSG},
    {50, "EnableLiveviewRecordMsg", MSGDATA_TYPE_MSG},
    {51, "EnableVideoMsg", MSGDATA_TYPE_MSG},
    {52, "SetPropertyMsg", MSGDATA_TYPE_MSG},
    {53, "DownloadMsg", MSGDATA_TYPE_MSG},
    {54, "ReshootMsg", MSGDATA_TYPE_MSG},
    {55, "DeleteMsg", MSGDATA_TYPE_MSG},
    {56, "FormatAllMsg", MSGDATA_TYPE_MSG},
    {57, "SyncClocksMsg", MSGDATA_TYPE_MSG},
    {58, "CheckClocksMsg", MSGDATA_TYPE_MSG},
    {59, "CameraUpdatedMsg", MSGDATA_TYPE_MSG},
    {60, "NodeUpdatedMsg", MSGDATA_TYPE_MSG},
    {61, "PhotoUpdatedMsg", MSGDATA_TYPE_MSG},
    {62, "LiveviewUpdatedMsg", MSGDATA_TYPE_MSG},
    {63, "PropertyUpdatedMsg", MSGDATA_TYPE_MSG},
    {64, "PropertyInfoMsg", MSGDATA_TYPE_MSG},
    {65, "SynchroniseMsg", MSGDATA_TYPE_MSG},
    {66, "TransferPhotoMsg", MSGDATA_TYPE_MSG},
    {67, "Unknown", MSGDATA_TYPE_NONE},
    {68, "GridSequenceNum", MSGDATA_TYPE_INT32},
    {69, "GridBatchNum", MSGDATA_TYPE_INT32},
    {70, "GridFilenameExpression", MSGDATA_TYPE_STRING},
    {71, "GridFilenameValidation", MSGDATA_TYPE_STRING},
    {72, "GridUniqueTag", MSGDATA_TYPE_STRING},
    {73, "GridBarcode", MSGDATA_TYPE_STRING},
    {74, "GridDefaultStorage", MSGDATA_TYPE_STRING},
    {75, "GridDefaultFocusMode", MSGDATA_TYPE_STRING},
    {76, "GridGenerateFilename", MSGDATA_TYPE_BOOL},
    {77, "GridAutoConnect", MSGDATA_TYPE_BOOL},
    {78, "GridAutoSynchroniseTime", MSGDATA_TYPE_BOOL},
    {79, "GridScanSequenceNum", MSGDATA_TYPE_BOOL},
    {80, "GridScanBatchNum", MSGDATA_TYPE_BOOL},
    {81, "GridLiveviewDatalimit", MSGDATA_TYPE_INT32},
    {82, "CameraSelection", MSGDATA_TYPE_STRING},
    {83, "CameraKey", MSGDATA_TYPE_STRING},
    {84, "CameraKeys", MSGDATA_TYPE_STRINGLIST},
    {85, "CameraStatus", MSGDATA_TYPE_STRING},
    {86, "CameraName", MSGDATA_TYPE_STRING},
    {87, "CameraSerialNumber", MSGDATA_TYPE_STRING},
    {88, "CameraMake", MSGDATA_TYPE_STRING},
    {89, "CameraModel", MSGDATA_TYPE_STRING},
    {90, "CameraDateTimeOffset", MSGDATA_TYPE_INT64},
    {91, "CameraNumCards", MSGDATA_TYPE_INT32},
    {92, "PhotoSelection", MSGDATA_TYPE_STRING},
    {93, "PhotoKey", MSGDATA_TYPE_STRING},
    {94, "PhotoKeys", MSGDATA_TYPE_STRINGLIST},
    {95, "PhotoLocation", MSGDATA_TYPE_STRING},
    {96, "PhotoFilename", MSGDATA_TYPE_STRING},
    {97, "PhotoUUID", MSGDATA_TYPE_STRING},
    {98, "PhotoOriginalName", MSGDATA_TYPE_STRING},
    {99, "PhotoComputedName", MSGDATA_TYPE_STRING},
    {100, "PhotoDateCaptured", MSGDATA_TYPE_STRING},
    {101, "PhotoFormat", MSGDATA_TYPE_STRING},
    {102, "PhotoWidth", MSGDATA_TYPE_INT32},
    {103, "PhotoHeight", MSGDATA_TYPE_INT32},
    {104, "PhotoFilesize", MSGDATA_TYPE_UINT64},
    {105, "PhotoIsImage", MSGDATA_TYPE_BOOL},
    {106, "PhotoSHA1", MSGDATA_TYPE_STRING},
    {107, "PhotoBarcode", MSGDATA_TYPE_STRING},
    {108, "PhotoIsScanned", MSGDATA_TYPE_BOOL},
    {109, "DateTime", MSGDATA_TYPE_UINT64},
    {110, "Enable", MSGDATA_TYPE_BOOL},
    {111, "CameraPropertyType", MSGDATA_TYPE_STRING},
    {112, "CameraPropertyValue", MSGDATA_TYPE_STRING},
    {113, "CameraPropertyRange", MSGDATA_TYPE_STRINGLIST},
    {114, "CameraPropertyIsWriteable", MSGDATA_TYPE_BOOL},
    {115, "CameraAutofocusIsSupported", MSGDATA_TYPE_BOOL},
    {116, "CameraIsFocused", MSGDATA_TYPE_BOOL},
    {117, "CameraLiveviewIsSupported", MSGDATA_TYPE_BOOL},
    {118, "CameraLiveviewZoomIsSupported", MSGDATA_TYPE_BOOL},
    {119, "CameraLiveviewDOFIsSupported", MSGDATA_TYPE_BOOL},
    {120, "CameraLiveviewIsEnabled", MSGDATA_TYPE_BOOL},
    {121, "CameraLiveviewZoomIsEnabled", MSGDATA_TYPE_BOOL},
    {122, "CameraLiveviewDOFIsEnabled", MSGDATA_TYPE_BOOL},
    {123, "CameraLiveviewPositionX", MSGDATA_TYPE_INT32},
    {124, "CameraLiveviewPositionY", MSGDATA_TYPE_INT32},
    {125, "CameraLiveviewScaleX", MSGDATA_TYPE_FLOAT32},
    {126, "CameraLiveviewScaleY", MSGDATA_TYPE_FLOAT32},
    {127, "CameraLiveviewFocus", MSGDATA_TYPE_STRING},
    {128, "CameraLiveviewImage", MSGDATA_TYPE_RAW},
    {129, "CameraVideoIsSupported", MSGDATA_TYPE_BOOL},
    {130, "CameraVideoIsEnabled", MSGDATA_TYPE_BOOL},
    {131, "CameraBulbIsSupported", MSGDATA_TYPE_BOOL},
    {132, "CameraBulbIsEnabled", MSGDATA_TYPE_BOOL},
    {133, "CameraMirrorLockupIsSupported", MSGDATA_TYPE_BOOL},
    {134, "CameraMirrorLockupIsEnabled", MSGDATA_TYPE_BOOL},
    {135, "CameraPowersource", MSGDATA_TYPE_STRING},
    {136, "CameraBatterylevel", MSGDATA_TYPE_INT32},
    {137, "CameraNumPhotosTaken", MSGDATA_TYPE_INT32},
    {138, "CameraNumPhotosFailed", MSGDATA_TYPE_INT32},
    {139, "CameraNumDownloadsComplete", MSGDATA_TYPE_INT32},
    {140, "CameraNumDownloadsFailed", MSGDATA_TYPE_INT32},
    {141, "CameraNumAutofocus", MSGDATA_TYPE_INT32},
    {142, "NodeKey", MSGDATA_TYPE_STRING},
    {143, "NodeName", MSGDATA_TYPE_STRING},
    {144, "NodeVersion", MSGDATA_TYPE_STRING},
    {145, "NodeIsMaster", MSGDATA_TYPE_BOOL},
    {146, "NodeIsPhotoConsumer", MSGDATA_TYPE_BOOL},
    {147, "NodeIsLiveviewConsumer", MSGDATA_TYPE_BOOL},
    {148, "TransferData", MSGDATA_TYPE_RAW},
    {149, "TransferSize", MSGDATA_TYPE_UINT32},
    {150, "TransferOffset", MSGDATA_TYPE_UINT32},
    {151, "Unknown", MSGDATA_TYPE_NONE},
    {152, "LiveviewFPSMsg", MSGDATA_TYPE_MSG},
    {153, "CameraLiveviewFPS", MSGDATA_TYPE_INT32},
    {154, "CameraLiveviewVideoFPS", MSGDATA_TYPE_INT32},
    {155, "SetShutterButtonMsg", MSGDATA_TYPE_MSG},
    {156, "CameraShutterButton", MSGDATA_TYPE_STRING},
    {157, "NetworkEndpoint", MSGDATA_TYPE_STRING},
    {158, "NodeEndpoint", MSGDATA_TYPE_STRING},
    {159, "NodeEndpointMsg", MSGDATA_TYPE_MSG},
    {160, "RemoveNodeMsg", MSGDATA_TYPE_MSG},
    {161, "NodeSyncVersion", MSGDATA_TYPE_INT32},
    {162, "NodeSyncLocal", MSGDATA_TYPE_BOOL},
    {163, "CameraLiveviewSensorWidth", MSGDATA_TYPE_INT32},
    {164, "CameraLiveviewSensorHeight", MSGDATA_TYPE_INT32},
    {165, "CameraLiveviewSensorRegionLeft", MSGDATA_TYPE_FLOAT32},
    {166, "CameraLiveviewSensorRegionBottom", MSGDATA_TYPE_FLOAT32},
    {167, "CameraLiveviewSensorRegionRight", MSGDATA_TYPE_FLOAT32},
    {168, "CameraLiveviewSensorRegionTop", MSGDATA_TYPE_FLOAT32},
    {169, "SyncBatchNumMsg", MSGDATA_TYPE_MSG},
    {170, "NodeTransferMode", MSGDATA_TYPE_STRING},
    {171, "CameraDownloadRate", MSGDATA_TYPE_FLOAT32},
    {172, "PhotoHash", MSGDATA_TYPE_STRING},
    {173, "SetCameraGroupMsg", MSGDATA_TYPE_MSG},
    {174, "CameraGroup", MSGDATA_TYPE_STRING},
    {175, "RelayCustomTextMsg", MSGDATA_TYPE_MSG},
    {176, "CustomText", MSGDATA_TYPE_STRING},
    {177, "CameraOrientation", MSGDATA_TYPE_STRING},
    {178, "GridPhotoPath", MSGDATA_TYPE_STRING},
};

// Bytes of a crafted message, written field by field at chosen offsets.
struct Wire
{
    std::vector<u8> bytes;

    explicit Wire(size_t size) : bytes(size, 0) {}
    void put32(size_t at, u32 value) { std::memcpy(&bytes[at], &value, 4); }
    void header(size_t at, u32 num_bytes, i32 field, u32 data_offset)
    {
        std::memcpy(&bytes[at], "orvo", 4);
        put32(at + 4, num_bytes);
        put32(at + 8, static_cast<u32>(field));
        put32(at + 12, data_offset);
    }
    void field(size_t at, u32 num_bytes, i32 id, u32 next_offset, u32 base_offset)
    {
        put32(at, num_bytes);
        put32(at + 4, static_cast<u32>(id));
        put32(at + 8, next_offset);
        put32(at + 12, base_offset);
    }
    const msg_t* msg(size_t at = 0) const { return reinterpret_cast<const msg_t*>(bytes.data() + at); }
    const u8* begin() const { return bytes.data(); }
    const u8* end() const { return bytes.data() + bytes.size(); }
};

// 52 bytes: a header and one int32 field "TestInt32" = 7.
Wire one_field()
{
    Wire w(52);
    w.header(0, 52, MSGFIELD_TEST_MSG, 32);
    w.field(32, 4, MSGFIELD_TEST_INT32, 0, 16);
    w.put32(48, 7);
    return w;
}

// 80 bytes: a header and one "TestChild" field holding an empty message.
Wire nested()
{
    Wire w(80);
    w.header(0, 80, MSGFIELD_TEST_MSG, 32);
    w.field(32, 32, MSGFIELD_TEST_CHILD, 0, 16);
    w.header(48, 32, MSGFIELD_TEST_CHILD, 0);
    return w;
}

// levels messages, each the only field of the one above.
Wire tower(u32 levels)
{
    const size_t step = 48;
    const size_t size = step * (levels - 1) + 32;
    Wire w(size);
    for (u32 level = 0; level < levels; ++level)
    {
        const size_t at = step * level;
        const bool innermost = level + 1 == levels;
        w.header(at, static_cast<u32>(size - at), level ? MSGFIELD_TEST_CHILD : MSGFIELD_TEST_MSG, innermost ? 0 : 32);
        if (!innermost)
            w.field(at + 32, static_cast<u32>(size - at - step), MSGFIELD_TEST_CHILD, 0, 16);
    }
    return w;
}

std::string strip_header(const std::string& line)
{
    size_t at = line.find("] ");
    return at == std::string::npos ? line : line.substr(at + 2);
}

struct Msg : ::testing::Test
{
    LogCapture capture;
};
} // namespace

TEST(MsgCatalogue, EveryIdHasItsNameAndDeclaredType)
{
    ASSERT_EQ(sizeof(catalogue) / sizeof(catalogue[0]), size_t(MSGFIELD_COUNT));
    for (const CatalogueEntry& entry : catalogue)
    {
        SCOPED_TRACE(entry.id);
        EXPECT_EQ(std::string(msgfield_to_str(entry.id).str, msgfield_to_str(entry.id).length), entry.name);
        EXPECT_EQ(std::strlen(msgfield_to_str(entry.id).str), msgfield_to_str(entry.id).length);
        EXPECT_EQ(msgfield_get_type(entry.id), entry.type);
        // Names lead back to their ids; the reserved ids read "Unknown", which is id 0.
        const bool reserved = entry.id == 67 || entry.id == 151;
        EXPECT_EQ(msgfield_from_str(string_make(entry.name)), reserved ? 0 : entry.id);
    }
    EXPECT_EQ(MSGFIELD_SHOOT_MSG, 42);
    EXPECT_EQ(MSGFIELD_GRID_PHOTO_PATH, 178);
}

TEST(MsgCatalogue, LookupsOutsideTheCatalogueAndNamesInOtherCase)
{
    for (int id : {-1, 179, 1000})
    {
        SCOPED_TRACE(id);
        EXPECT_STREQ(msgfield_to_str(id).str, "Unknown");
        EXPECT_EQ(msgfield_get_type(id), MSGDATA_TYPE_NONE);
    }
    EXPECT_EQ(msgfield_from_str(string_make("ShootMsg")), MSGFIELD_SHOOT_MSG);
    EXPECT_EQ(msgfield_from_str(string_make("shootmsg")), MSGFIELD_UNKNOWN);
    EXPECT_EQ(msgfield_from_str(string_make("ShootMsg ")), MSGFIELD_UNKNOWN);
    EXPECT_EQ(msgfield_from_str(string_make("Shoot")), MSGFIELD_UNKNOWN);
    EXPECT_EQ(msgfield_from_str(empty_str), MSGFIELD_UNKNOWN);

    EXPECT_STREQ(msg_type_to_str(MSG_TYPE_RESPONSE).str, "Response");
    EXPECT_STREQ(msg_type_to_str(4).str, "Unknown");
    EXPECT_EQ(msg_type_from_str(string_make("Event")), MSG_TYPE_EVENT);
    EXPECT_EQ(msg_type_from_str(string_make("event")), MSG_TYPE_UNKNOWN);
}

TEST_F(Msg, WalkAndFindFollowTheChain)
{
    msgbuilder_t b;
    msgbuilder_initialise(b);
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_KEY, string_make("a")));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 1));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_KEY, string_make("b")));
    const msg_t* msg = msgbuilder_end(b);
    ASSERT_TRUE(msg_validate(msg));

    std::vector<int> ids;
    for (const msgdata_t* data = msg_next(msg, nullptr); data; data = msg_next(msg, data))
        ids.push_back(data->field);
    EXPECT_EQ(ids, (std::vector<int>{MSGFIELD_CAMERA_KEY, MSGFIELD_TEST_INT32, MSGFIELD_CAMERA_KEY}));

    const msgdata_t* first = msg_find(msg, MSGFIELD_CAMERA_KEY, nullptr);
    ASSERT_NE(first, nullptr);
    const msgdata_t* second = msg_find(msg, MSGFIELD_CAMERA_KEY, first);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(msgdata_payload(second)), "b");
    EXPECT_EQ(msg_find(msg, MSGFIELD_CAMERA_KEY, second), nullptr);
    EXPECT_EQ(msg_find(msg, MSGFIELD_TEST_BOOL, nullptr), nullptr);

    Wire empty(32);
    empty.header(0, 32, MSGFIELD_SHOOT_MSG, 0);
    EXPECT_TRUE(msg_validate(empty.msg()));
    EXPECT_EQ(msg_next(empty.msg(), nullptr), nullptr);
    msgbuilder_release(b);
}

TEST_F(Msg, ValidationRefusesEachBrokenRuleWithItsLine)
{
    struct Case
    {
        const char* name;
        std::function<Wire()> make;
        // Container relative to the bytes: begin offset, end offset from the
        // bytes' end (negative shortens it).
        long base_shift;
        long end_shift;
        const char* rule; // null: must pass
    };
    const Case cases[] = {
        {"empty message", [] { Wire w(32); w.header(0, 32, MSGFIELD_SHOOT_MSG, 0); return w; }, 0, 0, nullptr},
        {"one field", one_field, 0, 0, nullptr},
        {"empty nested message", nested, 0, 0, nullptr},
        {"id outside the catalogue is not inspected",
         [] { Wire w = one_field(); w.put32(36, 200); w.put32(32, 2); return w; }, 0, 0, nullptr},
        {"payload ends where the next header starts",
         [] {
             Wire w(72);
             w.header(0, 72, MSGFIELD_TEST_MSG, 32);
             w.field(32, 4, MSGFIELD_TEST_INT32, 20, 16);
             w.field(52, 4, MSGFIELD_TEST_INT32, 0, 16);
             return w;
         },
         0, 0, nullptr},
        {"32 levels of nesting", [] { return tower(32); }, 0, 0, nullptr},

        {"message before its container", one_field, 1, 0, "msg_base >= base"},
        {"container shorter than a header",
         [] { Wire w(32); w.header(0, 32, MSGFIELD_SHOOT_MSG, 0); return w; }, 0, -1,
         "msg_base + sizeof(msg_t) <= end"},
        {"foreign marker", [] { Wire w = one_field(); w.bytes[3] = 'O'; return w; }, 0, 0,
         "msg->marker == ORVO_MSG_MARKER"},
        {"size below the header", [] { Wire w = one_field(); w.put32(4, 16); return w; }, 0, 0,
         "msg->num_bytes >= sizeof(msg_t)"},
        {"size of zero", [] { Wire w = one_field(); w.put32(4, 0); w.put32(12, 0); return w; }, 0, 0,
         "msg->num_bytes >= sizeof(msg_t)"},
        {"size past the container", [] { Wire w = one_field(); w.put32(4, 53); return w; }, 0, 0, "msg_end <= end"},
        {"fields start inside the header", [] { Wire w = one_field(); w.put32(12, 16); return w; }, 0, 0,
         "msg->data_offset >= sizeof(msg_t)"},
        {"first field header past the end", [] { Wire w = one_field(); w.put32(12, 40); return w; }, 0, 0,
         "msg->data_offset + sizeof(msgdata_t) <= msg->num_bytes"},
        {"first field offset that wraps in 32 bits", [] { Wire w = one_field(); w.put32(12, 0xFFFFFFF8u); return w; }, 0,
         0, "msg->data_offset + sizeof(msgdata_t) <= msg->num_bytes"},
        {"second field header past the end",
         [] {
             Wire w(60);
             w.header(0, 60, MSGFIELD_TEST_MSG, 32);
             w.field(32, 4, MSGFIELD_TEST_INT32, 20, 16);
             return w;
         },
         0, 0, "data_base + sizeof(msgdata_t) <= msg_end"},
        {"payload inside the field header", [] { Wire w = one_field(); w.put32(44, 8); return w; }, 0, 0,
         "data->base_offset >= sizeof(msgdata_t)"},
        {"payload past the end", [] { Wire w = one_field(); w.put32(32, 5); return w; }, 0, 0, "data_end <= msg_end"},
        {"payload size that wraps in 32 bits", [] { Wire w = one_field(); w.put32(32, 0xFFFFFFF0u); w.put32(44, 32); return w; },
         0, 0, "data_end <= msg_end"},
        {"payload offset that wraps in 32 bits", [] { Wire w = one_field(); w.put32(44, 0xFFFFFFF0u); w.put32(32, 0x20); return w; },
         0, 0, "data_end <= msg_end"},
        {"nested field shorter than a header", [] { Wire w = nested(); w.put32(32, 20); return w; }, 0, 0,
         "msgdata_get(data, child)"},
        {"nested block without the marker", [] { Wire w = nested(); w.bytes[48] = 'x'; return w; }, 0, 0,
         "msgdata_get(data, child)"},
        {"nested message larger than its field", [] { Wire w = nested(); w.put32(52, 33); return w; }, 0, 0,
         "msgdata_get(data, child)"},
        {"nested message smaller than its field",
         [] {
             Wire w(84);
             w.header(0, 84, MSGFIELD_TEST_MSG, 32);
             w.field(32, 36, MSGFIELD_TEST_CHILD, 0, 16);
             w.header(48, 32, MSGFIELD_TEST_CHILD, 0);
             return w;
         },
         0, 0, "data->num_bytes == child->num_bytes"},
        {"nested message that is itself broken", [] { Wire w = nested(); w.put32(60, 8); w.put32(52, 32); return w; }, 0, 0,
         "msg_validate_container(child, msg_base, msg_end)"},
        {"nested message with a size below the header",
         [] { Wire w = nested(); w.put32(52, 16); w.put32(32, 16); return w; }, 0, 0, "msgdata_get(data, child)"},
        {"next field overlaps the payload",
         [] {
             Wire w(72);
             w.header(0, 72, MSGFIELD_TEST_MSG, 32);
             w.field(32, 4, MSGFIELD_TEST_INT32, 19, 16);
             w.field(51, 4, MSGFIELD_TEST_INT32, 0, 16);
             return w;
         },
         0, 0, "data->next_offset >= data->base_offset + data->num_bytes"},
        {"33 levels of nesting", [] { return tower(33); }, 0, 0, "msg_validate_container(child, msg_base, msg_end)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Wire w = c.make();
        capture.Clear();
        const bool valid = msg_validate_container(w.msg(), w.begin() + c.base_shift, w.end() + c.end_shift);
        std::vector<std::string> lines = capture.Lines();
        if (!c.rule)
        {
            EXPECT_TRUE(valid);
            EXPECT_TRUE(lines.empty());
            continue;
        }
        EXPECT_FALSE(valid);
        // A nested failure is reported by the inner message first, then by each
        // enclosing one: the outermost report comes last.
        ASSERT_GE(lines.size(), 2u);
        ASSERT_EQ(lines.size() % 2, 0u);
        const std::string& error = lines[lines.size() - 2];
        EXPECT_NE(error.find(" Message    Error] Failed msg validation: "), std::string::npos) << error;
        EXPECT_EQ(strip_header(error), std::string("Failed msg validation: ") + c.rule);
        EXPECT_NE(lines.back().find(" Message  Warning] Malformed msg detected: container("), std::string::npos);
    }
}

TEST_F(Msg, NestedFailureIsReportedAtEveryLevel)
{
    Wire w = tower(33);
    EXPECT_FALSE(msg_validate(w.msg()));
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u * 33);
    EXPECT_EQ(strip_header(lines[0]), "Failed msg validation: depth <= ORVO_MSG_MAX_DEPTH");
    for (size_t i = 2; i < lines.size(); i += 2)
        EXPECT_EQ(strip_header(lines[i]), "Failed msg validation: msg_validate_container(child, msg_base, msg_end)");
}

TEST_F(Msg, MalformedLineNamesTheContainerMessageAndField)
{
    Wire w = one_field();
    w.put32(32, 5); // the payload ends one byte past the message
    EXPECT_FALSE(msg_validate(w.msg()));
    const u8* m = w.begin();
    char expected[256];
    std::snprintf(expected, sizeof(expected), "Malformed msg detected: container(%p - %p), msg(%p - %p) data(%p - %p)",
                  static_cast<const void*>(m), static_cast<const void*>(m + 52), static_cast<const void*>(m),
                  static_cast<const void*>(m + 52), static_cast<const void*>(m + 32), static_cast<const void*>(m + 53));
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(strip_header(lines[1]), expected);

    // Before the marker is known good, the message's end and the field are 0.
    capture.Clear();
    w.bytes[0] = 'x';
    EXPECT_FALSE(msg_validate(w.msg()));
    std::snprintf(expected, sizeof(expected), "Malformed msg detected: container(%p - %p), msg(%p - %p) data(%p - %p)",
                  static_cast<const void*>(m), static_cast<const void*>(m + 52), static_cast<const void*>(m), nullptr,
                  nullptr, nullptr);
    lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(strip_header(lines[1]), expected);
}

TEST_F(Msg, ValidationReadsNothingOutsideTheContainer)
{
    // The message claims 52 bytes, but only its header lies in a container of
    // exactly 32 bytes on the heap: AddressSanitizer would catch a read past it.
    Wire w = one_field();
    std::vector<u8> exact(w.bytes.begin(), w.bytes.begin() + 32);
    const msg_t* msg = reinterpret_cast<const msg_t*>(exact.data());
    EXPECT_FALSE(msg_validate_container(msg, exact.data(), exact.data() + exact.size()));
    EXPECT_TRUE(capture.Contains("Failed msg validation: msg_end <= end"));
}

TEST_F(Msg, DumpShowsHeaderAndEveryFieldByDeclaredType)
{
    msgbuilder_t b;
    msgbuilder_initialise(b);
    stringarray_t keys;
    stringarray_initialise(keys);
    for (const char* key : {"a", "", "b"})
        ASSERT_TRUE(stringarray_append(keys, string_make(key)));
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_BOOL, true));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, -7));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TRANSFER_SIZE, 4000000000u));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_DATE_TIME_OFFSET, -5ll));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_DATE_TIME, 1ull << 40));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_FLOAT, 1.5f));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make("hi")));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_KEYS, keys));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, "abc", 3));
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make("in")));
    ASSERT_NE(msgbuilder_end(b), nullptr);
    ASSERT_TRUE(msgbuilder_add(b, static_cast<msgfield_t>(200), 1));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_DATE_TIME, true)); // 1 byte cannot hold a uint64
    msg_t* msg = msgbuilder_end(b);
    ASSERT_NE(msg, nullptr);
    msg->ref_num = 7;
    msg->src_id = 3;
    msg->dst_id = 9;
    msg->flags = MSG_FLAG_QUIET;
    msg->type = MSG_TYPE_REQUEST;

    capture.Clear();
    ASSERT_TRUE(log_lock(LOGLEVEL_ERROR, LOGMODULE_TEST));
    msg_print(msg);
    log_unlock();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    lines[0] = strip_header(lines[0]);

    const std::vector<std::string> expected = {
        "num_bytes: " + std::to_string(msg->num_bytes),
        "field:     TestMsg",
        "ref_num:   7",
        "src_id:    3 - Unknown SERVER",
        "dst_id:    9 - Unknown CLIENT",
        "flags:     0x00000001",
        "type:      Request",
        "field 0: TestBool = true",
        "field 1: TestInt32 = -7",
        "field 2: TransferSize = 4000000000",
        "field 3: CameraDateTimeOffset = -5",
        "field 4: DateTime = 1099511627776",
        "field 5: TestFloat = 1.500000",
        "field 6: TestString = 'hi'",
        "field 7: CameraKeys = 'a','','b',",
        "field 8: TestRaw = 3 bytes",
        "3 bytes",
        "00000000  61 62 63" + std::string(42, ' ') + "|abc|",
        "field 9: TestChild = ",
        "  num_bytes: 51",
        "  field:     TestChild",
        "  ref_num:   0",
        "  src_id:    0 - Unknown CLIENT",
        "  dst_id:    0 - Unknown CLIENT",
        "  flags:     0x00000000",
        "  type:      Unknown",
        "  field 0: TestString = 'in'",
        "field 10: Unknown = unknown",
        "field 11: DateTime = unknown",
        "",
    };
    EXPECT_EQ(lines, expected);
    stringarray_release(keys);
    msgbuilder_release(b);
}

TEST_F(Msg, DumpOfADamagedMessageShowsOnlyItsHeader)
{
    Wire w = one_field();
    w.put32(32, 0x7FFFFFF0); // the payload claims far more than the message holds
    ASSERT_TRUE(log_lock(LOGLEVEL_ERROR, LOGMODULE_TEST));
    msg_print(w.msg());
    msg_print(nullptr);
    log_unlock();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(strip_header(lines[0]), "num_bytes: 52");
    EXPECT_EQ(lines[7], "fields:    malformed, not shown");
    EXPECT_EQ(lines[8], "");
    // The silent check behind the dump logs nothing of its own.
    EXPECT_FALSE(capture.Contains("Failed msg validation"));
}

TEST_F(Msg, DumpIndentStopsAtSixteenSpaces)
{
    Wire w(32);
    w.header(0, 32, MSGFIELD_SHOOT_MSG, 0);
    ASSERT_TRUE(log_lock(LOGLEVEL_ERROR, LOGMODULE_TEST));
    log_print("\n");
    msg_print_indent(w.msg(), 40);
    log_unlock();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], std::string(16, ' ') + "num_bytes: 32");
}
