// Graphics resources without OpenGL: texture-grid cell layouts, textures
// reusing their pixels, vertex formats, vertex, index and draw buffers.
#include "orvo/graphics/graphics_program.h"
#include "orvo/graphics/graphics_rendertarget.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace orvo;

namespace
{
struct ExpectedCell
{
    float x, y, width, height, u, v;
};

struct GridCase
{
    const char* name;
    i32 max_texture_size;
    int width;
    int height;
    int side;
    int padded_width;
    int padded_height;
    std::vector<ExpectedCell> cells; // empty: only the count is checked
    size_t num_cells;
};

// Restores the class-wide limit a case changes.
class GridLimit
{
public:
    explicit GridLimit(i32 size) : m_saved(TextureGrid::MaxTextureSize) { TextureGrid::MaxTextureSize = size; }
    ~GridLimit() { TextureGrid::MaxTextureSize = m_saved; }

private:
    i32 m_saved;
};
} // namespace

TEST(TextureGridLayout, CellsFollowThePictureAndTheLimits)
{
    const GridCase cases[] = {
        {"two rows of two cells, rows from the top",
         512,
         1000,
         600,
         512,
         1024,
         1024,
         {{0, 88, 512, 512, 1, 1},
          {512, 88, 488, 512, 0.953125f, 1},
          {0, 0, 512, 88, 1, 0.171875f},
          {512, 0, 488, 88, 0.953125f, 0.171875f}},
         4},
        {"one cell of the next power of two", 512, 100, 50, 128, 128, 128, {{0, 0, 100, 50, 0.78125f, 0.390625f}}, 1},
        {"cells never exceed 1024 whatever the device allows", 4096, 3000, 2000, 1024, 3072, 2048, {}, 6},
    };
    for (const GridCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        GridLimit limit(c.max_texture_size);
        TextureGrid grid;
        ASSERT_TRUE(grid.Initialise(PIXELFORMAT_RGB8, c.width, c.height));
        EXPECT_EQ(c.padded_width, grid.padded.width);
        EXPECT_EQ(c.padded_height, grid.padded.height);
        EXPECT_EQ(c.padded_width, grid.padded.row_length);
        EXPECT_TRUE(grid.padded.owns);
        EXPECT_EQ(3u * c.padded_width * c.padded_height, grid.padded.size);

        EXPECT_EQ(c.width, grid.picture.width);
        EXPECT_EQ(c.height, grid.picture.height);
        EXPECT_EQ(c.padded_width, grid.picture.row_length);
        EXPECT_EQ(grid.padded.data, grid.picture.data);
        EXPECT_FALSE(grid.picture.owns);
        EXPECT_EQ(3u * (c.width + static_cast<u64>(c.padded_width) * (c.height - 1)), grid.picture.size);

        ASSERT_EQ(c.num_cells, grid.cells.count);
        for (size_t i = 0; i < c.cells.size(); ++i)
        {
            SCOPED_TRACE(testing::Message() << "cell " << i);
            const TextureGridCell& cell = grid.cells.data[i];
            EXPECT_EQ(c.cells[i].x, cell.x);
            EXPECT_EQ(c.cells[i].y, cell.y);
            EXPECT_EQ(c.cells[i].width, cell.width);
            EXPECT_EQ(c.cells[i].height, cell.height);
            EXPECT_FLOAT_EQ(c.cells[i].u, cell.u);
            EXPECT_FLOAT_EQ(c.cells[i].v, cell.v);
        }
        // Every cell texture is side x side texels viewing the padded buffer
        // at its own corner, with the padded row length.
        const int columns = c.padded_width / c.side;
        for (size_t i = 0; i < grid.cells.count; ++i)
        {
            SCOPED_TRACE(testing::Message() << "cell texture " << i);
            const Texture* texture = grid.cells.data[i].texture;
            ASSERT_NE(nullptr, texture);
            EXPECT_EQ(c.side, texture->pixels.width);
            EXPECT_EQ(c.side, texture->pixels.height);
            EXPECT_EQ(c.padded_width, texture->pixels.row_length);
            EXPECT_FALSE(texture->pixels.owns);
            const u64 column = i % columns;
            const u64 row = i / columns;
            EXPECT_EQ(grid.padded.data + 3 * (column * c.side + static_cast<u64>(c.padded_width) * row * c.side),
                      texture->pixels.data);
            EXPECT_EQ(Texture::FILTER_LINEAR, texture->min_filter);
            EXPECT_EQ(Texture::FILTER_NEAREST, texture->mag_filter);
        }
        grid.Release();
        EXPECT_EQ(0u, grid.cells.count);
        EXPECT_EQ(nullptr, grid.padded.data);
        EXPECT_EQ(nullptr, grid.picture.data);
    }
}

