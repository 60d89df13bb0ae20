// Building a font atlas (DejaVu Sans at 10 points, 256 glyphs into one LA8
// texture, from the file in the resources folder) beside FreeType rendering
// the same 256 glyphs directly from the same bytes in the same run. Goal: the
// atlas within 1.5x of FreeType's own rendering.
#include "orvo/core/core_file.h"
#include "orvo/core/core_folders.h"
#include "orvo/core/core_log.h"
#include "orvo/graphics/graphics_font.h"

#include <benchmark/benchmark.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <string>

using namespace orvo;

namespace
{
const char* kFont = "DejaVuSans.ttf";
const int kPoints = 10;

void discard(const string_t&, void*)
{
}

std::string font_path()
{
    dirname_t folder;
    dirname_initialise(folder);
    dir_get_resource(folder);
    std::string path = std::string(folder.path.str) + "/" + kFont;
    dirname_release(folder);
    return path;
}

void BM_FontAtlas(benchmark::State& state)
{
    font_manager_t manager;
    font_manager_initialise(manager);
    // One untimed build first: the reference below also runs warm.
    font_manager_unload(manager, font_manager_load(manager, string_make(kFont), kPoints));
    for (auto _ : state)
    {
        font_t* font = font_manager_load(manager, string_make(kFont), kPoints);
        if (!font)
        {
            state.SkipWithError("the font could not be built: is resources/DejaVuSans.ttf beside the program?");
            break;
        }
        font_manager_unload(manager, font); // the last reference: the next load builds again
    }
    font_manager_release(manager);
    state.SetItemsProcessed(state.iterations() * FONT_NUM_GLYPHS);
}

// Reference: read the file, open the face and render every glyph.
void BM_FreeTypeDirect(benchmark::State& state)
{
    FT_Library library = nullptr;
    FT_Init_FreeType(&library);
    const std::string path = font_path();
    for (auto _ : state)
    {
        filecontents_t file;
        filecontents_initialise(file);
        FT_Face face = nullptr;
        if (!filecontents_load(file, string_make(path.c_str())) ||
            FT_New_Memory_Face(library, file.buffer.data, FT_Long(file.buffer.num_bytes), 0, &face) != 0)
        {
            state.SkipWithError("the font file could not be opened");
            filecontents_release(file);
            break;
        }
        FT_Set_Char_Size(face, kPoints * 64, kPoints * 64, 96, 96);
        for (FT_ULong c = 0; c < FT_ULong(FONT_NUM_GLYPHS); ++c)
        {
            FT_Load_Char(face, c, FT_LOAD_RENDER);
            benchmark::DoNotOptimize(face->glyph->bitmap.buffer);
        }
        FT_Done_Face(face);
        filecontents_release(file);
    }
    FT_Done_FreeType(library);
    state.SetItemsProcessed(state.iterations() * FONT_NUM_GLYPHS);
}
} // namespace

BENCHMARK(BM_FontAtlas)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FreeTypeDirect)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    log_open();
    log_set_handler(discard, nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    log_close();
    return 0;
}
