// PNG files through the PNG codec (libpng through a read callback).
// Header, size check and a decode into a padded target: no read outside the
// bytes, no write outside the target, no header past the size limit.
#include "fuzz_colour_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz_colour::FuzzCodec(orvo::png_codec_create, data, size, orvo::PIXELFORMAT_INVALID);
}
