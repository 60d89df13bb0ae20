// Arbitrary bytes through format identification (leading bytes, extension,
// name) and the JPEG payload walk: no read may leave the block, and a payload
// found must end with the end-of-image marker inside the block.
#include "orvo/core/core_imageformat.h"

#include <cstring>
#include <string>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    memory_t block = {size ? data : nullptr, size};
    imageformat_t format = image_compute_format(block);
    if (format > IMAGEFORMAT_UNKNOWN || format == IMAGEFORMAT_RAW)
        __builtin_trap();

    u64 payload = image_compute_payload(block);
    if (payload)
    {
        if (format != IMAGEFORMAT_JPEG || payload < 4 || payload > size || data[payload - 2] != 0xFF ||
            data[payload - 1] != 0xD9)
            __builtin_trap();
        // The stream alone measures the same.
        if (image_compute_payload(memory_t{data, payload}) != payload)
            __builtin_trap();
    }

    // The same bytes as an extension and as a name.
    string_t extension = string_make(reinterpret_cast<const char*>(data), size);
    imageformat_t by_extension = imageformat_from_extension(extension);
    if (by_extension > IMAGEFORMAT_UNKNOWN)
        __builtin_trap();
    std::string name(reinterpret_cast<const char*>(data), size);
    imageformat_t by_name = imageformat_from_str(name.c_str());
    string_t text = imageformat_to_str(by_name);
    if (by_name != IMAGEFORMAT_UNKNOWN && std::strcmp(text.str, name.c_str()) != 0)
        __builtin_trap();
    return 0;
}
