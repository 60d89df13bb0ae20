// The OpenGL texture each pixel format becomes.
#pragma once

#include "orvo/colour/colour_pixelbuffer.h"

namespace orvo
{
struct opengl_pixel_mapping_t
{
    i32 internal_format;
    u32 format;
    u32 type;
};

// False for a value that is not a pixel format.
bool opengl_pixel_mapping(i32 format, opengl_pixel_mapping_t& out);
} // namespace orvo
