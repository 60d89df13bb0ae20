// The 3.0 functions: frames into framebuffer objects.
#include "graphics_gl.h"
#include "graphics_opengl_functions.h"
#include "orvo/core/core_log.h"
#include "orvo/graphics/graphics_rendertarget.h"

namespace orvo
{
bool OpenGLUpdate_3_0(OpenGLInterface& gl, GraphicsState& state)
{
    if (!state.render_target)
    {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        return true;
    }
    RenderTargetInstance* instance = gl.Prepare(state.render_target);
    if (!instance)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to set RenderTarget");
        return false;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, instance->framebuffer);
    return true;
}

bool OpenGLCreateRenderTarget_3_0(OpenGLInterface&, RenderTarget&, RenderTargetInstance& instance)
{
    GLuint name = 0;
    glGenFramebuffers(1, &name);
    instance.framebuffer = name;
    return true;
}

bool OpenGLUploadRenderTarget_3_0(OpenGLInterface& gl, RenderTarget& target, RenderTargetInstance& instance)
{
    TextureInstance* colour = gl.Prepare(&target.colour);
    TextureInstance* depth = gl.Prepare(&target.depth);
    if (!colour || !depth)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to create RenderTarget");
        return false;
    }
    glDisable(GL_STENCIL_TEST);
    glBindFramebuffer(GL_FRAMEBUFFER, instance.framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colour->texture, 0);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, depth->texture, 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status == GL_FRAMEBUFFER_COMPLETE)
        return true;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to upload RenderTarget: 0x%x", static_cast<unsigned>(status));
    return false;
}

void OpenGLDisposeRenderTarget_3_0(OpenGLInterface&, RenderTargetInstance* instance)
{
    GLuint name = instance->framebuffer;
    glDeleteFramebuffers(1, &name);
}
} // namespace orvo
