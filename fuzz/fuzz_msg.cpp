// Arbitrary bytes as a msg_t: validation, a typed read of every field (down
// through nested messages) and the dump must neither crash nor read outside
// the bytes. The message is placed at an odd address on purpose: readers
// never assume alignment. A message that passes validation is also written
// as JSON, which must load again (hostile text included: the writer makes it
// valid UTF-8), and whatever message that JSON builds must validate and
// write and load in turn.
#include "orvo/core/core_log.h"
#include "orvo/core/core_json_reader.h"
#include "orvo/core/core_json_writer.h"
#include "orvo/core/core_msg.h"
#include "orvo/core/core_msg_json.h"
#include "orvo/core/core_msgbuilder.h"

#include <cstring>
#include <vector>

using namespace orvo;

namespace
{
void discard(const string_t&, void*) {}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool to_json(const msg_t* msg, stringbuffer_t& text)
{
    json_writer_t writer;
    jsonwriter_initialise(writer);
    json_open_string(writer, text);
    json_block_t root;
    json_begin_object(writer, nullptr, root, empty_str, true);
    bool ok = msg_to_json(msg, writer, root);
    json_end_object(root);
    ok = json_close(writer) && ok;
    jsonwriter_release(writer);
    return ok;
}

// The JSON of a valid message loads; the message it builds (if the JSON
// holds only what a message can carry exactly) is valid and writes again.
void bridge(const msg_t* msg)
{
    stringbuffer_t text, again;
    stringbuffer_initialise(text);
    stringbuffer_initialise(again);
    json_reader_t reader;
    json_initialise(reader);
    msgbuilder_t builder;
    msgbuilder_initialise(builder);

    check(to_json(msg, text));
    check(json_load(reader, text));
    const msg_t* built = msgbuilder_from_json(builder, json_get_root_object(reader));
    if (built)
    {
        check(msg_validate(built));
        check(to_json(built, again));
        json_reader_t second;
        json_initialise(second);
        check(json_load(second, again));
        json_release(second);
    }

    msgbuilder_release(builder);
    json_release(reader);
    stringbuffer_release(again);
    stringbuffer_release(text);
}

void walk(const msg_t* msg, const u8* begin, const u8* end, msgdata_helper_t& helper, int depth)
{
    if (depth > int(ORVO_MSG_MAX_DEPTH))
        __builtin_trap(); // validation lets no deeper message through
    for (const msgdata_t* data = msg_next(msg, nullptr); data; data = msg_next(msg, data))
    {
        if (reinterpret_cast<const u8*>(data) < begin || reinterpret_cast<const u8*>(data) + sizeof(msgdata_t) > end)
            __builtin_trap();
        if (!msgdata_helper_get(data, helper))
            continue;
        switch (helper.type)
        {
        case MSGDATA_TYPE_STRING:
            if (helper.string.str[helper.string.length] != 0)
                __builtin_trap();
            break;
        case MSGDATA_TYPE_RAW:
            if (static_cast<const u8*>(helper.raw.data) + helper.raw.num_bytes > end)
                __builtin_trap();
            break;
        case MSGDATA_TYPE_MSG: walk(helper.child, begin, end, helper, depth + 1); break;
        default: break;
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool opened = [] {
        log_open();
        log_set_handler(discard, nullptr);
        return true;
    }();
    (void)opened;

    // Exactly size bytes after one byte of offset: a read past the end is
    // an AddressSanitizer report.
    std::vector<u8> shifted(size + 1);
    if (size)
        std::memcpy(shifted.data() + 1, data, size);
    const u8* begin = shifted.data() + 1;
    const u8* end = begin + size;
    const msg_t* msg = reinterpret_cast<const msg_t*>(begin);

    const bool valid = msg_validate_container(msg, begin, end);
    if (size >= sizeof(msg_t) && msg->num_bytes <= size && log_lock(LOGLEVEL_ERROR, LOGMODULE_MESSAGE))
    {
        msg_print(msg);
        log_unlock();
    }
    if (valid)
    {
        msgdata_helper_t helper;
        msgdata_helper_initialise(helper);
        walk(msg, begin, end, helper, 1);
        msgdata_helper_release(helper);
        bridge(msg);
    }
    return 0;
}
