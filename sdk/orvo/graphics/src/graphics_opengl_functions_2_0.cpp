// The 2.0 functions: GLSL programs, their uniforms and samplers, and vertex
// attributes bound by name. Vertex formats and programs meet in attribute
// variables of the device's scope: before a draw every element of every
// stream is written into the variable of its name, each program attribute
// reads the variable of its own name, and afterwards every written variable
// is reset so that it feeds only the draw it was written for.
#include "graphics_gl.h"
#include "graphics_opengl_functions.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/graphics/graphics_program.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

#include <cstring>

namespace orvo
{
static_assert(sizeof(VertexElement) == 40, "attribute variables hold one VertexElement in 40 bytes");

namespace
{
const u64 ATTRIBUTE_VARIABLE_BYTES = 40;
const u64 ATTRIBUTE_VARIABLE_ELEMENT = 8;

struct uniform_kind_info_t
{
    u32 gl_type;
    u32 kind;
    u64 bytes;   // per array element
    u64 element; // element size of the variable
};

const uniform_kind_info_t uniform_kinds[] = {
    {GL_FLOAT, UNIFORM_FLOAT, 4, 4},
    {GL_FLOAT_VEC2, UNIFORM_FLOAT_VEC2, 8, 4},
    {GL_FLOAT_VEC3, UNIFORM_FLOAT_VEC3, 12, 4},
    {GL_FLOAT_VEC4, UNIFORM_FLOAT_VEC4, 16, 4},
    {GL_INT, UNIFORM_INT, 4, 4},
    {GL_INT_VEC2, UNIFORM_INT_VEC2, 8, 4},
    {GL_INT_VEC3, UNIFORM_INT_VEC3, 12, 4},
    {GL_INT_VEC4, UNIFORM_INT_VEC4, 16, 4},
    {GL_BOOL, UNIFORM_BOOL, 1, 1},
    {GL_BOOL_VEC2, UNIFORM_BOOL_VEC2, 2, 1},
    {GL_BOOL_VEC3, UNIFORM_BOOL_VEC3, 3, 1},
    {GL_BOOL_VEC4, UNIFORM_BOOL_VEC4, 4, 1},
    {GL_FLOAT_MAT2, UNIFORM_FLOAT_MAT2, 16, 4},
    {GL_FLOAT_MAT3, UNIFORM_FLOAT_MAT3, 36, 4},
    {GL_FLOAT_MAT4, UNIFORM_FLOAT_MAT4, 64, 4},
    {GL_FLOAT_MAT2x3, UNIFORM_FLOAT_MAT2x3, 24, 4},
    {GL_FLOAT_MAT2x4, UNIFORM_FLOAT_MAT2x4, 32, 4},
    {GL_FLOAT_MAT3x2, UNIFORM_FLOAT_MAT3x2, 24, 4},
    {GL_FLOAT_MAT3x4, UNIFORM_FLOAT_MAT3x4, 48, 4},
    {GL_FLOAT_MAT4x2, UNIFORM_FLOAT_MAT4x2, 32, 4},
    {GL_FLOAT_MAT4x3, UNIFORM_FLOAT_MAT4x3, 48, 4},
};

bool uniform_kind_of(u32 gl_type, uniform_kind_info_t& out)
{
    // GL_SAMPLER_1D to GL_SAMPLER_2D_SHADOW: one Texture pointer.
    if (gl_type >= GL_SAMPLER_1D && gl_type <= GL_SAMPLER_2D_SHADOW)
    {
        out = uniform_kind_info_t{gl_type, UNIFORM_SAMPLER, 8, 8};
        return true;
    }
    for (const uniform_kind_info_t& info : uniform_kinds)
    {
        if (info.gl_type == gl_type)
        {
            out = info;
            return true;
        }
    }
    return false;
}

const void* buffer_offset(i32 offset)
{
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(offset));
}

VertexElement* attribute_element(scope_variable_t* variable)
{
    if (!variable || !variable->data || variable->size < ATTRIBUTE_VARIABLE_BYTES)
        return nullptr;
    return static_cast<VertexElement*>(variable->data);
}

void reset_attribute(scope_variable_t* variable)
{
    VertexElement* element = attribute_element(variable);
    if (!element)
        return;
    *element = vertexelement_empty();
    ++variable->version;
}

void feed_attribute(OpenGLInterface& gl, GraphicsState& state, const opengl_attribute_binding_t& binding,
                    const VertexElement& element)
{
    if (element.stream < 0 || element.stream >= state.num_streams)
        return;
    VertexBufferInstance* buffer = gl.Prepare(state.streams[element.stream]);
    if (!buffer)
        return;
    gl.CacheBindArrayBuffer(buffer->buffer);
    const void* pointer = buffer_offset(element.offset);
    switch (element.semantic)
    {
    case VertexElement::SEMANTIC_POSITION:
    case VertexElement::SEMANTIC_NORMAL:
    case VertexElement::SEMANTIC_COLOUR:
    case VertexElement::SEMANTIC_TEXCOORD0:
        opengl_feed_builtin(gl, element, pointer);
        break;
    case VertexElement::SEMANTIC_GENERIC:
        if (binding.location < 0)
            break;
        gl.CacheEnableAttribArray(binding.location);
        glVertexAttribPointer(static_cast<GLuint>(binding.location), element.count, element.type, GL_FALSE,
                              element.stride, pointer);
        break;
    case VertexElement::SEMANTIC_IGNORED:
        break;
    default:
        log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Unhandled VertexElement: %s", element.name.str);
        break;
    }
}

void send_uniform(OpenGLInterface& gl, const opengl_uniform_binding_t& binding, u32 unit)
{
    const scope_variable_t* variable = binding.variable;
    const GLfloat* values = static_cast<const GLfloat*>(variable->data);
    switch (binding.kind)
    {
    case UNIFORM_FLOAT:
        glUniform1fv(binding.location, binding.array_size, values);
        break;
    case UNIFORM_FLOAT_VEC2:
        glUniform2fv(binding.location, binding.array_size, values);
        break;
    case UNIFORM_FLOAT_VEC3:
        glUniform3fv(binding.location, binding.array_size, values);
        break;
    case UNIFORM_FLOAT_VEC4:
        glUniform4fv(binding.location, binding.array_size, values);
        break;
    case UNIFORM_FLOAT_MAT4:
        glUniformMatrix4fv(binding.location, binding.array_size, GL_FALSE, values);
        break;
    case UNIFORM_SAMPLER:
    {
        gl.CacheActiveTexture(unit);
        Texture* texture = nullptr;
        std::memcpy(&texture, variable->data, sizeof(texture));
        if (!texture)
            break;
        TextureInstance* instance = gl.Prepare(texture);
        if (!instance)
            break;
        gl.CacheEnableTexture2D();
        gl.CacheBindTexture2D(instance->texture);
        glUniform1i(binding.location, static_cast<GLint>(unit));
        break;
    }
    default:
        log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Unhandled ShaderUniform: %s", variable->name.str);
        break;
    }
}

void log_source_block(const char* heading, const char* first, const char* second, const char* info)
{
    if (!log_lock(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS))
        return;
    log_print(heading);
    log_print(first);
    if (second)
        log_print(second);
    log_print(info);
    log_unlock();
}
} // namespace

