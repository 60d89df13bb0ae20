// The EXIF orientation of a JPEG file held in memory, read with libexif.
// Nothing is kept and nothing logs: unusable input gives
// IMAGEORIENTATION_UNKNOWN.
#pragma once

#include "orvo/colour/colour_orientation.h"
#include "orvo/core/core_memory.h"

namespace orvo
{
// Tag 0x0112 from the first of IFD 0, IFD 1, EXIF, GPS and Interoperability
// that has it, read as BYTE, SHORT, LONG, SBYTE, SSHORT or SLONG in the
// data's byte order and mapped by imageorientation_from_exif. No data, a parse
// failure, no tag, another format or a value outside 1..8 give
// IMAGEORIENTATION_UNKNOWN.
imageorientation_t image_compute_orientation(const memory_t& file);
} // namespace orvo
