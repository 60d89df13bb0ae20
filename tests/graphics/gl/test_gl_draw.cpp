// Drawing through the device with each function set: texture-grid cells in
// place, stream geometry (client arrays or buffer objects), 16-bit grey
// pictures, uploads once per revision, clear values sent once, statistics.
#include "gl_fixture.h"

#include <cstring>

using namespace orvo;
using namespace graphics_test;

namespace
{
// The colour the grid test paints at picture pixel (x, y from the top): one
// colour per 64-pixel block, so each cell and its neighbours differ.
Colour BlockColour(int x, int y)
{
    return Colour{30 + 50 * (x / 64), 20 + 40 * (y / 64), 200 - 30 * ((x / 64 + y / 64) % 4), 255};
}

void FillGridPicture(TextureGrid& grid)
{
    const pixelbuffer_t& picture = grid.picture;
    for (int y = 0; y < picture.height; ++y)
    {
        for (int x = 0; x < picture.width; ++x)
        {
            u8* pixel = picture.data + (static_cast<u64>(y) * picture.row_length + x) * 3;
            Colour colour = BlockColour(x, y);
            pixel[0] = static_cast<u8>(colour.r);
            pixel[1] = static_cast<u8>(colour.g);
            pixel[2] = static_cast<u8>(colour.b);
        }
    }
}
} // namespace

TEST_F(GlTest, TextureGridCellsDrawInPlace)
{
    // A picture larger than one cell: 300 x 200 in cells of 128 gives 3 x 2.
    const i32 saved = TextureGrid::MaxTextureSize;
    TextureGrid::MaxTextureSize = 128;
    TextureGrid grid;
    ASSERT_TRUE(grid.Initialise(PIXELFORMAT_RGB8, 300, 200));
    TextureGrid::MaxTextureSize = saved;
    ASSERT_EQ(6u, grid.cells.count);
    FillGridPicture(grid);

    const float left = 10;
    const float bottom = 20;
    QuadBatch quads;
    ASSERT_TRUE(quads.Initialise(static_cast<int>(grid.cells.count)));
    for (u64 i = 0; i < grid.cells.count; ++i)
    {
        const TextureGridCell& cell = grid.cells.data[i];
        quads.Add(left + cell.x, bottom + cell.y, left + cell.x + cell.width, bottom + cell.y + cell.height, cell.u,
                  cell.v);
    }
    quads.Commit();

    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 0);
    for (u64 i = 0; i < grid.cells.count; ++i)
        quads.Draw(view.device, static_cast<int>(i), grid.cells.data[i].texture);

    // Probes a few pixels inside every 64-pixel block of the picture, which
    // covers every cell, its seams and the clipped last row and column.
    for (int py = 2; py < 200; py += 32)
    {
        for (int px = 2; px < 300; px += 32)
        {
            SCOPED_TRACE(testing::Message() << "picture pixel " << px << ", " << py);
            const int wx = static_cast<int>(left) + px;
            const int wy = static_cast<int>(bottom) + (200 - 1 - py);
            EXPECT_TRUE(ColourNear(view.Probe(wx, wy), BlockColour(px, py)));
        }
    }
    // Just outside each edge of the picture: the clear colour, not padding.
    const Colour black = {0, 0, 0, 255};
    EXPECT_TRUE(ColourNear(view.Probe(static_cast<int>(left) - 2, 100), black));
    EXPECT_TRUE(ColourNear(view.Probe(static_cast<int>(left) + 301, 100), black));
    EXPECT_TRUE(ColourNear(view.Probe(100, static_cast<int>(bottom) - 2), black));
    EXPECT_TRUE(ColourNear(view.Probe(100, static_cast<int>(bottom) + 201), black));

    EXPECT_EQ(6u, view.device.statistics.draws);
    EXPECT_EQ(6u, view.device.statistics.primitives);
    // Every cell uploaded once, 128 x 128 RGB texels each.
    EXPECT_EQ(6u * 128 * 128 * 3, view.device.statistics.uploaded_bytes);
    view.device.UpdateEnd();

    quads.Release();
    grid.Release();
}

