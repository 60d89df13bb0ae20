// The binary message msg_t: one block of bytes, a 32-byte header and a chain
// of 16-byte field headers with their payloads, each field named by an id of
// the 179-entry catalogue (msgfield_t) that also fixes its value type. This
// module holds the layout, the catalogue, walking, lookup, validation and the
// diagnostic dump; building, typed reading and framing live in
// core_msgbuilder.h and core_msgframer.h. Messages are owned by whoever holds
// their bytes; nothing here allocates.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "msg_t is little-endian on the wire and is read in place: big-endian hosts need byte swapping"
#endif

// The four ASCII bytes "orvo" read as a little-endian u32.
const u32 ORVO_MSG_MARKER = 0x6F76726Fu;
// Messages and nested messages may stack this many levels, the outermost
// message included; validation and the builder refuse anything deeper.
const u32 ORVO_MSG_MAX_DEPTH = 32;
// Header flag bit 0: receivers that dump incoming messages skip this one.
const u16 MSG_FLAG_QUIET = 0x1;

// Ids of the field catalogue. Ids whose declared type is message name
// messages (in a header) or nested records (in a field). 67 and 151 are
// reserved: nothing sends or reads them, and they read as "Unknown".
enum msgfield_t : i32
{
    MSGFIELD_UNKNOWN = 0,
    MSGFIELD_ERROR_MSG = 1,
    MSGFIELD_FILENAME = 2,
    MSGFIELD_FONT_CLIENT_MSG = 3,
    MSGFIELD_FONT_NAME = 4,
    MSGFIELD_FONT_SERVER_MSG = 5,
    MSGFIELD_FONT_SIZE = 6,
    MSGFIELD_FUNCTION_PTR = 7,
    MSGFIELD_IMAGE_SERVER_MSG = 8,
    MSGFIELD_IMAGE_CLIENT_MSG = 9,
    MSGFIELD_MEMORY_PTR = 10,
    MSGFIELD_REQUEST_TYPE = 11,
    MSGFIELD_RESULT = 12,
    MSGFIELD_TEST_BOOL = 13,
    MSGFIELD_TEST_CHILD = 14,
    MSGFIELD_TEST_INT32 = 15,
    MSGFIELD_TEST_FLOAT = 16,
    MSGFIELD_TEST_MSG = 17,
    MSGFIELD_TEST_RAW = 18,
    MSGFIELD_TEST_STRING = 19,
    MSGFIELD_NETWORK_DISCOVERY_MSG = 20,
    MSGFIELD_NETWORK_PING_MSG = 21,
    MSGFIELD_NETWORK_TIMESTAMP = 22,
    MSGFIELD_NETWORK_PORT = 23,
    MSGFIELD_NETWORK_ADDRESS = 24,
    MSGFIELD_NETWORK_VERSION = 25,
    MSGFIELD_TCL_SERVER_MSG = 26,
    MSGFIELD_TCL_CLIENT_MSG = 27,
    MSGFIELD_TCL_SESSION = 28,
    MSGFIELD_TCL_STATUS = 29,
    MSGFIELD_TCL_SCRIPT = 30,
    MSGFIELD_TCL_ARGV = 31,
    MSGFIELD_TCL_RESULT = 32,
    MSGFIELD_SET_OPTIONS_MSG = 33,
    MSGFIELD_SET_SEQUENCE_NUM_MSG = 34,
    MSGFIELD_SET_BATCH_NUM_MSG = 35,
    MSGFIELD_RENAME_CAMERA_MSG = 36,
    MSGFIELD_RENAME_NODE_MSG = 37,
    MSGFIELD_RENAME_PHOTO_MSG = 38,
    MSGFIELD_DETECT_CAMERAS_MSG = 39,
    MSGFIELD_CONNECT_MSG = 40,
    MSGFIELD_DISCONNECT_MSG = 41,
    MSGFIELD_SHOOT_MSG = 42,
    MSGFIELD_AUTOFOCUS_MSG = 43,
    MSGFIELD_IDENTIFY_MSG = 44,
    MSGFIELD_LIVEVIEW_FOCUS_MSG = 45,
    MSGFIELD_LIVEVIEW_POSITION_MSG = 46,
    MSGFIELD_ENABLE_LIVEVIEW_MSG = 47,
    MSGFIELD_ENABLE_LIVEVIEW_ZOOM_MSG = 48,
    MSGFIELD_ENABLE_LIVEVIEW_DOF_MSG = 49,
    MSGFIELD_ENABLE_LIVEVIEW_RECORD_MSG = 50,
    MSGFIELD_ENABLE_VIDEO_MSG = 51,
    MSGFIELD_SET_PROPERTY_MSG = 52,
    MSGFIELD_DOWNLOAD_MSG = 53,
    MSGFIELD_RESHOOT_MSG = 54,
    MSGFIELD_DELETE_MSG = 55,
    MSGFIELD_FORMAT_ALL_MSG = 56,
    MSGFIELD_SYNC_CLOCKS_MSG = 57,
    MSGFIELD_CHECK_CLOCKS_MSG = 58,
    MSGFIELD_CAMERA_UPDATED_MSG = 59,
    MSGFIELD_NODE_UPDATED_MSG = 60,
    MSGFIELD_PHOTO_UPDATED_MSG = 61,
    MSGFIELD_LIVEVIEW_UPDATED_MSG = 62,
    MSGFIELD_PROPERTY_UPDATED_MSG = 63,
    MSGFIELD_PROPERTY_INFO_MSG = 64,
    MSGFIELD_SYNCHRONISE_MSG = 65,
    MSGFIELD_TRANSFER_PHOTO_MSG = 66,
    MSGFIELD_RESERVED_67 = 67,
    MSGFIELD_GRID_SEQUENCE_NUM = 68,
    MSGFIELD_GRID_BATCH_NUM = 69,
    MSGFIELD_GRID_FILENAME_EXPRESSION = 70,
    MSGFIELD_GRID_FILENAME_VALIDATION = 71,
    MSGFIELD_GRID_UNIQUE_TAG = 72,
    MSGFIELD_GRID_BARCODE = 73,
    MSGFIELD_GRID_DEFAULT_STORAGE = 74,
    MSGFIELD_GRID_DEFAULT_FOCUS_MODE = 75,
    MSGFIELD_GRID_GENERATE_FILENAME = 76,
    MSGFIELD_GRID_AUTO_CONNECT = 77,
    MSGFIELD_GRID_AUTO_SYNCHRONISE_TIME = 78,
    MSGFIELD_GRID_SCAN_SEQUENCE_NUM = 79,
    MSGFIELD_GRID_SCAN_BATCH_NUM = 80,
    MSGFIELD_GRID_LIVEVIEW_DATALIMIT = 81,
    MSGFIELD_CAMERA_SELECTION = 82,
    MSGFIELD_CAMERA_KEY = 83,
    MSGFIELD_CAMERA_KEYS = 84,
    MSGFIELD_CAMERA_STATUS = 85,
    MSGFIELD_CAMERA_NAME = 86,
    MSGFIELD_CAMERA_SERIAL_NUMBER = 87,
    MSGFIELD_CAMERA_MAKE = 88,
    MSGFIELD_CAMERA_MODEL = 89,
    MSGFIELD_CAMERA_DATE_TIME_OFFSET = 90,
    MSGFIELD_CAMERA_NUM_CARDS = 91,
    MSGFIELD_PHOTO_SELECTION = 92,
    MSGFIELD_PHOTO_KEY = 93,
    MSGFIELD_PHOTO_KEYS = 94,
    MSGFIELD_PHOTO_LOCATION = 95,
    MSGFIELD_PHOTO_FILENAME = 96,
    MSGFIELD_PHOTO_UUID = 97,
    MSGFIELD_PHOTO_ORIGINAL_NAME = 98,
    MSGFIELD_PHOTO_COMPUTED_NAME = 99,
    MSGFIELD_PHOTO_DATE_CAPTURED = 100,
    MSGFIELD_PHOTO_FORMAT = 101,
    MSGFIELD_PHOTO_WIDTH = 102,
    MSGFIELD_PHOTO_HEIGHT = 103,
    MSGFIELD_PHOTO_FILESIZE = 104,
    MSGFIELD_PHOTO_IS_IMAGE = 105,
    MSGFIELD_PHOTO_SHA1 = 106,
    MSGFIELD_PHOTO_BARCODE = 107,
    MSGFIELD_PHOTO_IS_SCANNED = 108,
    MSGFIELD_DATE_TIME = 109,
    MSGFIELD_ENABLE = 110,
    MSGFIELD_CAMERA_PROPERTY_TYPE = 111,
    MSGFIELD_CAMERA_PROPERTY_VALUE = 112,
    MSGFIELD_CAMERA_PROPERTY_RANGE = 113,
    MSGFIELD_CAMERA_PROPERTY_IS_WRITEABLE = 114,
    MSGFIELD_CAMERA_AUTOFOCUS_IS_SUPPORTED = 115,
    MSGFIELD_CAMERA_IS_FOCUSED = 116,
    MSGFIELD_CAMERA_LIVEVIEW_IS_SUPPORTED = 117,
    MSGFIELD_CAMERA_LIVEVIEW_ZOOM_IS_SUPPORTED = 118,
    MSGFIELD_CAMERA_LIVEVIEW_DOF_IS_SUPPORTED = 119,
    MSGFIELD_CAMERA_LIVEVIEW_IS_ENABLED = 120,
    MSGFIELD_CAMERA_LIVEVIEW_ZOOM_IS_ENABLED = 121,
    MSGFIELD_CAMERA_LIVEVIEW_DOF_IS_ENABLED = 122,
    MSGFIELD_CAMERA_LIVEVIEW_POSITION_X = 123,
    MSGFIELD_CAMERA_LIVEVIEW_POSITION_Y = 124,
    MSGFIELD_CAMERA_LIVEVIEW_SCALE_X = 125,
    MSGFIELD_CAMERA_LIVEVIEW_SCALE_Y = 126,
    MSGFIELD_CAMERA_LIVEVIEW_FOCUS = 127,
    MSGFIELD_CAMERA_LIVEVIEW_IMAGE = 128,
    MSGFIELD_CAMERA_VIDEO_IS_SUPPORTED = 129,
    MSGFIELD_CAMERA_VIDEO_IS_ENABLED = 130,
    MSGFIELD_CAMERA_BULB_IS_SUPPORTED = 131,
    MSGFIELD_CAMERA_BULB_IS_ENABLED = 132,
    MSGFIELD_CAMERA_MIRROR_LOCKUP_IS_SUPPORTED = 133,
    MSGFIELD_CAMERA_MIRROR_LOCKUP_IS_ENABLED = 134,
    MSGFIELD_CAMERA_POWERSOURCE = 135,
    MSGFIELD_CAMERA_BATTERYLEVEL = 136,
    MSGFIELD_CAMERA_NUM_PHOTOS_TAKEN = 137,
    MSGFIELD_CAMERA_NUM_PHOTOS_FAILED = 138,
    MSGFIELD_CAMERA_NUM_DOWNLOADS_COMPLETE = 139,
    MSGFIELD_CAMERA_NUM_DOWNLOADS_FAILED = 140,
    MSGFIELD_CAMERA_NUM_AUTOFOCUS = 141,
    MSGFIELD_NODE_KEY = 142,
    MSGFIELD_NODE_NAME = 143,
    MSGFIELD_NODE_VERSION = 144,
    MSGFIELD_NODE_IS_MASTER = 145,
    MSGFIELD_NODE_IS_PHOTO_CONSUMER = 146,
    MSGFIELD_NODE_IS_LIVEVIEW_CONSUMER = 147,
    MSGFIELD_TRANSFER_DATA = 148,
    MSGFIELD_TRANSFER_SIZE = 149,
    MSGFIELD_TRANSFER_OFFSET = 150,
    MSGFIELD_RESERVED_151 = 151,
    MSGFIELD_LIVEVIEW_FPS_MSG = 152,
    MSGFIELD_CAMERA_LIVEVIEW_FPS = 153,
    MSGFIELD_CAMERA_LIVEVIEW_VIDEO_FPS = 154,
    MSGFIELD_SET_SHUTTER_BUTTON_MSG = 155,
    MSGFIELD_CAMERA_SHUTTER_BUTTON = 156,
    MSGFIELD_NETWORK_ENDPOINT = 157,
    MSGFIELD_NODE_ENDPOINT = 158,
    MSGFIELD_NODE_ENDPOINT_MSG = 159,
    MSGFIELD_REMOVE_NODE_MSG = 160,
    MSGFIELD_NODE_SYNC_VERSION = 161,
    MSGFIELD_NODE_SYNC_LOCAL = 162,
    MSGFIELD_CAMERA_LIVEVIEW_SENSOR_WIDTH = 163,
    MSGFIELD_CAMERA_LIVEVIEW_SENSOR_HEIGHT = 164,
    MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_LEFT = 165,
    MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_BOTTOM = 166,
    MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_RIGHT = 167,
    MSGFIELD_CAMERA_LIVEVIEW_SENSOR_REGION_TOP = 168,
    MSGFIELD_SYNC_BATCH_NUM_MSG = 169,
    MSGFIELD_NODE_TRANSFER_MODE = 170,
    MSGFIELD_CAMERA_DOWNLOAD_RATE = 171,
    MSGFIELD_PHOTO_HASH = 172,
    MSGFIELD_SET_CAMERA_GROUP_MSG = 173,
    MSGFIELD_CAMERA_GROUP = 174,
    MSGFIELD_RELAY_CUSTOM_TEXT_MSG = 175,
    MSGFIELD_CUSTOM_TEXT = 176,
    MSGFIELD_CAMERA_ORIENTATION = 177,
    MSGFIELD_GRID_PHOTO_PATH = 178,
    MSGFIELD_COUNT = 179, // the number of catalogue ids, not an id
};

