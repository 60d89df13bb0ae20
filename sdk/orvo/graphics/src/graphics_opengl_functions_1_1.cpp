// The NULL family and the 1.1 and 1.4 functions: frames into the window,
// streams from client memory, textures uploaded straight from the caller's
// pixels (1.4 lets OpenGL build mipmaps).
#include "graphics_gl.h"
#include "graphics_opengl_functions.h"
#include "graphics_pixelformat.h"
#include "orvo/core/core_log.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

namespace orvo
{
// --- NULL --------------------------------------------------------------------------

bool OpenGLUpdate_NULL(OpenGLInterface&, GraphicsState&)
{
    return false;
}
bool OpenGLSynchronise_NULL(OpenGLInterface&, GraphicsState&)
{
    return false;
}
bool OpenGLCreateProgram_NULL(OpenGLInterface&, Program&, ProgramInstance&)
{
    return false;
}
bool OpenGLCreateTexture_NULL(OpenGLInterface&, Texture&, TextureInstance&)
{
    return false;
}
bool OpenGLCreateVertexBuffer_NULL(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&)
{
    return false;
}
bool OpenGLCreateVertexFormat_NULL(OpenGLInterface&, VertexFormat&, VertexFormatInstance&)
{
    return false;
}
bool OpenGLCreateRenderTarget_NULL(OpenGLInterface&, RenderTarget&, RenderTargetInstance&)
{
    return false;
}
bool OpenGLUploadProgram_NULL(OpenGLInterface&, Program&, ProgramInstance&)
{
    return false;
}
bool OpenGLUploadTexture_NULL(OpenGLInterface&, Texture&, TextureInstance&)
{
    return false;
}
bool OpenGLUploadVertexBuffer_NULL(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&)
{
    return false;
}
bool OpenGLUploadVertexFormat_NULL(OpenGLInterface&, VertexFormat&, VertexFormatInstance&)
{
    return false;
}
bool OpenGLUploadRenderTarget_NULL(OpenGLInterface&, RenderTarget&, RenderTargetInstance&)
{
    return false;
}
void OpenGLDisposeProgram_NULL(OpenGLInterface&, ProgramInstance*)
{
}
void OpenGLDisposeTexture_NULL(OpenGLInterface&, TextureInstance*)
{
}
void OpenGLDisposeVertexBuffer_NULL(OpenGLInterface&, VertexBufferInstance*)
{
}
void OpenGLDisposeVertexFormat_NULL(OpenGLInterface&, VertexFormatInstance*)
{
}
void OpenGLDisposeRenderTarget_NULL(OpenGLInterface&, RenderTargetInstance*)
{
}

// --- shared ------------------------------------------------------------------------

bool opengl_feed_builtin(OpenGLInterface& gl, const VertexElement& element, const void* pointer)
{
    switch (element.semantic)
    {
    case VertexElement::SEMANTIC_POSITION:
        gl.CacheEnableClientArray(OPENGL_ARRAY_VERTEX);
        glVertexPointer(element.count, element.type, element.stride, pointer);
        return true;
    case VertexElement::SEMANTIC_NORMAL:
        gl.CacheEnableClientArray(OPENGL_ARRAY_NORMAL);
        glNormalPointer(element.type, element.stride, pointer);
        return true;
    case VertexElement::SEMANTIC_COLOUR:
        gl.CacheEnableClientArray(OPENGL_ARRAY_COLOUR);
        glColorPointer(element.count, element.type, element.stride, pointer);
        return true;
    case VertexElement::SEMANTIC_TEXCOORD0:
        gl.CacheEnableClientArray(OPENGL_ARRAY_TEXCOORD);
        glTexCoordPointer(element.count, element.type, element.stride, pointer);
        return true;
    default:
        return false;
    }
}

namespace
{
void log_unhandled_element(const VertexElement& element)
{
    log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Unhandled VertexElement: %s", element.name.str);
}

// Texture slot 0 bound for a texture-coordinate element; false when the slot
// is empty or the texture cannot be made.
bool bind_slot0_texture(OpenGLInterface& gl, GraphicsState& state)
{
    Texture* texture = state.textures[0];
    if (!texture)
        return false;
    TextureInstance* instance = gl.Prepare(texture);
    if (!instance)
        return false;
    gl.CacheEnableTexture2D();
    gl.CacheBindTexture2D(instance->texture);
    return true;
}

bool upload_texture(OpenGLInterface& gl, Texture& texture, TextureInstance& instance, bool mipmaps)
{
    gl.statistics.uploaded_bytes += texture_num_bytes(texture);
    gl.CacheEnableTexture2D();
    gl.CacheBindTexture2D(instance.texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    GLint min_filter = static_cast<GLint>(texture.min_filter);
    GLint mag_filter = static_cast<GLint>(texture.mag_filter);
    const bool linear_mipmaps = [](GLint a, GLint b) {
        return a == GL_LINEAR_MIPMAP_NEAREST || a == GL_LINEAR_MIPMAP_LINEAR || b == GL_LINEAR_MIPMAP_NEAREST ||
               b == GL_LINEAR_MIPMAP_LINEAR;
    }(min_filter, mag_filter);
    if (!mipmaps)
    {
        if (min_filter == GL_LINEAR_MIPMAP_NEAREST || min_filter == GL_LINEAR_MIPMAP_LINEAR)
            min_filter = GL_LINEAR;
        if (mag_filter == GL_LINEAR_MIPMAP_NEAREST || mag_filter == GL_LINEAR_MIPMAP_LINEAR)
            mag_filter = GL_LINEAR;
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, min_filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, mag_filter);
    if (mipmaps && linear_mipmaps)
        glTexParameteri(GL_TEXTURE_2D, GL_GENERATE_MIPMAP, 1);

    opengl_pixel_mapping_t mapping;
    if (!opengl_pixel_mapping(texture.pixels.format, mapping) || !texture.pixels.data)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Texture %d: no pixels of a format OpenGL takes (0x%x)",
                   texture.id, static_cast<unsigned>(texture.pixels.format));
        return false;
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, texture.pixels.row_length);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, texture.pixels.width, texture.pixels.height, mapping.format, mapping.type,
                    texture.pixels.data);
    return true;
}
} // namespace

