// The font service through a real "LOAD" thread: sizes and metrics of
// DejaVu Sans from the resources folder, the atlas cells against FreeType's
// own rendering of the same glyphs, counted references, failures that reach
// the client as null, and loads and unloads repeated until nothing is left.
#include "load_fixture.h"

#include "orvo/core/core_folders.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
const char* kFont = "DejaVuSans.ttf";

using Answers = load_test::Answers<font_t>;

class FontService : public load_test::LoadThread
{
protected:
    void SetUp() override
    {
        LoadThread::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(font_client_initialise(client, &answers, &Answers::Load, &Answers::Unload));
        client_ready = true;
    }

    void TearDown() override
    {
        if (client_ready)
            font_client_release(client);
        LoadThread::TearDown();
    }

    font_t* Load(const char* name, int size)
    {
        const size_t before = answers.loads.size();
        const int request = font_client_load(client, string_make(name), size);
        EXPECT_GE(request, 0);
        EXPECT_TRUE(PumpUntil([&] { return answers.loads.size() > before; }));
        if (answers.loads.size() <= before)
            return nullptr;
        EXPECT_EQ(answers.loads.back().first, request);
        return answers.loads.back().second;
    }

    void Unload(const font_t* font)
    {
        const size_t before = answers.unloads.size();
        const int request = font_client_unload(client, font);
        ASSERT_GE(request, 0);
        ASSERT_TRUE(PumpUntil([&] { return answers.unloads.size() > before; }));
        EXPECT_EQ(answers.unloads.back(), request);
    }

    Answers answers;
    font_client_t client{};
    bool client_ready = false;
};

// FreeType's own rendering of one character at the size, straight from the
// font file that the build placed in the resources folder.
struct ReferenceGlyph
{
    int rows = 0, width = 0, left = 0, top = 0, advance = 0;
    std::vector<unsigned char> pixels; // rows x width, packed
};

ReferenceGlyph RenderReference(int code, int points)
{
    ReferenceGlyph out;
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    if (FT_Init_FreeType(&library) != 0)
        return out;
    dirname_t folder;
    dirname_initialise(folder);
    dir_get_resource(folder);
    const std::string path = std::string(folder.path.str) + "/" + kFont;
    dirname_release(folder);
    if (FT_New_Face(library, path.c_str(), 0, &face) == 0 &&
        FT_Set_Char_Size(face, points * 64, points * 64, 96, 96) == 0 &&
        FT_Load_Char(face, FT_ULong(code), FT_LOAD_RENDER) == 0)
    {
        const FT_GlyphSlot slot = face->glyph;
        out.rows = int(slot->bitmap.rows);
        out.width = int(slot->bitmap.width);
        out.left = slot->bitmap_left;
        out.top = slot->bitmap_top;
        out.advance = int(slot->advance.x >> 6);
        for (int k = 0; k < out.rows; ++k)
            for (int j = 0; j < out.width; ++j)
                out.pixels.push_back(slot->bitmap.buffer[k * slot->bitmap.pitch + j]);
    }
    if (face)
        FT_Done_Face(face);
    FT_Done_FreeType(library);
    return out;
}
} // namespace

TEST(FontSizes, PixelSizeAndAtlasSide)
{
    struct Case
    {
        int points, pixels, side;
    };
    const Case cases[] = {{10, 14, 256}, {13, 18, 512}, {12, 16, 256}, {1, 2, 32}, {768, 1024, 16384}, {0, 0, 0},
                          {-4, 0, 0},    {769, 0, 0}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.points);
        i32 pixels = -1;
        i32 side = -1;
        font_compute_sizes(c.points, pixels, side);
        EXPECT_EQ(pixels, c.pixels);
        EXPECT_EQ(side, c.side);
    }
    float x = 0;
    float y = 0;
    font_get_dpi(x, y);
    EXPECT_EQ(x, 96.0f);
    EXPECT_EQ(y, 96.0f);
}

TEST_F(FontService, SizeTenAndThirteen)
{
    struct Case
    {
        int points, pixels, side;
    };
    for (const Case& c : {Case{10, 14, 256}, Case{13, 18, 512}})
    {
        SCOPED_TRACE(c.points);
        font_t* font = Load(kFont, c.points);
        ASSERT_NE(font, nullptr);
        EXPECT_EQ(font->point_size, c.points);
        EXPECT_EQ(font->pixel_size, c.pixels);
        EXPECT_EQ(font->atlas.pixels.format, PIXELFORMAT_LA8);
        EXPECT_EQ(font->atlas.pixels.width, c.side);
        EXPECT_EQ(font->atlas.pixels.height, c.side);
        EXPECT_EQ(font->atlas.min_filter, Texture::FILTER_NEAREST);
        EXPECT_EQ(font->atlas.mag_filter, Texture::FILTER_NEAREST);
        EXPECT_GT(font->atlas.revision, 1); // marked for upload
        EXPECT_EQ(std::string(font->key.str), std::string(kFont) + ":" + std::to_string(c.points));
        EXPECT_EQ(std::string(font->name.str), kFont);
        EXPECT_TRUE(log.Contains("Generated font in "));
        Unload(font);
    }
}

