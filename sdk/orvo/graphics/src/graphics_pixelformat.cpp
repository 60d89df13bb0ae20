// Pixel formats as OpenGL textures. 16-bit channels are in the machine's byte
// order, as OpenGL reads them without GL_UNPACK_SWAP_BYTES.
#include "graphics_pixelformat.h"

#include "graphics_gl.h"

namespace orvo
{
bool opengl_pixel_mapping(i32 format, opengl_pixel_mapping_t& out)
{
    switch (format)
    {
    case PIXELFORMAT_L8:
        out = {GL_LUMINANCE8, GL_LUMINANCE, GL_UNSIGNED_BYTE};
        return true;
    case PIXELFORMAT_L16:
        out = {GL_LUMINANCE16, GL_LUMINANCE, GL_UNSIGNED_SHORT};
        return true;
    case PIXELFORMAT_LA8:
        out = {GL_LUMINANCE8_ALPHA8, GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE};
        return true;
    case PIXELFORMAT_LA16:
        out = {GL_LUMINANCE16_ALPHA16, GL_LUMINANCE_ALPHA, GL_UNSIGNED_SHORT};
        return true;
    case PIXELFORMAT_RGB8:
        out = {GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE};
        return true;
    case PIXELFORMAT_RGBA8:
        out = {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE};
        return true;
    case PIXELFORMAT_DEPTH32:
        out = {GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT};
        return true;
    case PIXELFORMAT_RGB16:
        out = {GL_RGB16, GL_RGB, GL_UNSIGNED_SHORT};
        return true;
    case PIXELFORMAT_RGBA16:
        out = {GL_RGBA16, GL_RGBA, GL_UNSIGNED_SHORT};
        return true;
    default:
        return false;
    }
}
} // namespace orvo