bool OpenGLSynchronise_2_0(OpenGLInterface& gl, GraphicsState& state)
{
    if (!state.program)
    {
        glUseProgram(0);
        OpenGLSynchronise_1_5(gl, state);
        return true;
    }
    ProgramInstance* program = gl.Prepare(state.program);
    if (!program || !program->linked)
    {
        glUseProgram(0);
        return false;
    }
    glUseProgram(program->program);

    gl.num_written_attributes = 0;
    for (i32 j = 0; j < state.num_streams; ++j)
    {
        const VertexFormat* format = state.formats[j];
        VertexFormatInstance* instance = gl.Prepare(state.formats[j]);
        if (!instance)
            continue;
        for (u32 e = 0; e < format->num_elements; ++e)
        {
            scope_variable_t* variable = instance->variables[e];
            VertexElement* stored = attribute_element(variable);
            if (!stored)
                continue;
            *stored = format->elements[e];
            stored->stream = j;
            ++variable->version;
            if (gl.num_written_attributes < static_cast<u32>(OPENGL_MAX_WRITTEN_ATTRIBUTES))
                gl.written_attributes[gl.num_written_attributes++] = variable;
        }
    }

    for (u64 a = 0; a < program->attributes.count; ++a)
    {
        const opengl_attribute_binding_t& binding = program->attributes.data[a];
        VertexElement* element = attribute_element(binding.variable);
        if (!element || element->stream == -1)
            continue;
        feed_attribute(gl, state, binding, *element);
        reset_attribute(binding.variable);
    }
    // Elements no attribute of this program read must not reach a later
    // program that does read them, with this draw's stream and offset.
    for (u32 w = 0; w < gl.num_written_attributes; ++w)
    {
        VertexElement* element = attribute_element(gl.written_attributes[w]);
        if (element && element->stream != -1)
            reset_attribute(gl.written_attributes[w]);
    }
    gl.num_written_attributes = 0;

    // Each sampler keeps the unit of its place among the program's samplers,
    // so a sampler sent alone never takes the unit of one sent earlier.
    u32 sampler_unit = 0;
    for (u64 u = 0; u < program->uniforms.count; ++u)
    {
        opengl_uniform_binding_t& binding = program->uniforms.data[u];
        const u32 unit = binding.kind == UNIFORM_SAMPLER ? sampler_unit++ : 0;
        scope_variable_t* variable = binding.variable;
        if (!variable || !variable->data)
            continue;
        if (binding.sent.id == variable->serial && binding.sent.version == variable->version)
            continue;
        binding.sent = version_t{variable->serial, variable->version};
        send_uniform(gl, binding, unit);
    }
    return true;
}