TEST_F(FontService, TheCellOfAMatchesFreeTypesOwnRendering)
{
    font_t* font = Load(kFont, 10);
    ASSERT_NE(font, nullptr);
    const int p = font->pixel_size;
    const float s = float(font->atlas.pixels.width);
    const font_glyph_t& a = font->glyphs[65];
    // 65 mod 16 = 1 and 65 div 16 = 4: the cell at column 14, row 56.
    EXPECT_FLOAT_EQ(a.texcoord[0], 14.0f / 256.0f);
    EXPECT_FLOAT_EQ(a.texcoord[3], 56.0f / 256.0f);

    const ReferenceGlyph reference = RenderReference(65, 10);
    ASSERT_GT(reference.rows, 0);
    const int rows = std::min(reference.rows, p);
    const int cols = std::min(reference.width, p);
    EXPECT_EQ(a.advance, reference.advance);
    EXPECT_FLOAT_EQ(a.texcoord[2] - a.texcoord[0], float(cols) / s);
    EXPECT_FLOAT_EQ(a.texcoord[1] - a.texcoord[3], float(rows) / s);
    EXPECT_FLOAT_EQ(a.position[0], float(reference.left));
    EXPECT_FLOAT_EQ(a.position[2] - a.position[0], float(cols));
    EXPECT_FLOAT_EQ(a.position[3] - a.position[1], float(rows));
    // Its bottom sits on the baseline after the shift.
    EXPECT_FLOAT_EQ(a.position[1], float(font->baseline + reference.top - rows));

    const pixelbuffer_t& atlas = font->atlas.pixels;
    for (int k = 0; k < p; ++k)
        for (int j = 0; j < p; ++j)
        {
            const u8* texel = atlas.data + (u64(56 + k) * atlas.row_length + 14 + j) * 2;
            const u8 coverage = (k < rows && j < cols) ? reference.pixels[k * reference.width + j] : 0;
            ASSERT_EQ(texel[1], coverage) << "alpha at " << j << "," << k;
            ASSERT_EQ(texel[0], coverage ? 255 : 0) << "luminance at " << j << "," << k;
        }
    Unload(font);
}

TEST_F(FontService, SpaceIsEmptyAndTheLowestGlyphTouchesZero)
{
    font_t* font = Load(kFont, 10);
    ASSERT_NE(font, nullptr);
    const font_glyph_t& space = font->glyphs[' '];
    EXPECT_EQ(space.position[0], space.position[2]);
    EXPECT_EQ(space.position[1], space.position[3]);
    EXPECT_GT(space.advance, 0);

    float lowest = 1e9f;
    for (const font_glyph_t& glyph : font->glyphs)
        lowest = std::min(lowest, glyph.position[1]);
    EXPECT_EQ(lowest, 0.0f);
    // A descender reaches below the baseline; a flat capital stands on it.
    EXPECT_GT(font->baseline, 0);
    EXPECT_LT(font->glyphs['g'].position[1], float(font->baseline));
    EXPECT_EQ(font->glyphs['H'].position[1], float(font->baseline));
    EXPECT_LE(font->baseline, font->pixel_size);
    Unload(font);
}

TEST_F(FontService, LoadsAreCountedPerNameAndSize)
{
    font_t* first = Load(kFont, 10);
    font_t* second = Load(kFont, 10);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(font_manager_count(Fonts(), first), 2);
    EXPECT_EQ(log.Count("Generated font in "), 1u);
    EXPECT_TRUE(log.Contains("Font retrieved from cache: DejaVuSans.ttf:10"));

    font_t* other = Load(kFont, 12);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, first);
    EXPECT_EQ(font_manager_num_fonts(Fonts()), 2u);

    Unload(first);
    EXPECT_EQ(font_manager_count(Fonts(), first), 1);
    EXPECT_FALSE(log.Contains("Font removed from cache: DejaVuSans.ttf:10"));
    Unload(first);
    EXPECT_TRUE(log.Contains("Font removed from cache: DejaVuSans.ttf:10"));
    Unload(other);
    EXPECT_EQ(font_manager_num_fonts(Fonts()), 0u);
}

TEST_F(FontService, FailuresReachTheClientAsNull)
{
    struct Case
    {
        const char* name;
        int size;
        const char* logged;
    };
    const Case cases[] = {
        {"NoSuchFont.ttf", 10, "Failed to load font"},
        {"../resources/DejaVuSans.ttf", 10, "Failed to load font"}, // names stay inside the folder
        {"", 10, "Failed to load font"},
        {kFont, 0, "Failed to create font texture"},
        {kFont, 100000, "Failed to create font texture"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.name) + ":" + std::to_string(c.size));
        log.Clear();
        EXPECT_EQ(Load(c.name, c.size), nullptr);
        EXPECT_TRUE(log.Contains(c.logged));
    }
    EXPECT_EQ(font_manager_num_fonts(Fonts()), 0u);
    EXPECT_EQ(font_client_unload(client, nullptr), -1);
}