TEST(TextureGridLayout, SameShapeAgainTouchesNothingAndBadSizesAreRefused)
{
    TextureGrid grid;
    ASSERT_TRUE(grid.Initialise(PIXELFORMAT_RGBA8, 100, 50));
    u8* padded = grid.padded.data;
    Texture* cell = grid.cells.data[0].texture;
    const i32 cell_id = cell->id;
    ASSERT_TRUE(grid.Initialise(PIXELFORMAT_RGBA8, 100, 50));
    EXPECT_EQ(padded, grid.padded.data);
    EXPECT_EQ(cell, grid.cells.data[0].texture);
    EXPECT_EQ(cell_id, grid.cells.data[0].texture->id);

    // A new shape builds new cells.
    ASSERT_TRUE(grid.Initialise(PIXELFORMAT_RGB8, 100, 50));
    EXPECT_NE(cell_id, grid.cells.data[0].texture->id);

    const struct
    {
        const char* name;
        pixelformat_t format;
        int width, height;
    } refused[] = {{"zero width", PIXELFORMAT_RGB8, 0, 10},
                   {"negative height", PIXELFORMAT_RGB8, 10, -1},
                   {"not a pixel format", static_cast<pixelformat_t>(0x12345), 10, 10}};
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(grid.Initialise(c.format, c.width, c.height));
        EXPECT_EQ(0u, grid.cells.count);
        EXPECT_EQ(nullptr, grid.padded.data);
    }
    grid.Release();
}

TEST(TextureGridLayout, FiltersReachEveryCellAndRaiseRevisions)
{
    GridLimit limit(64);
    TextureGrid grid;
    ASSERT_TRUE(grid.Initialise(PIXELFORMAT_L8, 100, 100));
    ASSERT_EQ(4u, grid.cells.count);
    grid.SetMinFilter(Texture::FILTER_LINEAR_MIPMAP_LINEAR);
    grid.SetMagFilter(Texture::FILTER_LINEAR);
    for (u64 i = 0; i < grid.cells.count; ++i)
    {
        EXPECT_EQ(Texture::FILTER_LINEAR_MIPMAP_LINEAR, grid.cells.data[i].texture->min_filter);
        EXPECT_EQ(Texture::FILTER_LINEAR, grid.cells.data[i].texture->mag_filter);
        EXPECT_EQ(3, grid.cells.data[i].texture->revision);
    }
    grid.Release();
}

TEST(TextureRecord, InitialiseReusesLargeEnoughPixels)
{
    Texture texture;
    EXPECT_EQ(1, texture.revision);
    EXPECT_EQ(Texture::FILTER_NOT_SET, texture.min_filter);
    ASSERT_TRUE(texture.Initialise(PIXELFORMAT_RGBA8, 16, 16));
    EXPECT_EQ(1024u, texture.pixels.size);
    EXPECT_EQ(Texture::FILTER_LINEAR, texture.min_filter);
    EXPECT_EQ(Texture::FILTER_NEAREST, texture.mag_filter);
    u8* data = texture.pixels.data;
    ASSERT_TRUE(texture.Initialise(PIXELFORMAT_RGB8, 8, 8)); // smaller: same block
    EXPECT_EQ(data, texture.pixels.data);
    EXPECT_EQ(192u, texture.pixels.size);
    EXPECT_EQ(1024u, texture.pixels.capacity);
    EXPECT_EQ(1, texture.revision); // filling is the caller's business

    EXPECT_FALSE(texture.Initialise(PIXELFORMAT_RGB8, 0, 8));
    EXPECT_EQ(8, texture.pixels.width);

    pixelbuffer_t empty;
    std::memset(&empty, 0, sizeof(empty));
    EXPECT_FALSE(texture.Initialise(empty));
    texture.Release();
    EXPECT_EQ(nullptr, texture.pixels.data);
    EXPECT_EQ(Texture::FILTER_NOT_SET, texture.mag_filter);
    texture.Release(); // safe twice
}

