// Function-table selection, frame start, draw synchronisation, lazy
// instances and their disposal.
#include "orvo/graphics/graphics_opengl_interface.h"

#include "graphics_gl.h"
#include "graphics_opengl_dispose.h"
#include "graphics_opengl_functions.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/graphics/graphics_program.h"
#include "orvo/graphics/graphics_rendertarget.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

#include <cstring>

namespace orvo
{
namespace
{
const opengl_functions_t null_functions = {
    OpenGLUpdate_NULL,
    OpenGLSynchronise_NULL,
    OpenGLCreateProgram_NULL,
    OpenGLCreateTexture_NULL,
    OpenGLCreateVertexBuffer_NULL,
    OpenGLCreateVertexFormat_NULL,
    OpenGLCreateRenderTarget_NULL,
    OpenGLUploadProgram_NULL,
    OpenGLUploadTexture_NULL,
    OpenGLUploadVertexBuffer_NULL,
    OpenGLUploadVertexFormat_NULL,
    OpenGLUploadRenderTarget_NULL,
    OpenGLDisposeProgram_NULL,
    OpenGLDisposeTexture_NULL,
    OpenGLDisposeVertexBuffer_NULL,
    OpenGLDisposeVertexFormat_NULL,
    OpenGLDisposeRenderTarget_NULL,
};

// Frees the entries of contexts that have stopped: their OpenGL objects went
// with the context, only the records are left. Runs when a new context adds
// its entry, so a long-lived resource does not collect dead instances.
void prune_dead_instances(graphics_instances_t& instances, opengl_instance_kind_t kind)
{
    u32 i = 0;
    while (i < instances.count)
    {
        if (opengl_dispose_is_live(instances.entries[i].context))
        {
            ++i;
            continue;
        }
        opengl_instance_free(kind, instances.entries[i].instance);
        graphics_instances_remove_at(instances, i);
    }
}

template <typename Resource, typename Instance>
Instance* opengl_prepare(OpenGLInterface& gl, Resource* resource, opengl_instance_kind_t kind,
                         bool (*create)(OpenGLInterface&, Resource&, Instance&),
                         bool (*upload)(OpenGLInterface&, Resource&, Instance&))
{
    if (!resource)
        return nullptr;
    Instance* instance = static_cast<Instance*>(graphics_instances_find(resource->instances, gl.context_id));
    if (!instance)
    {
        instance = static_cast<Instance*>(heap_alloc(sizeof(Instance), alignof(Instance), ORVO_HEAP_TAG));
        if (!instance)
            return nullptr;
        std::memset(static_cast<void*>(instance), 0, sizeof(Instance));
        // A fresh pair that cannot match the resource forces the first upload.
        instance->id = version_object_id<version_id_allocator_t>();
        instance->revision = 1;
        prune_dead_instances(resource->instances, kind);
        if (!graphics_instances_insert(resource->instances, gl.context_id, instance))
        {
            heap_free(instance, ORVO_HEAP_TAG);
            return nullptr;
        }
        if (!create(gl, *resource, *instance))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to create OpenGL object instance");
            for (u32 i = 0; i < resource->instances.count; ++i)
            {
                if (resource->instances.entries[i].context == gl.context_id)
                {
                    graphics_instances_remove_at(resource->instances, i);
                    break;
                }
            }
            opengl_instance_free(kind, instance);
            return nullptr;
        }
    }
    if (instance->id != resource->id || instance->revision != resource->revision)
    {
        // Copied before the upload: a failed upload is not retried until the
        // resource changes again.
        instance->id = resource->id;
        instance->revision = resource->revision;
        if (!upload(gl, *resource, *instance))
            log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to upload OpenGL object instance");
    }
    return instance;
}

void dispose_instances(graphics_instances_t& instances, opengl_instance_kind_t kind)
{
    for (u32 i = 0; i < instances.count; ++i)
        opengl_dispose_queue(instances.entries[i].context, kind, instances.entries[i].instance);
    graphics_instances_clear(instances);
}

const char* const kind_messages[OPENGL_INSTANCE_KINDS] = {
    "Disposing %d program(s)",      "Disposing %d texture(s)",      "Disposing %d vertexbuffer(s)",
    "Disposing %d vertexformat(s)", "Disposing %d rendertarget(s)",
};

void dispose_taken(OpenGLInterface& gl, opengl_disposed_t& taken)
{
    for (int kind = 0; kind < OPENGL_INSTANCE_KINDS; ++kind)
    {
        vector_t<void*>& queue = taken.queues[kind];
        if (queue.count)
            log_writef(LOGLEVEL_VERBOSE, LOGMODULE_GRAPHICS, kind_messages[kind], static_cast<int>(queue.count));
        for (u64 i = 0; i < queue.count; ++i)
        {
            void* instance = queue.data[i];
            switch (kind)
            {
            case OPENGL_INSTANCE_PROGRAM:
                gl.functions.DisposeProgram(gl, static_cast<ProgramInstance*>(instance));
                break;
            case OPENGL_INSTANCE_TEXTURE:
                gl.functions.DisposeTexture(gl, static_cast<TextureInstance*>(instance));
                break;
            case OPENGL_INSTANCE_VERTEXBUFFER:
                gl.functions.DisposeVertexBuffer(gl, static_cast<VertexBufferInstance*>(instance));
                break;
            case OPENGL_INSTANCE_VERTEXFORMAT:
                gl.functions.DisposeVertexFormat(gl, static_cast<VertexFormatInstance*>(instance));
                break;
            default:
                gl.functions.DisposeRenderTarget(gl, static_cast<RenderTargetInstance*>(instance));
                break;
            }
            opengl_instance_free(static_cast<opengl_instance_kind_t>(kind), instance);
        }
        vector_release(queue);
    }
}
} // namespace