TEST_F(GlTest, StreamGeometryDrawsColouredTriangles)
{
    // Position (2 floats), a skipped element (2 floats), colour (4 bytes).
    VertexFormat format;
    format.Begin();
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_IGNORED);
    format.AddElement(4, VertexElement::TYPE_UNSIGNED_BYTE, VertexElement::SEMANTIC_COLOUR);
    format.End();
    ASSERT_EQ(20u, format.stride);

    struct Vertex
    {
        float x, y;
        float skipped[2];
        u8 rgba[4];
    };
    static_assert(sizeof(Vertex) == 20, "vertex layout");
    // Two squares as triangles: red at 20..80, green at 120..180 (indexed).
    const Vertex vertices[] = {
        {20, 20, {9, 9}, {255, 0, 0, 255}},   {80, 20, {9, 9}, {255, 0, 0, 255}},
        {80, 80, {9, 9}, {255, 0, 0, 255}},   {20, 20, {9, 9}, {255, 0, 0, 255}},
        {80, 80, {9, 9}, {255, 0, 0, 255}},   {20, 80, {9, 9}, {255, 0, 0, 255}},
        {120, 20, {9, 9}, {0, 255, 0, 255}},  {180, 20, {9, 9}, {0, 255, 0, 255}},
        {180, 80, {9, 9}, {0, 255, 0, 255}},  {120, 80, {9, 9}, {0, 255, 0, 255}},
    };
    VertexBuffer buffer;
    ASSERT_TRUE(buffer.Initialise(sizeof(vertices)));
    std::memcpy(buffer.data, vertices, sizeof(vertices));
    buffer.dirty_offset = 0;
    buffer.dirty_size = sizeof(vertices);
    ++buffer.revision;

    IndexBuffer indices;
    ASSERT_TRUE(indices.Initialise(IndexBuffer::FORMAT_UNSIGNED_SHORT, 6));
    const u16 quad[6] = {6, 7, 8, 6, 8, 9};
    std::memcpy(indices.data, quad, sizeof(quad));

    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 0);
    view.device.SetVertexStream(buffer, format);
    view.device.Draw(DrawOptions{PRIMITIVE_TRIANGLES, 6, 0, false});
    view.device.SetVertexStream(buffer, format);
    view.device.SetIndexBuffer(indices);
    view.device.Draw(DrawOptions{PRIMITIVE_TRIANGLES, 6, 0, true});

    const Colour red = {255, 0, 0, 255};
    const Colour green = {0, 255, 0, 255};
    const Colour black = {0, 0, 0, 255};
    EXPECT_TRUE(ColourNear(view.Probe(50, 50), red));
    EXPECT_TRUE(ColourNear(view.Probe(22, 22), red));
    EXPECT_TRUE(ColourNear(view.Probe(78, 78), red));
    EXPECT_TRUE(ColourNear(view.Probe(150, 50), green));
    EXPECT_TRUE(ColourNear(view.Probe(18, 50), black));
    EXPECT_TRUE(ColourNear(view.Probe(82, 50), black));
    EXPECT_TRUE(ColourNear(view.Probe(150, 82), black));
    EXPECT_TRUE(ColourNear(view.Probe(182, 50), black));
    EXPECT_EQ(2u, view.device.statistics.draws);
    EXPECT_EQ(4u, view.device.statistics.primitives);

    // A draw past its index buffer or its vertices is refused before OpenGL
    // reads foreign memory; the refusal still forgets the streams.
    view.device.SetVertexStream(buffer, format);
    view.device.SetIndexBuffer(indices);
    view.device.Draw(DrawOptions{PRIMITIVE_TRIANGLES, 9, 0, true});
    view.device.SetVertexStream(buffer, format);
    view.device.Draw(DrawOptions{PRIMITIVE_TRIANGLES, 6, 6, false});
    view.device.Draw(DrawOptions{PRIMITIVE_TRIANGLES, 3, 0, true});
    EXPECT_EQ(2u, view.device.statistics.draws);
    EXPECT_EQ(3u, log.Count("Draw refused"));
    EXPECT_EQ(0, view.device.state.num_streams);
    EXPECT_EQ(nullptr, view.device.state.index_buffer);
    view.device.UpdateEnd();

    buffer.Release();
    indices.Release();
}

TEST_F(GlTest, SixteenBitGreyPicturesDraw)
{
    // L16 and LA16 pictures: grey 0x8080 (and full alpha) must reach the frame.
    struct Case
    {
        const char* name;
        pixelformat_t format;
        int channels;
    };
    const Case cases[] = {{"L16", PIXELFORMAT_L16, 1}, {"LA16", PIXELFORMAT_LA16, 2}};
    Texture textures[2];
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_TRUE(textures[i].Initialise(cases[i].format, 8, 8));
        u16* values = reinterpret_cast<u16*>(textures[i].pixels.data);
        for (int p = 0; p < 64; ++p)
        {
            values[p * cases[i].channels] = 0x8080;
            if (cases[i].channels == 2)
                values[p * 2 + 1] = 0xffff;
        }
        ++textures[i].revision;
    }
    QuadBatch quads;
    ASSERT_TRUE(quads.Initialise(2));
    quads.Add(20, 20, 60, 60);
    quads.Add(100, 20, 140, 60);
    quads.Commit();

    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 1);
    quads.Draw(view.device, 0, &textures[0]);
    quads.Draw(view.device, 1, &textures[1]);
    const Colour grey = {128, 128, 128, 255};
    const Colour blue = {0, 0, 255, 255};
    for (int i = 0; i < 2; ++i)
    {
        SCOPED_TRACE(cases[i].name);
        const int x = 20 + 80 * i;
        EXPECT_TRUE(ColourNear(view.Probe(x + 20, 40), grey));
        EXPECT_TRUE(ColourNear(view.Probe(x - 2, 40), blue));
        EXPECT_TRUE(ColourNear(view.Probe(x + 42, 40), blue));
    }
    view.device.UpdateEnd();
    EXPECT_EQ(0u, log.Count("no pixels of a format OpenGL takes"));

    quads.Release();
    textures[0].Release();
    textures[1].Release();
}