// Declared value types of the catalogue; the payload is read by the declared
// type of the field's id, never by anything stored in the field.
enum msgdata_type_t : u32
{
    MSGDATA_TYPE_BOOL = 0,       // 1 byte, 0 false, anything else true
    MSGDATA_TYPE_INT32 = 1,      // 4 bytes, 4-aligned
    MSGDATA_TYPE_UINT32 = 2,     // 4 bytes, 4-aligned
    MSGDATA_TYPE_INT64 = 3,      // 8 bytes, 8-aligned from the builder's origin
    MSGDATA_TYPE_UINT64 = 4,     // 8 bytes, 8-aligned from the builder's origin
    MSGDATA_TYPE_FLOAT32 = 5,    // 4 bytes IEEE single, 4-aligned
    MSGDATA_TYPE_STRING = 6,     // UTF-8 plus one zero byte; num_bytes = length + 1
    MSGDATA_TYPE_STRINGLIST = 7, // zero-terminated strings back to back
    MSGDATA_TYPE_RAW = 8,        // opaque bytes, 4-aligned
    MSGDATA_TYPE_MSG = 9,        // a whole nested msg_t, 4-aligned
    MSGDATA_TYPE_NONE = 10,      // not readable: id 0, reserved ids, ids outside the catalogue
};

