// Off-screen render targets: an RGBA8 colour texture and a depth32 texture
// attached to one framebuffer object per context (OpenGL 3.0 and later).
// Drawing into a target is a frame begun with GraphicsDevice::UpdateBegin
// with the target; afterwards its colour texture draws like any other.
#pragma once

#include "orvo/graphics/graphics_texture.h"

namespace orvo
{
class RenderTarget
{
public:
    RenderTarget();
    ~RenderTarget();
    RenderTarget(const RenderTarget&) = delete;
    RenderTarget& operator=(const RenderTarget&) = delete;

    // True at once when it already has this size; otherwise releases and
    // builds both textures. False (logged) when either cannot be allocated.
    bool Initialise(int width, int height);
    // Both textures released, then the framebuffers queued for deletion.
    void Release();

    i32 id;
    i32 revision;
    graphics_instances_t instances; // RenderTargetInstance per context
    Texture colour; // RGBA8
    Texture depth;  // depth32
};
} // namespace orvo
