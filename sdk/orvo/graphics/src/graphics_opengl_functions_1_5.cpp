// The 1.5 functions: vertex streams from buffer objects that upload only
// their dirty range.
#include "graphics_gl.h"
#include "graphics_opengl_functions.h"
#include "orvo/core/core_log.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

namespace orvo
{
namespace
{
const void* buffer_offset(i32 offset)
{
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(offset));
}
} // namespace

bool OpenGLSynchronise_1_5(OpenGLInterface& gl, GraphicsState& state)
{
    for (i32 j = 0; j < state.num_streams; ++j)
    {
        VertexBufferInstance* instance = gl.Prepare(state.streams[j]);
        const VertexFormat* format = state.formats[j];
        if (!instance || !format)
            continue;
        gl.CacheBindArrayBuffer(instance->buffer);
        for (u32 e = 0; e < format->num_elements; ++e)
        {
            const VertexElement& element = format->elements[e];
            switch (element.semantic)
            {
            case VertexElement::SEMANTIC_IGNORED:
                break;
            case VertexElement::SEMANTIC_POSITION:
            case VertexElement::SEMANTIC_NORMAL:
            case VertexElement::SEMANTIC_COLOUR:
                opengl_feed_builtin(gl, element, buffer_offset(element.offset));
                break;
            case VertexElement::SEMANTIC_TEXCOORD0:
            {
                gl.CacheActiveTexture(0);
                Texture* texture = state.textures[0];
                TextureInstance* texture_instance = texture ? gl.Prepare(texture) : nullptr;
                if (!texture_instance)
                    break;
                gl.CacheEnableTexture2D();
                gl.CacheBindTexture2D(texture_instance->texture);
                opengl_feed_builtin(gl, element, buffer_offset(element.offset));
                break;
            }
            default:
                log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Unhandled VertexElement: %s", element.name.str);
                break;
            }
        }
    }
    return true;
}

bool OpenGLCreateVertexBuffer_1_5(OpenGLInterface& gl, VertexBuffer& buffer, VertexBufferInstance& instance)
{
    GLuint name = 0;
    glGenBuffers(1, &name);
    instance.buffer = name;
    gl.CacheBindArrayBuffer(name);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(buffer.capacity), nullptr, GL_STREAM_DRAW);
    return true;
}

bool OpenGLUploadVertexBuffer_1_5(OpenGLInterface& gl, VertexBuffer& buffer, VertexBufferInstance& instance)
{
    gl.CacheBindArrayBuffer(instance.buffer);
    if (!buffer.data || buffer.dirty_offset > buffer.capacity || buffer.dirty_size > buffer.capacity - buffer.dirty_offset)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "VertexBuffer %d: dirty range %llu+%llu outside its %llu bytes",
                   buffer.id, static_cast<unsigned long long>(buffer.dirty_offset),
                   static_cast<unsigned long long>(buffer.dirty_size), static_cast<unsigned long long>(buffer.capacity));
        return false;
    }
    glBufferSubData(GL_ARRAY_BUFFER, static_cast<GLintptr>(buffer.dirty_offset),
                    static_cast<GLsizeiptr>(buffer.dirty_size), buffer.data + buffer.dirty_offset);
    return true;
}

void OpenGLDisposeVertexBuffer_1_5(OpenGLInterface& gl, VertexBufferInstance* instance)
{
    GLuint name = instance->buffer;
    glDeleteBuffers(1, &name);
    gl.CacheForgetBuffer(name);
}
} // namespace orvo
