// The msg_t catalogue, walking, validation and dump. Validation works on
// 64-bit offsets from the container's start, so crafted sizes and offsets
// near 4 GiB can neither wrap nor form pointers outside the bytes; nesting is
// bounded by ORVO_MSG_MAX_DEPTH so that recursion is bounded too.
#include "orvo/core/core_msg.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_msgbuilder.h"
#include "orvo/core/core_msghub.h"
#include "orvo/core/src/core_msg_internal.h"

#include <cstring>

namespace orvo
{
const string_t msgfield_map[MSGFIELD_COUNT] = {
    {"Unknown", 7}, // 0
    {"ErrorMsg", 8}, // 1
    {"Filename", 8}, // 2
    {"FontClientMsg", 13}, // 3
    {"FontName", 8}, // 4
    {"FontServerMsg", 13}, // 5
    {"FontSize", 8}, // 6
    {"FunctionPtr", 11}, // 7
    {"ImageServerMsg", 14}, // 8
    {"ImageClientMsg", 14}, // 9
    {"MemoryPtr", 9}, // 10
    {"RequestType", 11}, // 11
    {"Result", 6}, // 12
    {"TestBool", 8}, // 13
    {"TestChild", 9}, // 14
    {"TestInt32", 9}, // 15
    {"TestFloat", 9}, // 16
    {"TestMsg", 7}, // 17
    {"TestRaw", 7}, // 18
    {"TestString", 10}, // 19
    {"NetworkDiscoveryMsg", 19}, // 20
    {"NetworkPingMsg", 14}, // 21
    {"NetworkTimestamp", 16}, // 22
    {"NetworkPort", 11}, // 23
    {"NetworkAddress", 14}, // 24
    {"NetworkVersion", 14}, // 25
    {"TCLServerMsg", 12}, // 26
    {"TCLClientMsg", 12}, // 27
    {"TCLSession", 10}, // 28
    {"TCLStatus", 9}, // 29
    {"TCLScript", 9}, // 30
    {"TCLArgv", 7}, // 31
    {"TCLResult", 9}, // 32
    {"SetOptionsMsg", 13}, // 33
    {"SetSequenceNumMsg", 17}, // 34
    {"SetBatchNumMsg", 14}, // 35
    {"RenameCameraMsg", 15}, // 36
    {"RenameNodeMsg", 13}, // 37
    {"RenamePhotoMsg", 14}, // 38
    {"DetectCamerasMsg", 16}, // 39
    {"ConnectMsg", 10}, // 40
    {"DisconnectMsg", 13}, // 41
    {"ShootMsg", 8}, // 42
    {"AutofocusMsg", 12}, // 43
    {"IdentifyMsg", 11}, // 44
    {"LiveviewFocusMsg", 16}, // 45
    {"LiveviewPositionMsg", 19}, // 46
    {"EnableLiveviewMsg", 17}, // 47
    {"EnableLiveviewZoomMsg", 21}, // 48
    {"EnableLiveviewDOFMsg", 20}, // 49
    {"EnableLiveviewRecordMsg", 23}, // 50
    {"EnableVideoMsg", 14}, // 51
    {"SetPropertyMsg", 14}, // 52
    {"DownloadMsg", 11}, // 53
    {"ReshootMsg", 10}, // 54
    {"DeleteMsg", 9}, // 55
    {"FormatAllMsg", 12}, // 56
    {"SyncClocksMsg", 13}, // 57
    {"CheckClocksMsg", 14}, // 58
    {"CameraUpdatedMsg", 16}, // 59
    {"NodeUpdatedMsg", 14}, // 60
    {"PhotoUpdatedMsg", 15}, // 61
    {"LiveviewUpdatedMsg", 18}, // 62
    {"PropertyUpdatedMsg", 18}, // 63
    {"PropertyInfoMsg", 15}, // 64
    {"SynchroniseMsg", 14}, // 65
    {"TransferPhotoMsg", 16}, // 66
    {"Unknown", 7}, // 67
    {"GridSequenceNum", 15}, // 68
    {"GridBatchNum", 12}, // 69
    {"GridFilenameExpression", 22}, // 70
    {"GridFilenameValidation", 22}, // 71
    {"GridUniqueTag", 13}, // 72
    {"GridBarcode", 11}, // 73
    {"GridDefaultStorage", 18}, // 74
    {"GridDefaultFocusMode", 20}, // 75
    {"GridGenerateFilename", 20}, // 76
    {"GridAutoConnect", 15}, // 77
    {"GridAutoSynchroniseTime", 23}, // 78
    {"GridScanSequenceNum", 19}, // 79
    {"GridScanBatchNum", 16}, // 80
    {"GridLiveviewDatalimit", 21}, // 81
    {"CameraSelection", 15}, // 82
    {"CameraKey", 9}, // 83
    {"CameraKeys", 10}, // 84
    {"CameraStatus", 12}, // 85
    {"CameraName", 10}, // 86
    {"CameraSerialNumber", 18}, // 87
    {"CameraMake", 10}, // 88
    {"CameraModel", 11}, // 89
    {"CameraDateTimeOffset", 20}, // 90
    {"CameraNumCards", 14}, // 91
    {"PhotoSelection", 14}, // 92
    {"PhotoKey", 8}, // 93
    {"PhotoKeys", 9}, // 94
    {"PhotoLocation", 13}, // 95
    {"PhotoFilename", 13}, // 96
    {"PhotoUUID", 9}, // 97
    {"PhotoOriginalName", 17}, // 98
    {"PhotoComputedName", 17}, // 99
    {"PhotoDateCaptured", 17}, // 100
    {"PhotoFormat", 11}, // 101
    {"PhotoWidth", 10}, // 102
    {"PhotoHeight", 11}, // 103
    {"PhotoFilesize", 13}, // 104
    {"PhotoIsImage", 12}, // 105
    {"PhotoSHA1", 9}, // 106
    {"PhotoBarcode", 12}, // 107
    {"PhotoIsScanned", 14}, // 108
    {"DateTime", 8}, // 109
    {"Enable", 6}, // 110
    {"CameraPropertyType", 18}, // 111
    {"CameraPropertyValue", 19}, // 112
    {"CameraPropertyRange", 19}, // 113
    {"CameraPropertyIsWriteable", 25}, // 114
    {"CameraAutofocusIsSupported", 26}, // 115
    {"CameraIsFocused", 15}, // 116
    {"CameraLiveviewIsSupported", 25}, // 117
    {"CameraLiveviewZoomIsSupported", 29}, // 118
    {"CameraLiveviewDOFIsSupported", 28}, // 119
    {"CameraLiveviewIsEnabled", 23}, // 120
    {"CameraLiveviewZoomIsEnabled", 27}, // 121
    {"CameraLiveviewDOFIsEnabled", 26}, // 122
    {"CameraLiveviewPositionX", 23}, // 123
    {"CameraLiveviewPositionY", 23}, // 124
    {"CameraLiveviewScaleX", 20}, // 125
    {"CameraLiveviewScaleY", 20}, // 126
    {"CameraLiveviewFocus", 19}, // 127
    {"CameraLiveviewImage", 19}, // 128
    {"CameraVideoIsSupported", 22}, // 129
    {"CameraVideoIsEnabled", 20}, // 130
    {"CameraBulbIsSupported", 21}, // 131
    {"CameraBulbIsEnabled", 19}, // 132
    {"CameraMirrorLockupIsSupported", 29}, // 133
    {"CameraMirrorLockupIsEnabled", 27}, // 134
    {"CameraPowersource", 17}, // 135
    {"CameraBatterylevel", 18}, // 136
    {"CameraNumPhotosTaken", 20}, // 137
    {"CameraNumPhotosFailed", 21}, // 138
    {"CameraNumDownloadsComplete", 26}, // 139
    {"CameraNumDownloadsFailed", 24}, // 140
    {"CameraNumAutofocus", 18}, // 141
    {"NodeKey", 7}, // 142
    {"NodeName", 8}, // 143
    {"NodeVersion", 11}, // 144
    {"NodeIsMaster", 12}, // 145
    {"NodeIsPhotoConsumer", 19}, // 146
    {"NodeIsLiveviewConsumer", 22}, // 147
    {"TransferData", 12}, // 148
    {"TransferSize", 12}, // 149
    {"TransferOffset", 14}, // 150
    {"Unknown", 7}, // 151
    {"LiveviewFPSMsg", 14}, // 152
    {"CameraLiveviewFPS", 17}, // 153
    {"CameraLiveviewVideoFPS", 22}, // 154
    {"SetShutterButtonMsg", 19}, // 155
    {"CameraShutterButton", 19}, // 156
    {"NetworkEndpoint", 15}, // 157
    {"NodeEndpoint", 12}, // 158
    {"NodeEndpointMsg", 15}, // 159
    {"RemoveNodeMsg", 13}, // 160
    {"NodeSyncVersion", 15}, // 161
    {"NodeSyncLocal", 13}, // 162
    {"CameraLiveviewSensorWidth", 25}, // 163
    {"CameraLiveviewSensorHeight", 26}, // 164
    {"CameraLiveviewSensorRegionLeft", 30}, // 165
    {"CameraLiveviewSensorRegionBottom", 32}, // 166
    {"CameraLiveviewSensorRegionRight", 31}, // 167
    {"CameraLiveviewSensorRegionTop", 29}, // 168
    {"SyncBatchNumMsg", 15}, // 169
    {"NodeTransferMode", 16}, // 170
    {"CameraDownloadRate", 18}, // 171
    {"PhotoHash", 9}, // 172
    {"SetCameraGroupMsg", 17}, // 173
    {"CameraGroup", 11}, // 174
    {"RelayCustomTextMsg", 18}, // 175
    {"CustomText", 10}, // 176
    {"CameraOrientation", 17}, // 177
    {"GridPhotoPath", 13}, // 178
};

const string_t msg_type_map[4] = {{"Unknown", 7}, {"Request", 7}, {"Response", 8}, {"Event", 5}};

namespace
{
const msgdata_type_t msgfield_types[MSGFIELD_COUNT] = {
    MSGDATA_TYPE_NONE, // 0 MSGFIELD_UNKNOWN
    MSGDATA_TYPE_MSG, // 1 MSGFIELD_ERROR_MSG
    MSGDATA_TYPE_STRING, // 2 MSGFIELD_FILENAME
    MSGDATA_TYPE_MSG, // 3 MSGFIELD_FONT_CLIENT_MSG
    MSGDATA_TYPE_STRING, // 4 MSGFIELD_FONT_NAME
    MSGDATA_TYPE_MSG, // 5 MSGFIELD_FONT_SERVER_MSG
    MSGDATA_TYPE_INT32, // 6 MSGFIELD_FONT_SIZE
    MSGDATA_TYPE_RAW, // 7 MSGFIELD_FUNCTION_PTR
    MSGDATA_TYPE_MSG, // 8 MSGFIELD_IMAGE_SERVER_MSG
    MSGDATA_TYPE_MSG, // 9 MSGFIELD_IMAGE_CLIENT_MSG
    MSGDATA_TYPE_RAW, // 10 MSGFIELD_MEMORY_PTR
    MSGDATA_TYPE_INT32, // 11 MSGFIELD_REQUEST_TYPE
    MSGDATA_TYPE_BOOL, // 12 MSGFIELD_RESULT
    MSGDATA_TYPE_BOOL, // 13 MSGFIELD_TEST_BOOL
    MSGDATA_TYPE_MSG, // 14 MSGFIELD_TEST_CHILD
    MSGDATA_TYPE_INT32, // 15 MSGFIELD_TEST_INT32
    MSGDATA_TYPE_FLOAT32, // 16 MSGFIELD_TEST_FLOAT
    MSGDATA_TYPE_MSG, // 17 MSGFIELD_TEST_MSG
    MSGDATA_TYPE_RAW, // 18 MSGFIELD_TEST_RAW
    MSGDATA_TYPE_STRING, // 19 MSGFIELD_TEST_STRING
    MSGDATA_TYPE_MSG, // 20 MSGFIELD_NETWORK_DISCOVERY_MSG
    MSGDATA_TYPE_MSG, // 21 MSGFIELD_NETWORK_PING_MSG
    MSGDATA_TYPE_UINT64, // 22 MSGFIELD_NETWORK_TIMESTAMP
    MSGDATA_TYPE_INT32, // 23 MSGFIELD_NETWORK_PORT
    MSGDATA_TYPE_STRING, // 24 MSGFIELD_NETWORK_ADDRESS
    MSGDATA_TYPE_STRING, // 25 MSGFIELD_NETWORK_VERSION
    MSGDATA_TYPE_MSG, // 26 MSGFIELD_TCL_SERVER_MSG
    MSGDATA_TYPE_MSG, // 27 MSGFIELD_TCL_CLIENT_MSG
    MSGDATA_TYPE_INT32, // 28 MSGFIELD_TCL_SESSION
    MSGDATA_TYPE_INT32, // 29 MSGFIELD_TCL_STATUS
    MSGDATA_TYPE_STRING, // 30 MSGFIELD_TCL_SCRIPT
    MSGDATA_TYPE_STRING, // 31 MSGFIELD_TCL_ARGV
    MSGDATA_TYPE_STRING, // 32 MSGFIELD_TCL_RESULT
    MSGDATA_TYPE_MSG, // 33 MSGFIELD_SET_OPTIONS_MSG
    MSGDATA_TYPE_MSG, // 34 MSGFIELD_SET_SEQUENCE_NUM_MSG
    MSGDATA_TYPE_MSG, // 35 MSGFIELD_SET_BATCH_NUM_MSG
    MSGDATA_TYPE_MSG, // 36 MSGFIELD_RENAME_CAMERA_MSG
    MSGDATA_TYPE_MSG, // 37 MSGFIELD_RENAME_NODE_MSG
    MSGDATA_TYPE_MSG, // 38 MSGFIELD_RENAME_PHOTO_MSG
    MSGDATA_TYPE_MSG, // 39 MSGFIELD_DETECT_CAMERAS_MSG
    MSGDATA_TYPE_MSG, // 40 MSGFIELD_CONNECT_MSG
    MSGDATA_TYPE_MSG, // 41 MSGFIELD_DISCONNECT_MSG
    MSGDATA_TYPE_MSG, // 42 MSGFIELD_SHOOT_MSG
    MSGDATA_TYPE_MSG, // 43 MSGFIELD_AUTOFOCUS_MSG
    MSGDATA_TYPE_MSG, // 44 MSGFIELD_IDENTIFY_MSG
    MSGDATA_TYPE_MSG, // 45 MSGFIELD_LIVEVIEW_FOCUS_MSG
    MSGDATA_TYPE_MSG, // 46 MSGFIELD_LIVEVIEW_POSITION_MSG
    MSGDATA_TYPE_MSG, // 47 MSGFIELD_ENABLE_LIVEVIEW_MSG
    MSGDATA_TYPE_MSG, // 48 MSGFIELD_ENABLE_LIVEVIEW_ZOOM_MSG
    MSGDATA_TYPE_MSG, // 49 MSGFIELD_ENABLE_LIVEVIEW_DOF_MSG
    MSGDATA_TYPE_MSG, // 50 MSGFIELD_ENABLE_LIVEVIEW_RECORD_MSG
    MSGDATA_TYPE_MSG, // 51 MSGFIELD_ENABLE_VIDEO_MSG
    MSGDATA_TYPE_MSG, // 52 MSGFIELD_SET_PROPERTY_MSG
    MSGDATA_TYPE_MSG, // 53 MSGFIELD_DOWNLOAD_MSG
    MSGDATA_TYPE_MSG, // 54 MSGFIELD_RESHOOT_MSG
    MSGDATA_TYPE_MSG, // 55 MSGFIELD_DELETE_MSG
    MSGDATA_TYPE_MSG, // 56 MSGFIELD_FORMAT_ALL_MSG
    MSGDATA_TYPE_MSG, // 57 MSGFIELD_SYNC_CLOCKS_MSG
    MSGDATA_TYPE_MSG, // 58 MSGFIELD_CHECK_CLOCKS_MSG
    MSGDATA_TYPE_MSG, // 59 MSGFIELD_CAMERA_UPDATED_MSG
    MSGDATA_TYPE_MSG, // 60 MSGFIELD_NODE_UPDATED_MSG
    MSGDATA_TYPE_MSG, // 61 MSGFIELD_PHOTO_UPDATED_MSG
    MSGDATA_TYPE_MSG, // 62 MSGFIELD_LIVEVIEW_UPDATED_MSG
    MSGDATA_TYPE_MSG, // 63 MSGFIELD_PROPERTY_UPDATED_MSG
    MSGDATA_TYPE_MSG, // 64 MSGFIELD_PROPERTY_INFO_MSG
    MSGDATA_TYPE_MSG, // 65 MSGFIELD_SYNCHRONISE_MSG
    MSGDATA_TYPE_MSG, // 66 MSGFIELD_TRANSFER_PHOTO_MSG
    MSGDATA_TYPE_NONE, // 67 MSGFIELD_RESERVED_67
    MSGDATA_TYPE_INT32, // 68 MSGFIELD_GRID_SEQUENCE_NUM
    MSGDATA_TYPE_INT32, // 69 MSGFIELD_GRID_BATCH_NUM
    MSGDATA_TYPE_STRING, // 70 MSGFIELD_GRID_FILENAME_EXPRESSION
    MSGDATA_TYPE_STRING, // 71 MSGFIELD_GRID_FILENAME_VALIDATION
    MSGDATA_TYPE_STRING, // 72 MSGFIELD_GRID_UNIQUE_TAG
    MSGDATA_TYPE_STRING, // 73 MSGFIELD_GRID_BARCODE
    MSGDATA_TYPE_STRING, // 74 MSGFIELD_GRID_DEFAULT_STORAGE
    MSGDATA_TYPE_STRING, // 75 MSGFIELD_GRID_DEFAULT_FOCUS_MODE
    MSGDATA_TYPE_BOOL, // 76 MSGFIELD_GRID_GENERATE_FILENAME
    MSGDATA_TYPE_BOOL, // 77 MSGFIELD_GRID_AUTO_CONNECT
    MSGDATA_TYPE_BOOL, // 78 MSGFIELD_GRID_AUTO_SYNCHRONISE_TIME
    MSGDATA_TYPE_BOOL, // 79 MSGFIELD_GRID_SCAN_SEQUENCE_NUM
    MSGDATA_TYPE_BOOL, // 80 MSGFIELD_GRID_SCAN_BATCH_NUM
    MSGDATA_TYPE_INT32, // 81 MSGFIELD_GRID_LIVEVIEW_DATALIMIT
    MSGDATA_TYPE_STRING, // 82 MSGFIELD_CAMERA_SELECTION
    MSGDATA_TYPE_STRING, // 83 MSGFIELD_CAMERA_KEY
    MSGDATA_TYPE_STRINGLIST, // 84 MSGFIELD_CAMERA_KEYS
    MSGDATA_TYPE_STRING, // 85 MSGFIELD_CAMERA_STATUS
    MSGDATA_TYPE_STRING, // 86 MSGFIELD_CAMERA_NAME
    MSGDATA_TYPE_STRING, // 87 MSGFIELD_CAMERA_SERIAL_NUMBER
    MSGDATA_TYPE_STRING, // 88 MSGFIELD_CAMERA_MAKE
    MSGDATA_TYPE_STRING, // 89 MSGFIELD_CAMERA_MODEL
    MSGDATA_TYPE_INT64, // 90 MSGFIELD_CAMERA_DATE_TIME_OFFSET
    MSGDATA_TYPE_INT32, // 91 MSGFIELD_CAMERA_NUM_CARDS
    MSGDATA_TYPE_STRING, // 92 MSGFIELD_PHOTO_SELECTION
    MSGDATA_TYPE_STRING, // 93 MSGFIELD_PHOTO_KEY
    MSGDATA_TYPE_STRINGLIST, // 94 MSGFIELD_PHOTO_KEYS
    MSGDATA_TYPE_STRING, // 95 MSGFIELD_PHOTO_LOCATION
    MSGDATA_TYPE_STRING, // 96 MSGFIELD_PHOTO_FILENAME
    MSGDATA_TYPE_STRING, // 97 MSGFIELD_PHOTO_UUID
    MSGDATA_TYPE_STRING, // 98 MSGFIELD_PHOTO_ORIGINAL_NAME
    MSGDATA_TYPE_STRING, // 99 MSGFIELD_PHOTO_COMPUTED_NAME
    MSGDATA_TYPE_STRING, // 100 MSGFIELD_PHOTO_DATE_CAPTURED
    MSGDATA_TYPE_STRING, // 101 MSGFIELD_PHOTO_FORMAT
    MSGDATA_TYPE_INT32, // 102 MSGFIELD_PHOTO_WIDTH
    MSGDATA_TYPE_INT32, // 103 MSGFIELD_PHOTO_HEIGHT
    MSGDATA_TYPE_UINT64, // 104 MSGFIELD_PHOTO_FILESIZE
    MSGDATA_TYPE_BOOL, // 105 MSGFIELD_PHOTO_IS_IMAGE
    MSGDATA_TYPE_STRING, // 106 MSGFIELD_PHOTO_SHA1
    MSGDATA_TYPE_STRING, // 107 MSGFIELD_PHOTO_BARCODE
    MSGDATA_TYPE_BOOL, // 108 MSGFIELD_PHOTO_IS_SCANNED
    MSGDATA_TYPE_UINT64, // 109 MSGFIELD_DATE_TIME
    MSGDATA_TYPE_BOOL, // 110 MSGFIELD_ENABLE
    MSGDATA_TYPE_STRING, // 111 MSGFIELD_CAMERA_PROPERTY_TYPE
    MSGDATA_TYPE_STRING, // 112 MSGFIELD_CAMERA_PROPERTY_VALUE
    MSGDATA_TYPE_STRINGLIST, // 113 MSGFIELD_CAMERA_PROPERTY_RANGE
    MSGDATA_TYPE_BOOL, // 114 MSGFIELD_CAMERA_PROPERTY_IS_WRITEABLE
    MSGDATA_TYPE_BOOL, // 115 MSGFIELD_CAMERA_AUTOFOCUS_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 116 MSGFIELD_CAMERA_IS_FOCUSED
    MSGDATA_TYPE_BOOL, // 117 MSGFIELD_CAMERA_LIVEVIEW_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 118 MSGFIELD_CAMERA_LIVEVIEW_ZOOM_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 119 MSGFIELD_CAMERA_LIVEVIEW_DOF_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 120 MSGFIELD_CAMERA_LIVEVIEW_IS_ENABLED
    MSGDATA_TYPE_BOOL, // 121 MSGFIELD_CAMERA_LIVEVIEW_ZOOM_IS_ENABLED
    MSGDATA_TYPE_BOOL, // 122 MSGFIELD_CAMERA_LIVEVIEW_DOF_IS_ENABLED
    MSGDATA_TYPE_INT32, // 123 MSGFIELD_CAMERA_LIVEVIEW_POSITION_X
    MSGDATA_TYPE_INT32, // 124 MSGFIELD_CAMERA_LIVEVIEW_POSITION_Y
    MSGDATA_TYPE_FLOAT32, // 125 MSGFIELD_CAMERA_LIVEVIEW_SCALE_X
    MSGDATA_TYPE_FLOAT32, // 126 MSGFIELD_CAMERA_LIVEVIEW_SCALE_Y
    MSGDATA_TYPE_STRING, // 127 MSGFIELD_CAMERA_LIVEVIEW_FOCUS
    MSGDATA_TYPE_RAW, // 128 MSGFIELD_CAMERA_LIVEVIEW_IMAGE
    MSGDATA_TYPE_BOOL, // 129 MSGFIELD_CAMERA_VIDEO_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 130 MSGFIELD_CAMERA_VIDEO_IS_ENABLED
    MSGDATA_TYPE_BOOL, // 131 MSGFIELD_CAMERA_BULB_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 132 MSGFIELD_CAMERA_BULB_IS_ENABLED
    MSGDATA_TYPE_BOOL, // 133 MSGFIELD_CAMERA_MIRROR_LOCKUP_IS_SUPPORTED
    MSGDATA_TYPE_BOOL, // 134 MSGFIELD_CAMERA_MIRROR_LOCKUP_IS_ENABLED
    MSGDATA_TYPE_STRING, // 135 MSGFIELD_CAMERA_POWERSOURCE
    MSGDATA_TYPE_INT32, // 136 MSGFIELD_CAMERA_BATTERYLEVEL
    MSGDATA_TYPE_INT32, // 137 MSGFIELD_CAMERA_NUM_PHOTOS_TAKEN
    MSGDATA_TYPE_INT32, // 138 MSGFIELD_CAMERA_NUM_PHOTOS_FAILED
    MSGDATA_TYPE_INT32, // 139 MSGFIELD_CAMERA_NUM_DOWNLOADS_COMPLETE
    MSGDATA_TYPE_INT32, // 140 MSGFIELD_CAMERA_NUM_DOWNLOADS_FAILED
    MSGDATA_TYPE_INT32, // 141 MSGFIELD_CAMERA_NUM_AUTOFOCUS
    MSGDATA_TYPE_STRING, // 142 MSGFIELD_NODE_KEY
    MSGDATA_TYPE_STRING, // 143 MSGFIELD_NODE_NAME
    MSGDATA_TYPE_STRING, // 144 MSGFIELD_NODE_VERSION
    MSGDATA_TYPE_BOOL, // 145 MSGFIELD_NODE_IS_MASTER
    MSGDATA_TYPE_BOOL, // 146 MSGFIELD_NODE_IS_PHOTO_CONSUMER
    MSGDATA_TYPE_BOOL, // 147 MSGFIELD_NODE_IS_LIVEVIEW_CONSUMER
    MSGDATA_TYPE_RAW, // 148 MSGFIELD_TRANSFER_DATA
    MSGDATA_TYPE_UINT32, // 149 MSGFIELD_TRANSFER_SIZE
    MSGDATA_TYPE_UINT32, // 150 MSGFIELD_TRANSFER_OFFSET
    MSGDATA_TYPE_NONE, // 151 MSGFIELD_RESERVED_151
    MSGDATA_TYPE_MSG, // 152 MSGFIELD_LIVEVIEW_FPS_MSG
    MSGDATA_TYPE_INT32, // 153 MSGFIELD_CAMERA_LIVEVIEW_FPS
    MSGDATA_TYPE_INT32, // 154 MSGFIELD_CAMERA_LIVEVIEW_VIDEO_FPS
    MSGDATA_TYPE_MSG, // 155 MSGFIELD_SET_SHUTTER_BUTTON_MSG
    MSGDATA_TYPE_STRING, // 156 MSGFIELD_CAMERA_SHUTTER_BUTTON
    MSGDATA_TYPE_STRING, // 157 MSGFIELD_NETWORK_ENDPOINT
    MSGDATA_TYPE_STRING, // 158 MSGFIELD_NODE_ENDPOINT
    MSGDATA_TYPE_MSG, // 159 MSGFIELD_NODE_ENDPOINT_MSG
    MSGDATA_TYPE_MSG, // 160 MSGFIELD_REMOVE_NODE_MSG
    MSGDATA_TYPE_INT32, // 161 MSGFIELD_NODE_SYNC_VERSION
    MSGDATA_TYPE_BOOL, // 162 MSGFIELD_NODE_SYNC_LOCAL
    MSGDATA_TYPE_INT32, // 163 MSGFIELD_CAMERA_LIVEVIEW_SENSOR_WIDTH
    MSGDATA_TYPE_INT32, // 164 MSGFIELD_CAMERA_LIVEVIEW_SENSOR_HEIGHT
    MSGDATA_TYPE_FLOAT32, // 165 MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_LEFT
    MSGDATA_TYPE_FLOAT32, // 166 MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_BOTTOM
    MSGDATA_TYPE_FLOAT32, // 167 MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_RIGHT
    MSGDATA_TYPE_FLOAT32, // 168 MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_TOP
    MSGDATA_TYPE_MSG, // 169 MSGFIELD_SYNC_BATCH_NUM_MSG
    MSGDATA_TYPE_STRING, // 170 MSGFIELD_NODE_TRANSFER_MODE
    MSGDATA_TYPE_FLOAT32, // 171 MSGFIELD_CAMERA_DOWNLOAD_RATE
    MSGDATA_TYPE_STRING, // 172 MSGFIELD_PHOTO_HASH
    MSGDATA_TYPE_MSG, // 173 MSGFIELD_SET_CAMERA_GROUP_MSG
    MSGDATA_TYPE_STRING, // 174 MSGFIELD_CAMERA_GROUP
    MSGDATA_TYPE_MSG, // 175 MSGFIELD_RELAY_CUSTOM_TEXT_MSG
    MSGDATA_TYPE_STRING, // 176 MSGFIELD_CUSTOM_TEXT
    MSGDATA_TYPE_STRING, // 177 MSGFIELD_CAMERA_ORIENTATION
    MSGDATA_TYPE_STRING, // 178 MSGFIELD_GRID_PHOTO_PATH
};

// What a failed check reports: the rule's text and the ranges of the
// warning line (0 where the check did not get that far).
struct msgcheck_t
{
    const char* rule;
    u64 container_begin;
    u64 container_end;
    u64 msg_begin;
    u64 msg_end;
    u64 data_begin;
    u64 data_end;
};

u64 address(const void* pointer)
{
    return static_cast<u64>(reinterpret_cast<uintptr_t>(pointer));
}

bool fail(msgcheck_t& check, const char* rule)
{
    check.rule = rule;
    return false;
}

void report(const msgcheck_t& check)
{
    log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed msg validation: %s", check.rule);
    log_writef(LOGLEVEL_WARNING, LOGMODULE_MESSAGE, "Malformed msg detected: container(%p - %p), msg(%p - %p) data(%p - %p)",
               reinterpret_cast<void*>(static_cast<uintptr_t>(check.container_begin)),
               reinterpret_cast<void*>(static_cast<uintptr_t>(check.container_end)),
               reinterpret_cast<void*>(static_cast<uintptr_t>(check.msg_begin)),
               reinterpret_cast<void*>(static_cast<uintptr_t>(check.msg_end)),
               reinterpret_cast<void*>(static_cast<uintptr_t>(check.data_begin)),
               reinterpret_cast<void*>(static_cast<uintptr_t>(check.data_end)));
}

bool check_message(const msg_t* msg, const u8* base, const u8* end, u32 depth, bool logged);

// One level of validation. Every position is a 64-bit address computed from
// 32-bit fields, which cannot wrap; a header is only read once its 32 or 16
// bytes are known to lie inside the container.
bool check_level(const msg_t* msg, const u8* base, const u8* end, u32 depth, bool logged, msgcheck_t& check)
{
    const u64 container_begin = address(base);
    const u64 container_end = address(end);
    const u64 msg_begin = address(msg);
    check.container_begin = container_begin;
    check.container_end = container_end;
    check.msg_begin = msg_begin;

    if (msg_begin < container_begin)
        return fail(check, "msg_base >= base");
    if (msg_begin + sizeof(msg_t) > container_end)
        return fail(check, "msg_base + sizeof(msg_t) <= end");
    if (msg->marker != ORVO_MSG_MARKER)
        return fail(check, "msg->marker == ORVO_MSG_MARKER");
    if (depth > ORVO_MSG_MAX_DEPTH)
        return fail(check, "depth <= ORVO_MSG_MAX_DEPTH");
    const u64 msg_end = msg_begin + msg->num_bytes;
    // A size below the header would let a reader step back over the header
    // it just read, and a framer hand out the same bytes for ever.
    if (msg->num_bytes < sizeof(msg_t))
        return fail(check, "msg->num_bytes >= sizeof(msg_t)");
    check.msg_end = msg_end;
    if (msg_end > container_end)
        return fail(check, "msg_end <= end");
    if (msg->data_offset == 0)
        return true;
    if (msg->data_offset < sizeof(msg_t))
        return fail(check, "msg->data_offset >= sizeof(msg_t)");
    if (u64(msg->data_offset) + sizeof(msgdata_t) > msg->num_bytes)
        return fail(check, "msg->data_offset + sizeof(msgdata_t) <= msg->num_bytes");

    u64 data_begin = msg_begin + msg->data_offset;
    for (;;)
    {
        check.data_begin = data_begin;
        check.data_end = 0;
        if (data_begin + sizeof(msgdata_t) > msg_end)
            return fail(check, "data_base + sizeof(msgdata_t) <= msg_end");
        const msgdata_t* data = reinterpret_cast<const msgdata_t*>(reinterpret_cast<const u8*>(msg) + (data_begin - msg_begin));
        if (data->base_offset < sizeof(msgdata_t))
            return fail(check, "data->base_offset >= sizeof(msgdata_t)");
        const u64 data_end = data_begin + data->base_offset + data->num_bytes;
        check.data_end = data_end;
        if (data_end > msg_end)
            return fail(check, "data_end <= msg_end");
        if (msgfield_get_type(data->field) == MSGDATA_TYPE_MSG)
        {
            const msg_t* child = reinterpret_cast<const msg_t*>(msgdata_payload(data));
            if (data->num_bytes < sizeof(msg_t) || child->marker != ORVO_MSG_MARKER || data->num_bytes < child->num_bytes)
                return fail(check, "msgdata_get(data, child)");
            if (data->num_bytes != child->num_bytes)
                return fail(check, "data->num_bytes == child->num_bytes");
            if (!check_message(child, reinterpret_cast<const u8*>(msg), reinterpret_cast<const u8*>(msg) + msg->num_bytes,
                               depth + 1, logged))
                return fail(check, "msg_validate_container(child, msg_base, msg_end)");
        }
        if (data->next_offset == 0)
            return true;
        if (data->next_offset < u64(data->base_offset) + data->num_bytes)
            return fail(check, "data->next_offset >= data->base_offset + data->num_bytes");
        data_begin += data->next_offset;
    }
}

bool check_message(const msg_t* msg, const u8* base, const u8* end, u32 depth, bool logged)
{
    msgcheck_t check = {};
    if (check_level(msg, base, end, depth, logged, check))
        return true;
    if (logged)
        report(check);
    return false;
}

// The prefix of a dump line: min(indent, 16) spaces.
const char* indent_prefix(int indent)
{
    static const char spaces[] = "                ";
    if (indent < 0)
        indent = 0;
    if (indent > 16)
        indent = 16;
    return spaces + (16 - indent);
}

void print_level(const msg_t* msg, int indent, u32 depth);

void print_field(const msgdata_t* data, int indent, u32 depth)
{
    // A zeroed helper: the dump never splits string lists into the helper's
    // list, which would allocate while the log lock is held.
    msgdata_helper_t helper;
    std::memset(&helper, 0, sizeof(helper));
    if (!msgdata_decode(data, helper, false))
    {
        log_print("unknown\n");
        return;
    }
    switch (helper.type)
    {
    case MSGDATA_TYPE_BOOL: log_print(helper.boolean ? "true\n" : "false\n"); break;
    case MSGDATA_TYPE_INT32: log_printf("%d\n", helper.int32); break;
    case MSGDATA_TYPE_UINT32: log_printf("%u\n", helper.uint32); break;
    case MSGDATA_TYPE_INT64: log_printf("%lld\n", static_cast<long long>(helper.int64)); break;
    case MSGDATA_TYPE_UINT64: log_printf("%llu\n", static_cast<unsigned long long>(helper.uint64)); break;
    case MSGDATA_TYPE_FLOAT32: log_printf("%f\n", static_cast<double>(helper.float32)); break;
    case MSGDATA_TYPE_STRING:
        log_print("'");
        log_print(helper.string);
        log_print("'\n");
        break;
    case MSGDATA_TYPE_STRINGLIST:
    {
        // Decoding checked that the payload ends with a zero byte.
        const char* text = reinterpret_cast<const char*>(msgdata_payload(data));
        u64 at = 0;
        while (at < data->num_bytes)
        {
            u64 length = std::strlen(text + at);
            log_print("'");
            log_print(string_make(text + at, length));
            log_print("',");
            at += length + 1;
        }
        log_print("\n");
        break;
    }
    case MSGDATA_TYPE_RAW:
        log_printf("%u bytes\n", static_cast<unsigned>(helper.raw.num_bytes));
        log_print(static_cast<const unsigned char*>(helper.raw.data), helper.raw.num_bytes < 128 ? helper.raw.num_bytes : 128);
        break;
    case MSGDATA_TYPE_MSG:
        log_print("\n");
        print_level(helper.child, indent + 2, depth + 1);
        break;
    default: log_print("unknown\n"); break;
    }
}

void print_level(const msg_t* msg, int indent, u32 depth)
{
    const char* prefix = indent_prefix(indent);
    log_printf("%snum_bytes: %llu\n", prefix, static_cast<unsigned long long>(msg->num_bytes));
    log_printf("%sfield:     %s\n", prefix, msgfield_to_str(msg->field).str);
    log_printf("%sref_num:   %u\n", prefix, msg->ref_num);
    log_printf("%ssrc_id:    %d - %s %s\n", prefix, msg->src_id, distributor_id_to_str(msg->src_id).str,
               distributor_id_type_to_str(msg->src_id).str);
    log_printf("%sdst_id:    %d - %s %s\n", prefix, msg->dst_id, distributor_id_to_str(msg->dst_id).str,
               distributor_id_type_to_str(msg->dst_id).str);
    log_printf("%sflags:     0x%08x\n", prefix, static_cast<unsigned>(msg->flags));
    log_printf("%stype:      %s\n", prefix, msg_type_to_str(msg->type).str);
    // Fields are walked only when the whole message is sound within its own
    // size: the dump also serves messages that nobody has validated yet.
    const u8* begin = reinterpret_cast<const u8*>(msg);
    if (!check_message(msg, begin, begin + msg->num_bytes, depth, false))
    {
        log_printf("%sfields:    malformed, not shown\n", prefix);
        return;
    }
    int number = 0;
    for (const msgdata_t* data = msg_next(msg, nullptr); data; data = msg_next(msg, data))
    {
        log_printf("%sfield %d: %s = ", prefix, number++, msgfield_to_str(data->field).str);
        print_field(data, indent, depth);
    }
}
} // namespace

msgdata_type_t msgfield_get_type(int id)
{
    if (id < 0 || id >= MSGFIELD_COUNT)
        return MSGDATA_TYPE_NONE;
    return msgfield_types[id];
}

string_t msgfield_to_str(int id)
{
    if (id < 0 || id >= MSGFIELD_COUNT)
        return msgfield_map[MSGFIELD_UNKNOWN];
    return msgfield_map[id];
}

msgfield_t msgfield_from_str(const string_t& name)
{
    for (int id = 0; id < MSGFIELD_COUNT; ++id)
    {
        if (string_equal(name, msgfield_map[id]))
            return static_cast<msgfield_t>(id);
    }
    return MSGFIELD_UNKNOWN;
}

string_t msg_type_to_str(u32 type)
{
    return type < 4 ? msg_type_map[type] : msg_type_map[MSG_TYPE_UNKNOWN];
}

msg_type_t msg_type_from_str(const string_t& name)
{
    for (u32 type = MSG_TYPE_REQUEST; type <= MSG_TYPE_EVENT; ++type)
    {
        if (string_equal(name, msg_type_map[type]))
            return static_cast<msg_type_t>(type);
    }
    return MSG_TYPE_UNKNOWN;
}

const msgdata_t* msg_next(const msg_t* msg, const msgdata_t* field)
{
    if (!msg)
        return nullptr;
    if (!field)
    {
        if (msg->data_offset == 0)
            return nullptr;
        return reinterpret_cast<const msgdata_t*>(reinterpret_cast<const u8*>(msg) + msg->data_offset);
    }
    if (field->next_offset == 0)
        return nullptr;
    return reinterpret_cast<const msgdata_t*>(reinterpret_cast<const u8*>(field) + field->next_offset);
}

const msgdata_t* msg_find(const msg_t* msg, msgfield_t id, const msgdata_t* after)
{
    for (const msgdata_t* data = msg_next(msg, after); data; data = msg_next(msg, data))
    {
        if (data->field == id)
            return data;
    }
    return nullptr;
}

bool msg_validate(const msg_t* msg)
{
    if (!msg)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed msg validation: msg != nullptr");
        return false;
    }
    const u8* begin = reinterpret_cast<const u8*>(msg);
    return msg_validate_container(msg, begin, begin + msg->num_bytes);
}

bool msg_validate_container(const msg_t* msg, const u8* base, const u8* end)
{
    if (!msg)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed msg validation: msg != nullptr");
        return false;
    }
    return check_message(msg, base, end, 1, true);
}

bool msg_is_sound(const msg_t* msg, const u8* base, const u8* end)
{
    if (!msg)
        return false;
    return check_message(msg, base, end, 1, false);
}

void msg_print(const msg_t* msg)
{
    msg_print_indent(msg, 0);
}

void msg_print_indent(const msg_t* msg, int indent)
{
    if (!msg)
        return;
    print_level(msg, indent, 1);
}
} // namespace orvo
