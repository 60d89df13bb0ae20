// The OpenGL back end's top layer: frame statistics, the device's state, the
// table of 17 functions chosen by the context's version, the lazy creation
// and upload of each resource's per-context instance, and its deletion
// through per-context dispose lists. Instances are keyed by the context's
// serial; Dispose may run on any thread and never calls OpenGL, the lists are
// drained on the OpenGL thread at the context's frame end, start and stop,
// and whatever arrives for a context that has stopped is freed without
// OpenGL (its objects went with the context).
#pragma once

#include "orvo/core/core_vector.h"
#include "orvo/graphics/graphics_opengl_cache.h"
#include "orvo/graphics/graphics_state.h"

namespace orvo
{
class OpenGLInterface;

// --- per-context instances -------------------------------------------------------
struct TextureInstance
{
    u32 texture; // GL name
    i32 id;      // the resource's (id, revision) as last uploaded
    i32 revision;
};

struct VertexBufferInstance
{
    u32 buffer;
    i32 id;
    i32 revision;
};

struct RenderTargetInstance
{
    u32 framebuffer;
    i32 id;
    i32 revision;
};

// Uniform kinds: the OpenGL uniform types a program may declare.
enum opengl_uniform_kind_t : u32
{
    UNIFORM_FLOAT = 0,
    UNIFORM_FLOAT_VEC2,
    UNIFORM_FLOAT_VEC3,
    UNIFORM_FLOAT_VEC4,
    UNIFORM_INT,
    UNIFORM_INT_VEC2,
    UNIFORM_INT_VEC3,
    UNIFORM_INT_VEC4,
    UNIFORM_BOOL,
    UNIFORM_BOOL_VEC2,
    UNIFORM_BOOL_VEC3,
    UNIFORM_BOOL_VEC4,
    UNIFORM_FLOAT_MAT2,
    UNIFORM_FLOAT_MAT3,
    UNIFORM_FLOAT_MAT4,
    UNIFORM_FLOAT_MAT2x3,
    UNIFORM_FLOAT_MAT2x4,
    UNIFORM_FLOAT_MAT3x2,
    UNIFORM_FLOAT_MAT3x4,
    UNIFORM_FLOAT_MAT4x2,
    UNIFORM_FLOAT_MAT4x3,
    UNIFORM_SAMPLER = 21,
};

struct opengl_uniform_binding_t
{
    scope_variable_t* variable; // in the device's scope, named like the uniform
    i32 location;
    i32 array_size;
    version_t sent; // the variable's (serial, version) last sent
    u32 kind;       // opengl_uniform_kind_t
};

struct opengl_attribute_binding_t
{
    scope_variable_t* variable; // 40 bytes holding one VertexElement
    i32 location;               // -1 when the program has none for it
};

struct ProgramInstance
{
    u32 program;
    u32 vertex_shader;
    u32 fragment_shader;
    i32 id;
    i32 revision;
    vector_t<opengl_uniform_binding_t> uniforms;
    vector_t<opengl_attribute_binding_t> attributes;
    bool attached; // both shaders attached to the program
    bool linked;   // the last upload compiled and linked
};

struct VertexFormatInstance
{
    scope_variable_t* variables[16]; // attribute variable of each element's name
    i32 id;
    i32 revision;
};

// The kinds of instance, in the order a dispose list is drained.
enum opengl_instance_kind_t
{
    OPENGL_INSTANCE_PROGRAM = 0,
    OPENGL_INSTANCE_TEXTURE,
    OPENGL_INSTANCE_VERTEXBUFFER,
    OPENGL_INSTANCE_VERTEXFORMAT,
    OPENGL_INSTANCE_RENDERTARGET,
    OPENGL_INSTANCE_KINDS,
};

// --- the function table ------------------------------------------------------------
struct opengl_functions_t
{
    bool (*Update)(OpenGLInterface&, GraphicsState&);
    bool (*Synchronise)(OpenGLInterface&, GraphicsState&);
    bool (*CreateProgram)(OpenGLInterface&, Program&, ProgramInstance&);
    bool (*CreateTexture)(OpenGLInterface&, Texture&, TextureInstance&);
    bool (*CreateVertexBuffer)(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&);
    bool (*CreateVertexFormat)(OpenGLInterface&, VertexFormat&, VertexFormatInstance&);
    bool (*CreateRenderTarget)(OpenGLInterface&, RenderTarget&, RenderTargetInstance&);
    bool (*UploadProgram)(OpenGLInterface&, Program&, ProgramInstance&);
    bool (*UploadTexture)(OpenGLInterface&, Texture&, TextureInstance&);
    bool (*UploadVertexBuffer)(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&);
    bool (*UploadVertexFormat)(OpenGLInterface&, VertexFormat&, VertexFormatInstance&);
    bool (*UploadRenderTarget)(OpenGLInterface&, RenderTarget&, RenderTargetInstance&);
    void (*DisposeProgram)(OpenGLInterface&, ProgramInstance*);
    void (*DisposeTexture)(OpenGLInterface&, TextureInstance*);
    void (*DisposeVertexBuffer)(OpenGLInterface&, VertexBufferInstance*);
    void (*DisposeVertexFormat)(OpenGLInterface&, VertexFormatInstance*);
    void (*DisposeRenderTarget)(OpenGLInterface&, RenderTargetInstance*);
};

// The function sets, by the OpenGL version they need.
enum opengl_function_set_t
{
    OPENGL_SET_NONE = 0, // nothing selected yet: every entry does nothing
    OPENGL_SET_1_1,
    OPENGL_SET_1_4,
    OPENGL_SET_1_5,
    OPENGL_SET_2_0,
    OPENGL_SET_3_0,
};

// Statistics of the frames drawn since someone last set them to 0.
struct opengl_statistics_t
{
    u64 updates;        // frames begun
    u64 draws;
    u64 primitives;
    u64 uploaded_bytes; // texture pixel bytes sent to OpenGL
    u64 used_bytes;     // texture pixel bytes bound for drawing
};

// Every attribute variable one draw can write: 16 streams of 16 elements.
const int OPENGL_MAX_WRITTEN_ATTRIBUTES = 256;

class OpenGLInterface : public OpenGLCache
{
public:
    OpenGLInterface();