TEST(TextureRecord, TakingAnOwningBufferFreesItOnRelease)
{
    pixelbuffer_t pixels;
    std::memset(&pixels, 0, sizeof(pixels));
    ASSERT_TRUE(pixelbuffer_allocate(pixels, PIXELFORMAT_LA8, 4, 4));
    Texture texture;
    ASSERT_TRUE(texture.Initialise(PIXELFORMAT_RGBA8, 2, 2)); // replaced below, not leaked
    ASSERT_TRUE(texture.Initialise(pixels));
    EXPECT_EQ(pixels.data, texture.pixels.data);
    EXPECT_TRUE(texture.pixels.owns);
    texture.Release(); // LeakSanitizer reports the block if this did not free it
}

TEST(RenderTargetRecord, SameSizeKeepsTexturesNewSizeRebuilds)
{
    RenderTarget target;
    ASSERT_TRUE(target.Initialise(32, 16));
    EXPECT_EQ(PIXELFORMAT_RGBA8, target.colour.pixels.format);
    EXPECT_EQ(PIXELFORMAT_DEPTH32, target.depth.pixels.format);
    u8* colour = target.colour.pixels.data;
    ASSERT_TRUE(target.Initialise(32, 16));
    EXPECT_EQ(colour, target.colour.pixels.data);
    ASSERT_TRUE(target.Initialise(64, 64));
    EXPECT_EQ(64, target.depth.pixels.width);
    target.Release();
    EXPECT_EQ(nullptr, target.colour.pixels.data);
}

TEST(VertexFormatLayout, ElementsTakeOffsetsAndTheFinalStride)
{
    VertexFormat format;
    EXPECT_EQ(0u, format.stride);
    EXPECT_EQ(VertexElement::TYPE_NOT_SET, format.elements[0].type);
    EXPECT_EQ(-1, format.elements[0].stream);
    format.Begin();
    format.AddElement(3, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_IGNORED);
    format.AddElement(4, VertexElement::TYPE_UNSIGNED_BYTE, VertexElement::SEMANTIC_COLOUR);
    format.End();
    EXPECT_EQ(24u, format.stride);
    ASSERT_EQ(3u, format.num_elements);
    const struct
    {
        const char* name;
        i32 offset;
    } expected[] = {{"gl_Vertex", 0}, {"invalid", 12}, {"gl_Color", 20}};
    for (int i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(expected[i].name, format.elements[i].name.str);
        EXPECT_EQ(expected[i].offset, format.elements[i].offset);
        EXPECT_EQ(24, format.elements[i].stride);
        EXPECT_EQ(-1, format.elements[i].stream);
    }
    EXPECT_EQ(1, format.revision); // building leaves the revision alone
}

