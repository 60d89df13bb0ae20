// The responder's objects and data phases: Object (an ObjectInfo and a content
// made per offset from a seed, so that no object is ever held whole), DataIn
// (the data-in phase of one transaction, plain bytes or a span of an object,
// bent by faults and written straight into the engine's buffer), the decoder of
// values the engine sends, and the camera clock's DateTime texts.
#pragma once

#include "support/ptpsim/ptpsim_encoder.h"

#include "orvo/camera/mtp_codec.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ptpsim
{
// How an object's bytes are made, from its seed and the offset alone.
enum class Content
{
    kPattern, // pseudo-random bytes
    kJpeg,    // SOI, APP0, SOS, entropy bytes without FF, EOI in the last two bytes
};

struct Object
{
    uint32_t handle = 0;
    ObjectInfo info;     // compressed_size is the size ObjectInfo announces
    uint64_t size = 0;   // bytes of content
    uint64_t served = 0; // bytes GetObject really returns; below size for a truncated object
    Content content = Content::kPattern;
    uint64_t seed = 0;
};

// The bytes of a content at an offset; n bytes from offset, within size.
void generate_content(Content content, uint64_t seed, uint64_t size, uint64_t offset, uint8_t* out, size_t n);

class DataIn
{
public:
    void replace(Bytes bytes);
    // length bytes of the object's content from offset.
    void content(const Object& object, uint64_t offset, uint64_t length);
    // Keeps the first `length` bytes (a short answer); 0 gives an empty one.
    void shorten(uint64_t length);
    // XORs one byte (ignored past the end).
    void patch(uint64_t offset, uint8_t mask);
    uint64_t size() const;
    // A span of an object: its handle, the object's size and the span's end.
    bool is_content() const { return m_is_content; }
    uint32_t handle() const { return m_handle; }
    uint64_t object_size() const { return m_object_size; }
    uint64_t end() const { return m_offset + m_length; }
    // Writes the phase into the engine's buffer, replacing its contents.
    bool deliver(orvo::mtp_buffer_t& buffer) const;
    // n bytes of the phase from offset (within size()), as deliver would give them.
    void read(uint64_t offset, uint8_t* out, size_t n) const;
    // The same, as a USB transport hands it over: the camera makes each
    // packet of `packet` bytes in a buffer of its own, which is copied into
    // the engine's buffer; after_packet (when set) runs after each copy with
    // the bytes delivered so far, to pace the transfer.
    bool deliver_in_packets(orvo::mtp_buffer_t& buffer, uint64_t packet,
                            const std::function<void(uint64_t)>& after_packet) const;

private:
    Bytes m_bytes;
    bool m_is_content = false;
    uint32_t m_handle = 0;
    Content m_content = Content::kPattern;
    uint64_t m_seed = 0;
    uint64_t m_object_size = 0;
    uint64_t m_offset = 0;
    uint64_t m_length = 0;
    std::vector<std::pair<uint64_t, uint8_t>> m_patches;
};

// Reads exactly one value of the datatype from the bytes; false when the bytes
// are short, left over, or the datatype is not one the responder stores.
bool decode_value(uint16_t datatype, const Bytes& bytes, Value& value);
// Whether the description's form allows the value (None allows anything).
bool value_allowed(const DevicePropDesc& desc, const Value& value);
bool values_equal(uint16_t datatype, const Value& a, const Value& b);
// "YYYYMMDDThhmmss" of a wall-clock time in microseconds, in local time.
std::string format_datetime(int64_t microseconds);
// The local time a "YYYYMMDDThhmmss" text names, in seconds since 1970.
bool parse_datetime(const std::string& text, int64_t& seconds);
} // namespace ptpsim