// The header's type byte.
enum msg_type_t : u8
{
    MSG_TYPE_UNKNOWN = 0,
    MSG_TYPE_REQUEST = 1,
    MSG_TYPE_RESPONSE = 2,
    MSG_TYPE_EVENT = 3,
};

// Both records are packed: messages are read wherever they lie (a framer's
// buffer, a datagram, a channel record), so no reader may assume alignment.
// All integers are little-endian.
struct __attribute__((packed)) msg_t
{
    u32 marker;      // ORVO_MSG_MARKER
    u32 num_bytes;   // the whole message, header and fields; at least 32
    i32 field;       // the msgfield_t that names the message
    u32 data_offset; // first field header from the message start; 0 = no fields
    u32 ref_num;     // a request's number, copied into its response
    i32 src_id;      // sender's node id
    i32 dst_id;      // destination node id; 0 = every node
    u16 flags;       // MSG_FLAG_QUIET; other bits unused
    u8 type;         // msg_type_t
    u8 reserved;     // not interpreted
};

struct __attribute__((packed)) msgdata_t
{
    u32 num_bytes;   // payload length
    i32 field;       // the msgfield_t of this field
    u32 next_offset; // from this header to the next one; 0 = last field
    u32 base_offset; // from this header to the payload; at least 16
};

