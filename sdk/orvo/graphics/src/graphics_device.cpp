// The rendering device: frames, clears, draw state and draws.
#include "orvo/graphics/graphics_device.h"

#include "graphics_gl.h"
#include "orvo/core/core_log.h"
#include "orvo/graphics/graphics_program.h"
#include "orvo/graphics/graphics_rendertarget.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace orvo
{
namespace
{
const float identity_matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

bool unchanged_float(double cached, double value, double epsilon)
{
    double smaller = cached < value ? cached : value;
    double scale = smaller > 1.0 ? smaller : 1.0;
    return std::fabs(cached - value) < epsilon * scale;
}

void bump(scope_variable_t* variable)
{
    if (variable)
        ++variable->version;
}

void set_texture_variable(scope_variable_t* variable, Texture* texture)
{
    if (!variable || !variable->data)
        return;
    std::memcpy(variable->data, &texture, sizeof(texture));
    ++variable->version;
}

// How many vertices a stream holds, by its format's stride; a stream without
// data holds none, one whose format has no stride is not limited here.
u64 stream_vertices(const VertexBuffer* buffer, const VertexFormat* format)
{
    if (!buffer || !buffer->data)
        return 0;
    if (!format || format->stride == 0)
        return UINT64_MAX;
    return buffer->capacity / format->stride;
}
} // namespace

u64 graphics_count_primitives(u32 primitive, u64 count)
{
    switch (primitive)
    {
    case GL_POINTS:
        return count;
    case GL_LINES:
        return count / 2;
    case GL_LINE_LOOP:
        return 0;
    case GL_LINE_STRIP:
        return count >= 1 ? count - 1 : 0;
    case GL_TRIANGLES:
        return count / 3;
    case GL_TRIANGLE_STRIP:
    case GL_TRIANGLE_FAN:
        return count >= 2 ? count - 2 : 0;
    case GL_QUADS:
        return count / 4;
    default:
        return 0;
    }
}

GraphicsDevice::GraphicsDevice() : started(false), opengl_thread()
{
}

GraphicsDevice::~GraphicsDevice()
{
}

bool GraphicsDevice::Start()
{
    CacheRelease();
    if (started)
        Stop();
    opengl_thread = pthread_self();

    // A view may report its size before its device starts.
    const i32 window[2] = {state.window_size[0], state.window_size[1]};
    std::memset(static_cast<void*>(&state), 0, sizeof(state));
    state.window_size[0] = window[0];
    state.window_size[1] = window[1];
    scope_initialise(state.variables);
    state.size_variable = scope_resolve(state.variables, string_make("RenderTargetSize"), 8, 4);
    state.modelview_variable = scope_resolve(state.variables, string_make("gl_ModelViewMatrix"), 64, 4);
    state.projection_variable = scope_resolve(state.variables, string_make("gl_ProjectionMatrix"), 64, 4);
    for (int slot = 0; slot < GRAPHICS_MAX_TEXTURES; ++slot)
    {
        char name[16];
        std::snprintf(name, sizeof(name), "texture%d", slot);
        state.texture_variables[slot] = scope_resolve(state.variables, string_make(name), 8, 8);
    }

    QueryCapabilities();
    SelectInterface();
    OpenDisposeList();
    started = true;
    return true;
}

void GraphicsDevice::Stop()
{
    CacheRelease();
    if (!started)
        return;
    started = false;
    glFinish();
    DisposeAllAndClose();
    scope_release(state.variables);
    // The variables are gone with the scope; nothing may point at them.
    const i32 window[2] = {state.window_size[0], state.window_size[1]};
    std::memset(static_cast<void*>(&state), 0, sizeof(state));
    state.window_size[0] = window[0];
    state.window_size[1] = window[1];
    log_write(LOGLEVEL_INFO, LOGMODULE_GRAPHICS, "GraphicsDevice stopped");
}

void GraphicsDevice::Resize(int width, int height)
{
    state.window_size[0] = width;
    state.window_size[1] = height;
}

bool GraphicsDevice::UpdateBegin()
{
    if (state.size_variable && state.size_variable->data)
    {
        float size[2] = {static_cast<float>(state.render_size[0]), static_cast<float>(state.render_size[1])};
        std::memcpy(state.size_variable->data, size, sizeof(size));
        bump(state.size_variable);
    }
    if (state.modelview_variable && state.modelview_variable->data)
    {
        std::memcpy(state.modelview_variable->data, identity_matrix, sizeof(identity_matrix));
        bump(state.modelview_variable);
    }
    if (state.projection_variable && state.projection_variable->data)
    {
        std::memcpy(state.projection_variable->data, identity_matrix, sizeof(identity_matrix));
        bump(state.projection_variable);
    }
    state.program = nullptr;
    for (int slot = 0; slot < GRAPHICS_MAX_TEXTURES; ++slot)
    {
        state.textures[slot] = nullptr;
        set_texture_variable(state.texture_variables[slot], nullptr);
    }
    if (Update(state))
        return true;
    state.render_target = nullptr;
    state.render_size[0] = state.window_size[0];
    state.render_size[1] = state.window_size[1];
    return false;
}

bool GraphicsDevice::UpdateBegin(RenderTarget& target)
{
    state.render_target = &target;
    state.render_size[0] = target.colour.pixels.width;
    state.render_size[1] = target.colour.pixels.height;
    return UpdateBegin();
}

void GraphicsDevice::UpdateEnd()
{
    glFlush();
    Validate();
    DisposeAll();
    state.render_target = nullptr;
    state.render_size[0] = state.window_size[0];
    state.render_size[1] = state.window_size[1];
}

void GraphicsDevice::WaitUntilIdle()
{
    glFinish();
}

void GraphicsDevice::Clear(const ClearOptions& options)
{
    const float colour[4] = {options.red, options.green, options.blue, options.alpha};
    bool same_colour = true;
    for (int i = 0; i < 4; ++i)
        same_colour = same_colour && unchanged_float(clear_colour[i], colour[i], 1.1920929e-7);
    if (!same_colour)
    {
        std::memcpy(clear_colour, colour, sizeof(colour));
        glClearColor(colour[0], colour[1], colour[2], colour[3]);
    }
    const double depth = static_cast<double>(options.depth);
    if (!unchanged_float(clear_depth, depth, 2.220446049250313e-16))
    {
        clear_depth = depth;
        glClearDepth(depth);
    }
    if (clear_stencil != options.stencil)
    {
        clear_stencil = options.stencil;
        glClearStencil(options.stencil);
    }
    glClear(options.mask);
}

void GraphicsDevice::SetProgram(Program& program)
{
    state.program = &program;
}

void GraphicsDevice::UnsetProgram()
{
    state.program = nullptr;
}

void GraphicsDevice::SetTexture(Texture& texture, int slot)
{
    if (slot < 0 || slot >= GRAPHICS_MAX_TEXTURES)
        return;
    state.textures[slot] = &texture;
    set_texture_variable(state.texture_variables[slot], &texture);
}

void GraphicsDevice::UnsetTexture(int slot)
{
    if (slot < 0 || slot >= GRAPHICS_MAX_TEXTURES)
        return;
    state.textures[slot] = nullptr;
    set_texture_variable(state.texture_variables[slot], nullptr);
}

void GraphicsDevice::SetIndexBuffer(IndexBuffer& buffer)
{
    state.index_buffer = &buffer;
}

void GraphicsDevice::SetVertexStream(VertexBuffer& buffer, VertexFormat& format)
{
    if (state.num_streams >= GRAPHICS_MAX_STREAMS)
        return;
    state.streams[state.num_streams] = &buffer;
    state.formats[state.num_streams] = &format;
    ++state.num_streams;
}

void GraphicsDevice::Draw(const DrawOptions& options)
{
    if (options.count != 0)
    {
        // OpenGL reads client memory without bounds: a draw past the caller's
        // indices or vertices would read foreign memory.
        bool safe = true;
        if (options.indexed)
        {
            const IndexBuffer* indices = state.index_buffer;
            if (!indices || !indices->data || indexbuffer_format_size(indices->format) == 0 ||
                options.count > indices->count)
            {
                log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Draw refused: %llu indices without an index buffer "
                           "that holds them", static_cast<unsigned long long>(options.count));
                safe = false;
            }
        }
        else
        {
            for (i32 j = 0; j < state.num_streams && safe; ++j)
            {
                if (options.first + options.count > stream_vertices(state.streams[j], state.formats[j]))
                {
                    log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS,
                               "Draw refused: vertices %llu to %llu lie outside vertex stream %d",
                               static_cast<unsigned long long>(options.first),
                               static_cast<unsigned long long>(options.first + options.count), j);
                    safe = false;
                }
            }
        }
        if (safe)
        {
            ++statistics.draws;
            statistics.primitives += graphics_count_primitives(options.primitive, options.count);
            Synchronise(state);
            if (options.indexed)
                glDrawElements(options.primitive, static_cast<GLsizei>(options.count), state.index_buffer->format,
                               state.index_buffer->data);
            else
                glDrawArrays(options.primitive, static_cast<GLint>(options.first),
                             static_cast<GLsizei>(options.count));
            CacheSync();
        }
    }
    state.num_streams = 0;
    state.index_buffer = nullptr;
}

bool GraphicsDevice::PrepareProgram(Program& program)
{
    return Prepare(&program) != nullptr;
}

bool GraphicsDevice::PrepareTexture(Texture& texture)
{
    return Prepare(&texture) != nullptr;
}

bool GraphicsDevice::PrepareVertexBuffer(VertexBuffer& buffer)
{
    return Prepare(&buffer) != nullptr;
}

bool GraphicsDevice::PrepareVertexFormat(VertexFormat& format)
{
    return Prepare(&format) != nullptr;
}

bool GraphicsDevice::PrepareRenderTarget(RenderTarget& target)
{
    return Prepare(&target) != nullptr;
}
} // namespace orvo