TEST_F(GlTest, TexturesUploadOncePerRevision)
{
    Texture texture;
    ASSERT_TRUE(FillTexture(texture, 16, 16, Colour{200, 40, 40, 255}));
    QuadBatch quads;
    ASSERT_TRUE(quads.Initialise(1));
    quads.Add(40, 40, 80, 80);
    quads.Commit();
    const u64 bytes = 16 * 16 * 4;

    auto draw_frame = [&]() {
        EXPECT_TRUE(view.Begin());
        view.ClearTo(0, 0, 0);
        quads.Draw(view.device, 0, &texture);
        quads.Draw(view.device, 0, &texture);
        Colour seen = view.Probe(60, 60);
        view.device.UpdateEnd();
        return seen;
    };

    EXPECT_TRUE(ColourNear(draw_frame(), Colour{200, 40, 40, 255}));
    EXPECT_EQ(bytes, view.device.statistics.uploaded_bytes);
    EXPECT_EQ(2 * bytes, view.device.statistics.used_bytes);

    // New pixels without a new revision: the context keeps its copy.
    for (u64 i = 0; i < bytes; i += 4)
    {
        const u8 grey[4] = {16, 16, 16, 255};
        std::memcpy(texture.pixels.data + i, grey, 4);
    }
    EXPECT_TRUE(ColourNear(draw_frame(), Colour{200, 40, 40, 255}));
    EXPECT_EQ(bytes, view.device.statistics.uploaded_bytes);

    // The owner raises the revision: one more upload, the new pixels show.
    ++texture.revision;
    EXPECT_TRUE(ColourNear(draw_frame(), Colour{16, 16, 16, 255}));
    EXPECT_EQ(2 * bytes, view.device.statistics.uploaded_bytes);

    // A second context uploads its own copy once, the first none again.
    TestView other;
    ASSERT_TRUE(other.Open(kWidth, kHeight));
    ASSERT_TRUE(other.Begin());
    other.ClearTo(0, 0, 0);
    quads.Draw(other.device, 0, &texture);
    quads.Draw(other.device, 0, &texture);
    EXPECT_TRUE(ColourNear(other.Probe(60, 60), Colour{16, 16, 16, 255}));
    other.device.UpdateEnd();
    EXPECT_EQ(bytes, other.device.statistics.uploaded_bytes);
    EXPECT_EQ(2u, texture.instances.count);
    other.Close();

    view.MakeCurrent();
    EXPECT_TRUE(ColourNear(draw_frame(), Colour{16, 16, 16, 255}));
    EXPECT_EQ(2 * bytes, view.device.statistics.uploaded_bytes);
    quads.Release();
    texture.Release();
}

