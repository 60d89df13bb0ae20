// Vertex data for the rendering device: VertexBuffer (bytes with a dirty range
// that the next upload sends), DrawBuffer (a ring of vertex buffers for
// geometry rebuilt every draw), VertexElement and VertexFormat (the layout of
// one vertex stream) and IndexBuffer (client-side indices, never uploaded).
// Records live in ordinary memory and may be built on any thread; releasing
// one queues its OpenGL copies for deletion and never calls OpenGL.
#pragma once

#include "orvo/core/core_stringid.h"
#include "orvo/graphics/graphics_instances.h"

#include <cstddef>

namespace orvo
{
const int VERTEXFORMAT_MAX_ELEMENTS = 16;

class VertexBuffer
{
public:
    VertexBuffer();
    // Queues any instances left behind by an owner that did not release.
    ~VertexBuffer();
    VertexBuffer(const VertexBuffer&) = delete;
    VertexBuffer& operator=(const VertexBuffer&) = delete;

    // Keeps the data when it is already large enough (dirty range emptied);
    // otherwise frees it, drops the OpenGL copies and allocates bytes. False
    // (logged) with the buffer empty when the allocation fails.
    bool Initialise(size_t bytes);
    // Frees the data and queues the OpenGL copies. Safe twice.
    void Release();

    i32 id;
    i32 revision;                 // raised by whoever changes the bytes
    graphics_instances_t instances; // VertexBufferInstance per context
    u8* data;
    u64 capacity;     // bytes
    u64 dirty_offset; // the byte range the next upload sends
    u64 dirty_size;
};

// One slot of a draw-buffer ring: how far it has been filled, and its buffer.
struct DrawBufferSlot
{
    u64 fill_offset;
    VertexBuffer buffer;
};

class DrawBuffer
{
public:
    DrawBuffer();
    ~DrawBuffer();
    DrawBuffer(const DrawBuffer&) = delete;
    DrawBuffer& operator=(const DrawBuffer&) = delete;

    // Builds a ring of count slots (at least 1) of bytes each, replacing any
    // earlier ring. Always true: a slot whose memory cannot be allocated is
    // logged and left empty.
    bool Initialise(size_t bytes, size_t count);
    void Release();

    u64 current; // slot in use
    u64 count;   // slots in the ring
    DrawBufferSlot* ring;
};

struct VertexElement
{
    // OpenGL type constants, with "not set" right after the last one.
    enum DataType : u32
    {
        TYPE_BYTE = 0x1400,
        TYPE_UNSIGNED_BYTE = 0x1401,
        TYPE_SHORT = 0x1402,
        TYPE_UNSIGNED_SHORT = 0x1403,
        TYPE_INT = 0x1404,
        TYPE_UNSIGNED_INT = 0x1405,
        TYPE_FLOAT = 0x1406,
        TYPE_DOUBLE = 0x140A,
        TYPE_UNSIGNED_INT_8_8_8_8 = 0x8035,
        TYPE_UNSIGNED_INT_8_8_8_8_REV = 0x8367,
        TYPE_NOT_SET = 0x8368,
    };

    enum SemanticType : u32
    {
        SEMANTIC_POSITION = 0,  // "gl_Vertex"
        SEMANTIC_NORMAL = 1,    // "gl_Normal"
        SEMANTIC_COLOUR = 2,    // "gl_Color"
        SEMANTIC_TEXCOORD0 = 3, // "gl_MultiTexCoord0"
        SEMANTIC_GENERIC = 4,   // a shader attribute of the element's name
        SEMANTIC_IGNORED = 5,   // takes room in the vertex, feeds nothing
        SEMANTIC_NOT_SET = 6,
    };

    string_t name; // views one of the format's interned names
    i32 stream;    // -1 in a format; the stream index once written for a draw
    i32 offset;    // bytes from the start of the vertex
    i32 stride;    // bytes per vertex
    i32 count;     // components
    DataType type;
    SemanticType semantic;
};

// Bytes per component of a data type; 0 for "not set" and unknown values.
int vertexelement_type_size(u32 type);
// The element every attribute variable is reset to: empty name, stream -1,
// type and semantic not set.
VertexElement vertexelement_empty();

class VertexFormat
{
public:
    VertexFormat();
    // Drops the interned names and queues any instances left behind.
    ~VertexFormat();
    VertexFormat(const VertexFormat&) = delete;
    VertexFormat& operator=(const VertexFormat&) = delete;

    // Begin and Clear are the same: names released, stride and count 0.
    void Begin();
    void Clear();
    // Appends an element at the current stride; a 17th element is ignored.
    void AddElement(int count, VertexElement::DataType type, VertexElement::SemanticType semantic,
                    const char* name = nullptr);
    // Writes the final stride into every element.
    void End();

    i32 id;
    i32 revision;
    graphics_instances_t instances; // VertexFormatInstance per context
    u32 stride;
    u32 num_elements;
    stringid_t names[VERTEXFORMAT_MAX_ELEMENTS];
    VertexElement elements[VERTEXFORMAT_MAX_ELEMENTS];
};

class IndexBuffer
{
public:
    enum FormatType : u32
    {
        FORMAT_UNSIGNED_SHORT = 0x1403,
        FORMAT_UNSIGNED_INT = 0x1405,
        FORMAT_NOT_SET = 0x1406,
    };

    IndexBuffer();
    IndexBuffer(const IndexBuffer&) = delete;
    IndexBuffer& operator=(const IndexBuffer&) = delete;

    // Keeps the data when the format is the same and it holds at least count
    // indices; otherwise reallocates. False (logged) with the buffer empty.
    bool Initialise(FormatType format, size_t count);
    void Release();

    void* data;
    u64 count; // indices
    FormatType format;
};

// Bytes per index of a format; 0 for "not set".
int indexbuffer_format_size(u32 format);
} // namespace orvo
