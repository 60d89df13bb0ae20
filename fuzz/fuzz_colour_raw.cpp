// Raw camera files through the raw preview codec (LibRaw, then the JPEG codec).
// Header, size check and a decode into a padded target: no read outside the
// bytes, no write outside the target, no header past the size limit.
#include "fuzz_colour_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz_colour::FuzzCodec(orvo::raw_codec_create, data, size, orvo::PIXELFORMAT_RGB8);
}