void opengl_instance_free(opengl_instance_kind_t kind, void* instance)
{
    if (!instance)
        return;
    if (kind == OPENGL_INSTANCE_PROGRAM)
    {
        ProgramInstance* program = static_cast<ProgramInstance*>(instance);
        vector_release(program->uniforms);
        vector_release(program->attributes);
    }
    heap_free(instance, ORVO_HEAP_TAG);
}

OpenGLInterface::OpenGLInterface()
    : statistics{0, 0, 0, 0, 0}, functions(null_functions), selected_set(OPENGL_SET_NONE), num_written_attributes(0)
{
    std::memset(static_cast<void*>(&state), 0, sizeof(state));
    std::memset(written_attributes, 0, sizeof(written_attributes));
}

void OpenGLInterface::SelectInterface()
{
    CacheReset();
    functions = null_functions;
    const char* name;
    if (IsVersionAtLeast(3, 0))
    {
        selected_set = OPENGL_SET_3_0;
        name = "3.0";
    }
    else if (IsVersionAtLeast(2, 0))
    {
        selected_set = OPENGL_SET_2_0;
        name = "2.0";
    }
    else if (IsVersionAtLeast(1, 5))
    {
        selected_set = OPENGL_SET_1_5;
        name = "1.5";
    }
    else if (IsVersionAtLeast(1, 4))
    {
        selected_set = OPENGL_SET_1_4;
        name = "1.4";
    }
    else
    {
        selected_set = OPENGL_SET_1_1;
        name = "1.1";
    }

    functions.Update = selected_set == OPENGL_SET_3_0 ? OpenGLUpdate_3_0 : OpenGLUpdate_1_1;
    functions.Synchronise = selected_set >= OPENGL_SET_2_0   ? OpenGLSynchronise_2_0
                            : selected_set == OPENGL_SET_1_5 ? OpenGLSynchronise_1_5
                                                             : OpenGLSynchronise_1_1;
    functions.CreateTexture = OpenGLCreateTexture_1_1;
    functions.UploadTexture = selected_set >= OPENGL_SET_1_4 ? OpenGLUploadTexture_1_4 : OpenGLUploadTexture_1_1;
    functions.DisposeTexture = OpenGLDisposeTexture_1_1;
    if (selected_set >= OPENGL_SET_1_5)
    {
        functions.CreateVertexBuffer = OpenGLCreateVertexBuffer_1_5;
        functions.UploadVertexBuffer = OpenGLUploadVertexBuffer_1_5;
        functions.DisposeVertexBuffer = OpenGLDisposeVertexBuffer_1_5;
    }
    if (selected_set >= OPENGL_SET_2_0)
    {
        functions.CreateProgram = OpenGLCreateProgram_2_0;
        functions.UploadProgram = OpenGLUploadProgram_2_0;
        functions.DisposeProgram = OpenGLDisposeProgram_2_0;
        functions.CreateVertexFormat = OpenGLCreateVertexFormat_2_0;
        functions.UploadVertexFormat = OpenGLUploadVertexFormat_2_0;
    }
    if (selected_set >= OPENGL_SET_3_0)
    {
        functions.CreateRenderTarget = OpenGLCreateRenderTarget_3_0;
        functions.UploadRenderTarget = OpenGLUploadRenderTarget_3_0;
        functions.DisposeRenderTarget = OpenGLDisposeRenderTarget_3_0;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_GRAPHICS, "Selected interface for OpenGL v%s", name);
}

