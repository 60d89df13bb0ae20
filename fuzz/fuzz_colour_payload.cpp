// The JPEG payload walk over arbitrary bytes: it always ends, never reads or
// returns past the block, and a non-zero length ends in FF D9; the format
// module's entry point agrees on blocks that start with FF D8.
#include "orvo/colour/colour_pixelbuffer.h"

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    memory_t block = {size ? data : nullptr, size};
    u64 payload = jpeg_compute_payload(block);
    if (payload)
    {
        if (payload < 4 || payload > size || data[payload - 2] != 0xFF || data[payload - 1] != 0xD9)
            __builtin_trap();
        // The stream alone measures the same: the walk looks at nothing beyond it.
        if (jpeg_compute_payload(memory_t{data, payload}) != payload)
            __builtin_trap();
    }
    bool soi = size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
    if (image_compute_payload(block) != (soi ? payload : 0))
        __builtin_trap();
    return 0;
}