TEST(VertexFormatLayout, NamesBySemanticAndSixteenElementsAtMost)
{
    const struct
    {
        VertexElement::SemanticType semantic;
        const char* given;
        const char* expected;
    } cases[] = {
        {VertexElement::SEMANTIC_NORMAL, "ignored", "gl_Normal"},
        {VertexElement::SEMANTIC_TEXCOORD0, nullptr, "gl_MultiTexCoord0"},
        {VertexElement::SEMANTIC_GENERIC, "weight", "weight"},
        {VertexElement::SEMANTIC_GENERIC, nullptr, ""},
        {VertexElement::SEMANTIC_NOT_SET, "x", "invalid"},
    };
    VertexFormat format;
    format.Begin();
    for (const auto& c : cases)
        format.AddElement(1, VertexElement::TYPE_SHORT, c.semantic, c.given);
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        EXPECT_STREQ(cases[i].expected, format.elements[i].name.str) << "element " << i;

    format.Clear();
    for (int i = 0; i < 16; ++i)
        format.AddElement(1, VertexElement::TYPE_DOUBLE, VertexElement::SEMANTIC_GENERIC, "a");
    EXPECT_EQ(16u, format.num_elements);
    EXPECT_EQ(128u, format.stride);
    format.AddElement(4, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    EXPECT_EQ(16u, format.num_elements);
    EXPECT_EQ(128u, format.stride);
    format.Clear();
    EXPECT_EQ(0u, format.num_elements);
    EXPECT_EQ(0u, format.stride);
}

TEST(VertexFormatLayout, ComponentSizesByType)
{
    const struct
    {
        u32 type;
        int bytes;
    } cases[] = {{0x1400, 1}, {0x1401, 1}, {0x1402, 2}, {0x1403, 2}, {0x1404, 4}, {0x1405, 4}, {0x1406, 4},
                 {0x140A, 8}, {0x8035, 4}, {0x8367, 4}, {0x8368, 0}, {0x1407, 0}, {0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(c.bytes, vertexelement_type_size(c.type)) << std::hex << c.type;
}

TEST(BufferRecords, IndexAndVertexBuffersReuseWhatIsLargeEnough)
{
    IndexBuffer indices;
    ASSERT_TRUE(indices.Initialise(IndexBuffer::FORMAT_UNSIGNED_SHORT, 12));
    void* data = indices.data;
    ASSERT_TRUE(indices.Initialise(IndexBuffer::FORMAT_UNSIGNED_SHORT, 6));
    EXPECT_EQ(data, indices.data);
    EXPECT_EQ(12u, indices.count);
    ASSERT_TRUE(indices.Initialise(IndexBuffer::FORMAT_UNSIGNED_INT, 6));
    EXPECT_EQ(6u, indices.count);
    EXPECT_EQ(IndexBuffer::FORMAT_UNSIGNED_INT, indices.format);
    EXPECT_FALSE(indices.Initialise(IndexBuffer::FORMAT_NOT_SET, 6));
    EXPECT_EQ(nullptr, indices.data);
    indices.Release();

    VertexBuffer buffer;
    ASSERT_TRUE(buffer.Initialise(256));
    u8* bytes = buffer.data;
    buffer.dirty_offset = 16;
    buffer.dirty_size = 32;
    ASSERT_TRUE(buffer.Initialise(100));
    EXPECT_EQ(bytes, buffer.data);
    EXPECT_EQ(256u, buffer.capacity);
    EXPECT_EQ(0u, buffer.dirty_offset);
    EXPECT_EQ(0u, buffer.dirty_size);
    ASSERT_TRUE(buffer.Initialise(1000));
    EXPECT_EQ(1000u, buffer.capacity);
    buffer.Release();
    EXPECT_EQ(nullptr, buffer.data);
    buffer.Release();
}

TEST(BufferRecords, DrawBufferRingOfFreshBuffers)
{
    DrawBuffer ring;
    ASSERT_TRUE(ring.Initialise(64, 3));
    ASSERT_EQ(3u, ring.count);
    EXPECT_EQ(0u, ring.current);
    for (u64 i = 0; i < ring.count; ++i)
    {
        EXPECT_EQ(64u, ring.ring[i].buffer.capacity);
        EXPECT_EQ(0u, ring.ring[i].fill_offset);
        EXPECT_EQ(1, ring.ring[i].buffer.revision);
        if (i > 0)
        {
            EXPECT_NE(ring.ring[i - 1].buffer.id, ring.ring[i].buffer.id);
        }
    }
    ring.current = 2;
    ASSERT_TRUE(ring.Initialise(32, 2)); // rebuilt from scratch
    EXPECT_EQ(2u, ring.count);
    EXPECT_EQ(0u, ring.current);
    ring.Release();
    EXPECT_EQ(nullptr, ring.ring);
}

TEST(ProgramRecord, SourcesAreCopiedAndReleased)
{
    Program program;
    EXPECT_EQ(0u, program.vertex_source.length);
    EXPECT_TRUE(program.Initialise("void main() {}", nullptr));
    EXPECT_STREQ("void main() {}", program.vertex_source.str);
    EXPECT_EQ(0u, program.fragment_source.length);
    EXPECT_TRUE(program.Initialise("", "void main() { gl_FragColor = vec4(1.0); }"));
    EXPECT_EQ(0u, program.vertex_source.length);
    EXPECT_STREQ("void main() { gl_FragColor = vec4(1.0); }", program.fragment_source.str);
    program.Release();
    EXPECT_EQ(0u, program.fragment_source.length);
}