bool OpenGLInterface::Update(GraphicsState& graphics)
{
    log_writef(LOGLEVEL_TRACE, LOGMODULE_GRAPHICS, "OpenGL (%d) update: %d", context_id,
               static_cast<int>(statistics.updates));
    ++statistics.updates;
    if (!functions.Update(*this, graphics))
        return false;
    glEnable(GL_BLEND);
    glDisable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_LINE_SMOOTH);
    glDisable(GL_POLYGON_SMOOTH);
    glDisable(GL_STENCIL_TEST);
    glRenderMode(GL_RENDER);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glShadeModel(GL_SMOOTH);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glCullFace(GL_BACK);
    glFrontFace(GL_CCW);
    glDepthFunc(GL_LEQUAL);
    glDepthRange(0, 1);
    glLineWidth(1);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
    glHint(GL_POLYGON_SMOOTH_HINT, GL_NICEST);
    glViewport(0, 0, graphics.render_size[0], graphics.render_size[1]);
    return true;
}

bool OpenGLInterface::Synchronise(GraphicsState& graphics)
{
    scope_variable_t* modelview = graphics.modelview_variable;
    if (modelview && modelview->data &&
        (modelview->serial != graphics.loaded_modelview.id || modelview->version != graphics.loaded_modelview.version))
    {
        graphics.loaded_modelview = version_t{modelview->serial, modelview->version};
        glMatrixMode(GL_MODELVIEW);
        glLoadMatrixf(static_cast<const GLfloat*>(modelview->data));
    }
    scope_variable_t* projection = graphics.projection_variable;
    if (projection && projection->data &&
        (projection->serial != graphics.loaded_projection.id ||
         projection->version != graphics.loaded_projection.version))
    {
        graphics.loaded_projection = version_t{projection->serial, projection->version};
        glMatrixMode(GL_PROJECTION);
        glLoadMatrixf(static_cast<const GLfloat*>(projection->data));
    }
    return functions.Synchronise(*this, graphics);
}

ProgramInstance* OpenGLInterface::Prepare(Program* program)
{
    return opengl_prepare(*this, program, OPENGL_INSTANCE_PROGRAM, functions.CreateProgram, functions.UploadProgram);
}

TextureInstance* OpenGLInterface::Prepare(Texture* texture)
{
    if (!texture)
        return nullptr;
    statistics.used_bytes += texture_num_bytes(*texture);
    return opengl_prepare(*this, texture, OPENGL_INSTANCE_TEXTURE, functions.CreateTexture, functions.UploadTexture);
}

VertexBufferInstance* OpenGLInterface::Prepare(VertexBuffer* buffer)
{
    return opengl_prepare(*this, buffer, OPENGL_INSTANCE_VERTEXBUFFER, functions.CreateVertexBuffer,
                          functions.UploadVertexBuffer);
}

VertexFormatInstance* OpenGLInterface::Prepare(VertexFormat* format)
{
    return opengl_prepare(*this, format, OPENGL_INSTANCE_VERTEXFORMAT, functions.CreateVertexFormat,
                          functions.UploadVertexFormat);
}

RenderTargetInstance* OpenGLInterface::Prepare(RenderTarget* target)
{
    return opengl_prepare(*this, target, OPENGL_INSTANCE_RENDERTARGET, functions.CreateRenderTarget,
                          functions.UploadRenderTarget);
}

void OpenGLInterface::Dispose(Program* program)
{
    if (program)
        dispose_instances(program->instances, OPENGL_INSTANCE_PROGRAM);
}

void OpenGLInterface::Dispose(Texture* texture)
{
    if (texture)
        dispose_instances(texture->instances, OPENGL_INSTANCE_TEXTURE);
}

void OpenGLInterface::Dispose(VertexBuffer* buffer)
{
    if (buffer)
        dispose_instances(buffer->instances, OPENGL_INSTANCE_VERTEXBUFFER);
}

void OpenGLInterface::Dispose(VertexFormat* format)
{
    if (format)
        dispose_instances(format->instances, OPENGL_INSTANCE_VERTEXFORMAT);
}

void OpenGLInterface::Dispose(RenderTarget* target)
{
    if (target)
        dispose_instances(target->instances, OPENGL_INSTANCE_RENDERTARGET);
}

void OpenGLInterface::DisposeAll()
{
    opengl_disposed_t taken;
    opengl_dispose_take(context_id, false, taken);
    dispose_taken(*this, taken);
}

void OpenGLInterface::DisposeAllAndClose()
{
    opengl_disposed_t taken;
    opengl_dispose_take(context_id, true, taken);
    dispose_taken(*this, taken);
}

bool OpenGLInterface::OpenDisposeList()
{
    return opengl_dispose_register(context_id);
}
} // namespace orvo