static_assert(sizeof(msg_t) == 32, "msg_t header is 32 bytes on the wire");
static_assert(sizeof(msgdata_t) == 16, "msgdata_t header is 16 bytes on the wire");

extern const string_t msgfield_map[MSGFIELD_COUNT];
extern const string_t msg_type_map[4]; // "Unknown", "Request", "Response", "Event"

// --- catalogue ---------------------------------------------------------------
// Declared type of an id; MSGDATA_TYPE_NONE outside 0 to 178.
msgdata_type_t msgfield_get_type(int id);
// Name of an id; "Unknown" outside 0 to 178 and for the reserved ids.
string_t msgfield_to_str(int id);
// The id whose name equals the text exactly (case-sensitive); 0 when none.
msgfield_t msgfield_from_str(const string_t& name);
// Name of a header type byte; "Unknown" for anything above 3.
string_t msg_type_to_str(u32 type);
// "Request", "Response" or "Event" to 1, 2 or 3; anything else 0.
msg_type_t msg_type_from_str(const string_t& name);

// --- walking (only on messages that passed validation) ---------------------------
// The field header after field, or the first one for a null field; null at
// the end of the chain.
const msgdata_t* msg_next(const msg_t* msg, const msgdata_t* field);
// The first field with the id after `after` (from the start for null); null
// when none. Calls with the previous result walk a run of same-id fields.
const msgdata_t* msg_find(const msg_t* msg, msgfield_t id, const msgdata_t* after);
// The payload of a field: the header's address plus base_offset.
inline const u8* msgdata_payload(const msgdata_t* field)
{
    return reinterpret_cast<const u8*>(field) + field->base_offset;
}

// --- validation -------------------------------------------------------------------
// A message that stands alone: msg_validate_container(msg, msg, msg + num_bytes).
// The caller guarantees that the 32 header bytes are readable.
bool msg_validate(const msg_t* msg);
// A message that must lie inside [base, end): checks the header, every field
// and every nested message (at most ORVO_MSG_MAX_DEPTH levels). The first
// broken rule is logged at Error, module Message, followed by a Warning
// "Malformed msg detected: ..." line. Nothing is changed.
bool msg_validate_container(const msg_t* msg, const u8* base, const u8* end);

// --- dump ----------------------------------------------------------------------------
// Writes the dump of a message into the log line the caller holds (log_lock);
// null prints nothing. The caller guarantees that max(32, num_bytes) bytes
// are readable; fields are shown only when the message validates within its
// own num_bytes, so a damaged message cannot make the dump read astray.
void msg_print(const msg_t* msg);
void msg_print_indent(const msg_t* msg, int indent);
} // namespace orvo