TEST_F(GlDeviceTest, UnchangedClearValuesAreSentOnce)
{
    ASSERT_TRUE(view.Begin());
    const ClearOptions red = {CLEAR_COLOUR_BIT | CLEAR_DEPTH_BIT, 1, 0, 0, 1, 0.25f, 0};
    view.device.Clear(red);
    EXPECT_TRUE(ColourNear(view.Probe(5, 5), Colour{255, 0, 0, 255}));

    // Values changed behind the device's back survive a clear with the
    // options it already sent, including ones that differ by 1e-8.
    glClearColor(0, 1, 0, 1);
    glClearDepth(1.0);
    ClearOptions nearly = red;
    nearly.red -= 1e-8f;
    nearly.alpha -= 1e-8f;
    view.device.Clear(nearly);
    EXPECT_TRUE(ColourNear(view.Probe(5, 5), Colour{0, 255, 0, 255}));
    float depth = 0;
    glReadPixels(5, 5, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
    EXPECT_NEAR(1.0f, depth, 1e-3f);

    // A new colour and depth are sent.
    const ClearOptions blue = {CLEAR_COLOUR_BIT | CLEAR_DEPTH_BIT, 0, 0, 1, 1, 0.5f, 0};
    view.device.Clear(blue);
    EXPECT_TRUE(ColourNear(view.Probe(5, 5), Colour{0, 0, 255, 255}));
    glReadPixels(5, 5, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
    EXPECT_NEAR(0.5f, depth, 1e-3f);
    view.device.UpdateEnd();
}

TEST_F(GlDeviceTest, WindowSizeCountsFromTheNextFrame)
{
    scope_variable_t* size = view.device.state.size_variable;
    ASSERT_NE(nullptr, size);
    view.device.Resize(200, 100);
    ASSERT_TRUE(view.device.UpdateBegin());
    GLint viewport[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(kWidth, viewport[2]);
    EXPECT_EQ(kHeight, viewport[3]);
    view.device.UpdateEnd();

    ASSERT_TRUE(view.device.UpdateBegin());
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(200, viewport[2]);
    EXPECT_EQ(100, viewport[3]);
    const float* floats = static_cast<const float*>(size->data);
    EXPECT_EQ(200.0f, floats[0]);
    EXPECT_EQ(100.0f, floats[1]);
    view.device.UpdateEnd();
}

TEST_F(GlTest, MipmapFiltersBySet)
{
    // From 1.4 OpenGL builds the mipmaps of a linear-mipmap texture from the
    // upload; 1.1 cannot and filters it linearly instead.
    Texture texture;
    ASSERT_TRUE(FillTexture(texture, 16, 16, Colour{90, 90, 90, 255}));
    texture.min_filter = Texture::FILTER_LINEAR_MIPMAP_LINEAR;
    ASSERT_TRUE(view.Begin());
    ASSERT_TRUE(view.device.PrepareTexture(texture));
    GLint min_filter = 0;
    GLint generate = -1;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &min_filter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_GENERATE_MIPMAP, &generate);
    view.device.UpdateEnd();
    if (AtLeast(OPENGL_SET_1_4))
    {
        EXPECT_EQ(GL_LINEAR_MIPMAP_LINEAR, min_filter);
        EXPECT_EQ(GL_TRUE, generate);
    }
    else
    {
        EXPECT_EQ(GL_LINEAR, min_filter);
        EXPECT_EQ(GL_FALSE, generate);
    }
    texture.Release();
}

TEST_F(GlTest, StartedDeviceReportsItsLimitsToTextureGrids)
{
    const i32 saved = TextureGrid::MaxTextureSize;
    TextureGrid::SetDeviceCapabilities(view.device);
    GLint reported = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &reported);
    EXPECT_EQ(reported, view.device.max_texture_size); // llvmpipe is not held to 4096
    EXPECT_EQ(view.device.max_texture_size, TextureGrid::MaxTextureSize);
    EXPECT_EQ(view.device.HasCapability(OpenGLContext::CAPABILITY_ARB_TEXTURE_NON_POWER_OF_TWO),
              TextureGrid::IsNPOTSupported);
    EXPECT_EQ(1u, log.Count("TextureGrid max cell size: "));
    TextureGrid::MaxTextureSize = saved;

    // Shader attribute flags exist from 2.0, fresh at every start.
    if (AtLeast(OPENGL_SET_2_0))
    {
        EXPECT_GT(view.device.max_vertex_attributes, 0);
        ASSERT_NE(nullptr, view.device.attribute_flags);
        view.device.attribute_flags[0] = 1; // as if a draw had left it enabled
        ASSERT_TRUE(view.device.Start());
        ASSERT_NE(nullptr, view.device.attribute_flags);
        EXPECT_EQ(0, view.device.attribute_flags[0]);
    }
    else
    {
        EXPECT_EQ(nullptr, view.device.attribute_flags);
    }
}

TEST_F(GlTest, ElementsWithoutAProgramFeedOnlyWhatTheyCan)
{
    // Without a program a generic attribute has nowhere to go (logged, fed
    // nothing) and texture coordinates need a texture in slot 0; the
    // positions still draw the quad, untextured and white.
    VertexFormat format;
    format.Begin();
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_TEXCOORD0);
    format.AddElement(1, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_GENERIC, "weight");
    format.End();
    const float vertices[20] = {20, 20, 0, 0, 5, 60, 20, 1, 0, 5, 60, 60, 1, 1, 5, 20, 60, 0, 1, 5};
    VertexBuffer buffer;
    ASSERT_TRUE(buffer.Initialise(sizeof(vertices)));
    std::memcpy(buffer.data, vertices, sizeof(vertices));
    buffer.dirty_size = sizeof(vertices);
    ++buffer.revision;

    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 0);
    view.device.UnsetTexture(0);
    view.device.SetVertexStream(buffer, format);
    view.device.Draw(DrawOptions{PRIMITIVE_QUADS, 4, 0, false});
    EXPECT_TRUE(ColourNear(view.Probe(40, 40), Colour{255, 255, 255, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(62, 40), Colour{0, 0, 0, 255}));
    view.device.UpdateEnd();
    EXPECT_EQ(1u, log.Count("Unhandled VertexElement: weight"));
    EXPECT_EQ(0u, view.device.statistics.used_bytes);
    buffer.Release();
}