TEST_F(FontService, AStaleUnloadIsLoggedAndIgnored)
{
    font_t* font = Load(kFont, 11);
    ASSERT_NE(font, nullptr);
    Unload(font); // freed here
    log.Clear();
    Unload(font); // must not read the freed record (AddressSanitizer)
    EXPECT_TRUE(log.Contains("Unloaded font does not exist in cache"));
    EXPECT_EQ(font_manager_num_fonts(Fonts()), 0u);
}

TEST_F(FontService, RepeatedLoadAndUnloadLeavesNothing)
{
    // Every round builds the font anew and frees it with its face and bytes;
    // LeakSanitizer fails the test on anything left over.
    for (int round = 0; round < 6; ++round)
    {
        answers.loads.clear();
        answers.unloads.clear();
        for (int size : {8, 9, 8})
            ASSERT_GE(font_client_load(client, string_make(kFont), size), 0);
        ASSERT_TRUE(PumpUntil([&] { return answers.loads.size() == 3; }));
        for (const auto& answer : answers.loads)
        {
            ASSERT_NE(answer.second, nullptr);
            ASSERT_GE(font_client_unload(client, answer.second), 0);
        }
        ASSERT_TRUE(PumpUntil([&] { return answers.unloads.size() == 3; }));
        ASSERT_EQ(font_manager_num_fonts(Fonts()), 0u);
    }
    EXPECT_EQ(log.Count("Generated font in "), 12u);
    // One left cached: the thread's stop frees it.
    ASSERT_NE(Load(kFont, 10), nullptr);
}

namespace
{
std::atomic<int> faces_ended{0};

// FreeType calls a face's finalizer when the face itself is destroyed.
void on_face_done(void* object)
{
    FT_Face face = static_cast<FT_Face>(object);
    static_cast<std::atomic<int>*>(face->generic.data)->fetch_add(1);
}
} // namespace

TEST_F(FontService, TheLastUnloadEndsTheFreeTypeFace)
{
    font_t* font = Load(kFont, 10);
    ASSERT_NE(font, nullptr);
    ASSERT_NE(Load(kFont, 10), nullptr);
    // The answers ordered these reads and writes after the LOAD thread's.
    font_manager_entry_t* entry = hashtable_find(Fonts().cache, font->key.str);
    ASSERT_NE(entry, nullptr);
    ASSERT_NE(entry->face, nullptr);
    faces_ended = 0;
    entry->face->generic.data = &faces_ended;
    entry->face->generic.finalizer = on_face_done;

    Unload(font);
    EXPECT_EQ(faces_ended.load(), 0); // still referenced
    Unload(font);
    // Ended at the unload, not left for FreeType's own end at shut-down.
    EXPECT_EQ(faces_ended.load(), 1);
}

TEST_F(FontService, RequestsWithoutTheirFieldsAreAnsweredWithNull)
{
    struct Case
    {
        const char* why;
        int request_type;
        bool name, size;
        std::vector<u8> pointer; // a MemoryPtr of these bytes, when not empty
    };
    const Case cases[] = {
        {"load without FontSize", 0, true, false, {}},
        {"load without FontName", 0, false, true, {}},
        {"unload with a 4-byte pointer", 1, false, false, {1, 2, 3, 4}},
        {"unload without MemoryPtr", 1, false, false, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        msgbuilder_t& b = client.client.builder;
        msgbuilder_reset(b);
        ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_FONT_CLIENT_MSG));
        ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_REQUEST_TYPE, c.request_type));
        if (c.name)
        {
            ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_FONT_NAME, string_make(kFont)));
        }
        if (c.size)
        {
            ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_FONT_SIZE, 10));
        }
        if (!c.pointer.empty())
        {
            ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_MEMORY_PTR, c.pointer.data(), c.pointer.size()));
        }
        answers.loads.clear();
        answers.unloads.clear();
        const int request = msgclient_send(client.client, msgbuilder_end(b));
        ASSERT_GE(request, 0);
        ASSERT_TRUE(PumpUntil([&] { return !msgclient_pending(client.client); }));
        if (c.request_type == 0)
        {
            // The ErrorMsg reaches the load callback as a null font.
            ASSERT_EQ(answers.loads.size(), 1u);
            EXPECT_EQ(answers.loads[0].first, request);
            EXPECT_EQ(answers.loads[0].second, nullptr);
        }
        else
        {
            // An unload is announced whatever its result.
            ASSERT_EQ(answers.unloads.size(), 1u);
            EXPECT_EQ(answers.unloads[0], request);
        }
    }
    EXPECT_EQ(font_manager_num_fonts(Fonts()), 0u);
    EXPECT_EQ(log.Count("Failed to handle request msg"), 0u);
}