    // Resets the cache and fills the table by the parsed version (logged).
    void SelectInterface();
    // Frame start: the table's Update, then the fixed state and viewport.
    bool Update(GraphicsState& state);
    // Before a draw: the matrices, then the table's Synchronise.
    bool Synchronise(GraphicsState& state);

    // This context's up-to-date instance of a resource, created and
    // uploaded as needed; null (logged) when it cannot be made. Preparing a
    // texture counts its bytes as used.
    ProgramInstance* Prepare(Program* program);
    TextureInstance* Prepare(Texture* texture);
    VertexBufferInstance* Prepare(VertexBuffer* buffer);
    VertexFormatInstance* Prepare(VertexFormat* format);
    RenderTargetInstance* Prepare(RenderTarget* target);

    // Any thread: queues every context's instance of the resource for
    // deletion by that context and empties the resource's map. Null is
    // ignored. Never calls OpenGL.
    static void Dispose(Program* program);
    static void Dispose(Texture* texture);
    static void Dispose(VertexBuffer* buffer);
    static void Dispose(VertexFormat* format);
    static void Dispose(RenderTarget* target);
    // OpenGL thread: deletes everything queued for this context.
    void DisposeAll();
    // OpenGL thread, when the context stops: DisposeAll and remove the
    // context's list, so later releases free their records without OpenGL.
    void DisposeAllAndClose();
    // Registers this context's dispose list (after QueryCapabilities).
    bool OpenDisposeList();

    opengl_statistics_t statistics;
    GraphicsState state;
    opengl_functions_t functions;
    opengl_function_set_t selected_set;
    // Attribute variables the current draw wrote; all are reset after it.
    scope_variable_t* written_attributes[OPENGL_MAX_WRITTEN_ATTRIBUTES];
    u32 num_written_attributes;
};

// Frees an instance record without calling OpenGL (its context is gone).
void opengl_instance_free(opengl_instance_kind_t kind, void* instance);
} // namespace orvo