bool OpenGLCreateProgram_2_0(OpenGLInterface&, Program&, ProgramInstance& instance)
{
    instance.program = glCreateProgram();
    instance.vertex_shader = glCreateShader(GL_VERTEX_SHADER);
    instance.fragment_shader = glCreateShader(GL_FRAGMENT_SHADER);
    vector_initialise(instance.uniforms, 4, false);
    vector_initialise(instance.attributes, 4, false);
    return true;
}

namespace internal
{
bool OpenGLCompileShader(OpenGLInterface&, unsigned shader, const char* source)
{
    const GLchar* sources[1] = {source};
    glShaderSource(shader, 1, sources, nullptr);
    glCompileShader(shader);
    GLint compiled = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (compiled)
        return true;
    if (log_is_enabled(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS))
    {
        GLint length = 0;
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
        char* info = static_cast<char*>(heap_alloc(static_cast<u64>(length > 0 ? length : 0) + 1, 1, ORVO_HEAP_TAG));
        if (info)
        {
            info[0] = '\0';
            if (length > 0)
                glGetShaderInfoLog(shader, length, nullptr, info);
        }
        log_source_block("Failed to compile shader source:\n", source, nullptr, info ? info : "");
        heap_free(info, ORVO_HEAP_TAG);
    }
    return false;
}
} // namespace internal