// --- 1.1 ---------------------------------------------------------------------------

bool OpenGLUpdate_1_1(OpenGLInterface&, GraphicsState& state)
{
    if (state.render_target)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "RenderTarget not supported by OpenGL driver");
        return false;
    }
    return true;
}

bool OpenGLSynchronise_1_1(OpenGLInterface& gl, GraphicsState& state)
{
    for (i32 j = 0; j < state.num_streams; ++j)
    {
        const VertexBuffer* buffer = state.streams[j];
        const VertexFormat* format = state.formats[j];
        if (!buffer || !format)
            continue;
        for (u32 e = 0; e < format->num_elements; ++e)
        {
            const VertexElement& element = format->elements[e];
            const void* pointer = buffer->data + element.offset;
            switch (element.semantic)
            {
            case VertexElement::SEMANTIC_IGNORED:
                break;
            case VertexElement::SEMANTIC_POSITION:
            case VertexElement::SEMANTIC_NORMAL:
            case VertexElement::SEMANTIC_COLOUR:
                opengl_feed_builtin(gl, element, pointer);
                break;
            case VertexElement::SEMANTIC_TEXCOORD0:
                if (bind_slot0_texture(gl, state))
                    opengl_feed_builtin(gl, element, pointer);
                break;
            default:
                log_unhandled_element(element);
                break;
            }
        }
    }
    return true;
}

bool OpenGLCreateTexture_1_1(OpenGLInterface& gl, Texture& texture, TextureInstance& instance)
{
    GLuint name = 0;
    glGenTextures(1, &name);
    instance.texture = name;
    gl.CacheBindTexture2D(name);
    opengl_pixel_mapping_t mapping;
    // Storage is made only for a format OpenGL takes; the upload reports the rest.
    if (opengl_pixel_mapping(texture.pixels.format, mapping))
        glTexImage2D(GL_TEXTURE_2D, 0, mapping.internal_format, texture.pixels.width, texture.pixels.height, 0,
                     mapping.format, mapping.type, nullptr);
    return true;
}

bool OpenGLUploadTexture_1_1(OpenGLInterface& gl, Texture& texture, TextureInstance& instance)
{
    return upload_texture(gl, texture, instance, false);
}

void OpenGLDisposeTexture_1_1(OpenGLInterface& gl, TextureInstance* instance)
{
    GLuint name = instance->texture;
    glDeleteTextures(1, &name);
    gl.CacheForgetTexture(name);
}

// --- 1.4 ---------------------------------------------------------------------------

bool OpenGLUploadTexture_1_4(OpenGLInterface& gl, Texture& texture, TextureInstance& instance)
{
    return upload_texture(gl, texture, instance, true);
}
} // namespace orvo
