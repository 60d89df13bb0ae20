// Vertex buffers, draw-buffer rings, vertex formats and index buffers.
#include "orvo/graphics/graphics_vertex.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_version.h"
#include "orvo/graphics/graphics_opengl_interface.h"

#include <new>

namespace orvo
{
namespace
{
const char* semantic_name(VertexElement::SemanticType semantic, const char* name)
{
    switch (semantic)
    {
    case VertexElement::SEMANTIC_POSITION:
        return "gl_Vertex";
    case VertexElement::SEMANTIC_NORMAL:
        return "gl_Normal";
    case VertexElement::SEMANTIC_COLOUR:
        return "gl_Color";
    case VertexElement::SEMANTIC_TEXCOORD0:
        return "gl_MultiTexCoord0";
    case VertexElement::SEMANTIC_GENERIC:
        return name ? name : "";
    default:
        return "invalid";
    }
}
} // namespace

// --- VertexBuffer ------------------------------------------------------------------

VertexBuffer::VertexBuffer()
    : id(version_object_id<version_id_allocator_t>()), revision(1), instances{nullptr, 0, 0}, data(nullptr),
      capacity(0), dirty_offset(0), dirty_size(0)
{
}

VertexBuffer::~VertexBuffer()
{
    OpenGLInterface::Dispose(this);
}

bool VertexBuffer::Initialise(size_t bytes)
{
    if (data && capacity >= bytes)
    {
        dirty_offset = 0;
        dirty_size = 0;
        return true;
    }
    Release();
    data = static_cast<u8*>(heap_alloc(bytes ? bytes : 1, 16, ORVO_HEAP_TAG));
    if (!data)
        return false;
    capacity = bytes;
    return true;
}

void VertexBuffer::Release()
{
    heap_free(data, ORVO_HEAP_TAG);
    OpenGLInterface::Dispose(this);
    data = nullptr;
    capacity = 0;
    dirty_offset = 0;
    dirty_size = 0;
}

// --- DrawBuffer --------------------------------------------------------------------

DrawBuffer::DrawBuffer() : current(0), count(0), ring(nullptr)
{
}

DrawBuffer::~DrawBuffer()
{
    Release();
}

bool DrawBuffer::Initialise(size_t bytes, size_t slots)
{
    Release();
    current = 0;
    if (slots < 1)
        slots = 1;
    ring = static_cast<DrawBufferSlot*>(heap_alloc(slots * sizeof(DrawBufferSlot), alignof(DrawBufferSlot),
                                                   ORVO_HEAP_TAG));
    if (!ring)
        return true; // no ring: every draw into it is refused by its user
    count = slots;
    for (u64 i = 0; i < count; ++i)
    {
        new (&ring[i]) DrawBufferSlot();
        ring[i].fill_offset = 0;
        ring[i].buffer.Initialise(bytes); // a failure is logged and leaves the slot empty
    }
    return true;
}

void DrawBuffer::Release()
{
    if (ring)
    {
        for (u64 i = 0; i < count; ++i)
        {
            ring[i].buffer.Release();
            ring[i].~DrawBufferSlot();
        }
        heap_free(ring, ORVO_HEAP_TAG);
    }
    ring = nullptr;
    count = 0;
    current = 0;
}

// --- VertexElement and VertexFormat ------------------------------------------------

int vertexelement_type_size(u32 type)
{
    switch (type)
    {
    case VertexElement::TYPE_BYTE:
    case VertexElement::TYPE_UNSIGNED_BYTE:
        return 1;
    case VertexElement::TYPE_SHORT:
    case VertexElement::TYPE_UNSIGNED_SHORT:
        return 2;
    case VertexElement::TYPE_INT:
    case VertexElement::TYPE_UNSIGNED_INT:
    case VertexElement::TYPE_FLOAT:
    case VertexElement::TYPE_UNSIGNED_INT_8_8_8_8:
    case VertexElement::TYPE_UNSIGNED_INT_8_8_8_8_REV:
        return 4;
    case VertexElement::TYPE_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

VertexElement vertexelement_empty()
{
    VertexElement element;
    element.name = empty_str;
    element.stream = -1;
    element.offset = 0;
    element.stride = 0;
    element.count = 0;
    element.type = VertexElement::TYPE_NOT_SET;
    element.semantic = VertexElement::SEMANTIC_NOT_SET;
    return element;
}

VertexFormat::VertexFormat()
    : id(version_object_id<version_id_allocator_t>()), revision(1), instances{nullptr, 0, 0}, stride(0),
      num_elements(0)
{
    for (int i = 0; i < VERTEXFORMAT_MAX_ELEMENTS; ++i)
    {
        names[i] = stringid_t{empty_str};
        elements[i] = vertexelement_empty();
    }
}

VertexFormat::~VertexFormat()
{
    Clear();
    OpenGLInterface::Dispose(this);
}

void VertexFormat::Begin()
{
    Clear();
}

void VertexFormat::Clear()
{
    for (int i = 0; i < VERTEXFORMAT_MAX_ELEMENTS; ++i)
    {
        stringid_release(names[i]);
        elements[i] = vertexelement_empty();
    }
    stride = 0;
    num_elements = 0;
}

void VertexFormat::AddElement(int component_count, VertexElement::DataType type,
                              VertexElement::SemanticType semantic, const char* name)
{
    if (num_elements >= static_cast<u32>(VERTEXFORMAT_MAX_ELEMENTS))
        return;
    stringid_t& slot = names[num_elements];
    stringid_resolve(slot, string_make(semantic_name(semantic, name)));
    VertexElement& element = elements[num_elements];
    element.name = slot.str ? static_cast<const string_t&>(slot) : empty_str;
    element.stream = -1;
    element.offset = static_cast<i32>(stride);
    element.stride = 0;
    element.count = component_count;
    element.type = type;
    element.semantic = semantic;
    stride += static_cast<u32>(component_count * vertexelement_type_size(type));
    ++num_elements;
}

void VertexFormat::End()
{
    for (u32 i = 0; i < num_elements; ++i)
        elements[i].stride = static_cast<i32>(stride);
}

// --- IndexBuffer -------------------------------------------------------------------

int indexbuffer_format_size(u32 format)
{
    switch (format)
    {
    case IndexBuffer::FORMAT_UNSIGNED_SHORT:
        return 2;
    case IndexBuffer::FORMAT_UNSIGNED_INT:
        return 4;
    default:
        return 0;
    }
}

IndexBuffer::IndexBuffer() : data(nullptr), count(0), format(FORMAT_NOT_SET)
{
}

bool IndexBuffer::Initialise(FormatType new_format, size_t new_count)
{
    if (data && format == new_format && count >= new_count)
        return true;
    Release();
    u64 bytes = static_cast<u64>(indexbuffer_format_size(new_format)) * new_count;
    if (bytes == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "IndexBuffer: no indices of format 0x%x to allocate",
                   new_format);
        return false;
    }
    data = heap_alloc(bytes, 16, ORVO_HEAP_TAG);
    if (!data)
        return false;
    count = new_count;
    format = new_format;
    return true;
}

void IndexBuffer::Release()
{
    heap_free(data, ORVO_HEAP_TAG);
    data = nullptr;
    count = 0;
    format = FORMAT_NOT_SET;
}
} // namespace orvo