bool OpenGLUploadProgram_2_0(OpenGLInterface& gl, Program& resource, ProgramInstance& instance)
{
    instance.uniforms.count = 0;
    instance.attributes.count = 0;
    instance.linked = false;

    const bool vertex_ok = internal::OpenGLCompileShader(gl, instance.vertex_shader, resource.vertex_source.str);
    const bool fragment_ok =
        vertex_ok && internal::OpenGLCompileShader(gl, instance.fragment_shader, resource.fragment_source.str);
    if (!vertex_ok || !fragment_ok)
        return false;

    if (!instance.attached)
    {
        // Attaching a shader twice is an OpenGL error; a re-upload only relinks.
        glAttachShader(instance.program, instance.vertex_shader);
        glAttachShader(instance.program, instance.fragment_shader);
        instance.attached = true;
    }
    glLinkProgram(instance.program);
    GLint linked = GL_FALSE;
    glGetProgramiv(instance.program, GL_LINK_STATUS, &linked);
    if (!linked)
    {
        if (log_is_enabled(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS))
        {
            GLint length = 0;
            glGetProgramiv(instance.program, GL_INFO_LOG_LENGTH, &length);
            char* info =
                static_cast<char*>(heap_alloc(static_cast<u64>(length > 0 ? length : 0) + 1, 1, ORVO_HEAP_TAG));
            if (info)
            {
                info[0] = '\0';
                if (length > 0)
                    glGetProgramInfoLog(instance.program, length, nullptr, info);
            }
            log_source_block("Failed to link program\n", resource.vertex_source.str, resource.fragment_source.str,
                             info ? info : "");
            heap_free(info, ORVO_HEAP_TAG);
        }
        return false;
    }

    GLint num_uniforms = 0;
    GLint num_attributes = 0;
    GLint uniform_length = 0;
    GLint attribute_length = 0;
    glGetProgramiv(instance.program, GL_ACTIVE_UNIFORMS, &num_uniforms);
    glGetProgramiv(instance.program, GL_ACTIVE_ATTRIBUTES, &num_attributes);
    glGetProgramiv(instance.program, GL_ACTIVE_UNIFORM_MAX_LENGTH, &uniform_length);
    glGetProgramiv(instance.program, GL_ACTIVE_ATTRIBUTE_MAX_LENGTH, &attribute_length);
    const GLint name_length = (uniform_length > attribute_length ? uniform_length : attribute_length) + 1;
    char* name = static_cast<char*>(heap_alloc(static_cast<u64>(name_length), 1, ORVO_HEAP_TAG));
    if (!name)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to create buffer for Program");
        return false;
    }

    for (GLint i = 0; i < num_uniforms; ++i)
    {
        std::memset(name, 0, static_cast<size_t>(name_length));
        GLint size = 0;
        GLenum type = 0;
        glGetActiveUniform(instance.program, static_cast<GLuint>(i), name_length, nullptr, &size, &type, name);
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_GRAPHICS, "Processing shader uniform: %s", name);
        GLint location = glGetUniformLocation(instance.program, name);
        if (location < 0)
            continue;
        uniform_kind_info_t info;
        if (!uniform_kind_of(type, info))
        {
            log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Unhandled GL shader uniform type: 0x%x",
                       static_cast<unsigned>(type));
            continue;
        }
        const u64 bytes = info.kind == UNIFORM_SAMPLER ? info.bytes : info.bytes * static_cast<u64>(size);
        opengl_uniform_binding_t binding;
        binding.variable = scope_resolve(gl.state.variables, string_make(name), bytes, info.element);
        if (!binding.variable)
            continue;
        binding.location = location;
        binding.array_size = size;
        binding.sent = version_t{version_object_id<version_id_allocator_t>(), 1};
        binding.kind = info.kind;
        vector_insert(instance.uniforms, binding); // a failed growth is logged and drops the binding
    }

    for (GLint i = 0; i < num_attributes; ++i)
    {
        std::memset(name, 0, static_cast<size_t>(name_length));
        GLint size = 0;
        GLenum type = 0;
        glGetActiveAttrib(instance.program, static_cast<GLuint>(i), name_length, nullptr, &size, &type, name);
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_GRAPHICS, "Processing shader attribute: %s", name);
        opengl_attribute_binding_t binding;
        binding.location = glGetAttribLocation(instance.program, name);
        binding.variable =
            scope_resolve(gl.state.variables, string_make(name), ATTRIBUTE_VARIABLE_BYTES, ATTRIBUTE_VARIABLE_ELEMENT);
        if (!binding.variable)
            continue;
        reset_attribute(binding.variable);
        vector_insert(instance.attributes, binding);
    }
    heap_free(name, ORVO_HEAP_TAG);
    instance.linked = true;
    return true;
}

void OpenGLDisposeProgram_2_0(OpenGLInterface&, ProgramInstance* instance)
{
    glDeleteProgram(instance->program);
    glDeleteShader(instance->vertex_shader);
    glDeleteShader(instance->fragment_shader);
    vector_release(instance->uniforms);
    vector_release(instance->attributes);
}

bool OpenGLCreateVertexFormat_2_0(OpenGLInterface&, VertexFormat&, VertexFormatInstance&)
{
    return true;
}

bool OpenGLUploadVertexFormat_2_0(OpenGLInterface& gl, VertexFormat& format, VertexFormatInstance& instance)
{
    for (u32 e = 0; e < static_cast<u32>(VERTEXFORMAT_MAX_ELEMENTS); ++e)
    {
        instance.variables[e] = nullptr;
        // An element without a name has no attribute to meet.
        if (e < format.num_elements && format.elements[e].name.length > 0)
            instance.variables[e] = scope_resolve(gl.state.variables, format.elements[e].name,
                                                  ATTRIBUTE_VARIABLE_BYTES, ATTRIBUTE_VARIABLE_ELEMENT);
    }
    return true;
}
} // namespace orvo
