// The EXIF orientation of arbitrary bytes (JPEG files and bare EXIF blocks):
// libexif parses, we read one entry; the result is always a known code or 8.
#include "orvo/colour/colour_pixelbuffer.h"

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imageorientation_t orientation = image_compute_orientation(memory_t{size ? data : nullptr, size});
    if (orientation < IMAGEORIENTATION_NONE || orientation > IMAGEORIENTATION_UNKNOWN)
        __builtin_trap();
    return 0;
}
