// Render targets: their colour and depth textures in memory.
#include "orvo/graphics/graphics_rendertarget.h"

#include "orvo/core/core_version.h"
#include "orvo/graphics/graphics_opengl_interface.h"

namespace orvo
{
RenderTarget::RenderTarget() : id(version_object_id<version_id_allocator_t>()), revision(1), instances{nullptr, 0, 0}
{
}

RenderTarget::~RenderTarget()
{
    OpenGLInterface::Dispose(this);
}

bool RenderTarget::Initialise(int width, int height)
{
    if (colour.pixels.data && depth.pixels.data && colour.pixels.width == width && colour.pixels.height == height)
        return true;
    Release();
    if (!colour.Initialise(PIXELFORMAT_RGBA8, width, height))
        return false;
    return depth.Initialise(PIXELFORMAT_DEPTH32, width, height);
}

void RenderTarget::Release()
{
    colour.Release();
    depth.Release();
    OpenGLInterface::Dispose(this);
}
} // namespace orvo
