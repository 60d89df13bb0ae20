// Glyph atlases for text on the OpenGL display. A font_t is one font file of
// the resources folder rasterised by FreeType at one point size: characters
// 0 to 255 in a 16 x 16 grid of square cells of one LA8 texture, and a metrics
// record per character. The font manager builds fonts and caches them by
// name and size with a reference count; it runs only on the "LOAD" thread
// (graphics_fontservice.h), and the interface thread only reads the fonts it
// is handed. The atlas's OpenGL copies are made by the rendering device when
// the font is first drawn and go to the dispose lists when it is unloaded.
#pragma once

#include "orvo/core/core_file.h"
#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_stringid.h"
#include "orvo/graphics/graphics_texture.h"

// FreeType's handles, without its headers.
struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace orvo
{
const int FONT_NUM_GLYPHS = 256;
const int FONT_GRID = 16; // cells per row and per column of the atlas
const u64 FONT_CACHE_BUCKETS = 20;
const float FONT_DPI = 96.0f;
// Point sizes a font may be built at: the atlas of the largest (16 cells of
// 1024 pixels) is the largest texture the image size limit allows.
const int FONT_MIN_POINT_SIZE = 1;
const int FONT_MAX_POINT_SIZE = 768;

struct font_glyph_t
{
    i32 advance;          // whole pixels to move the pen
    float position[4];    // left, bottom, right, top in pixels; y up from the line's bottom
    float texcoord[4];    // u left, v bottom, u right, v top; v down from the atlas's top row
};

struct font_t
{
    stringid_t name; // the font file's name as requested
    stringid_t key;  // "%s:%d" of name and point size
    Texture atlas;   // LA8, square
    i32 point_size;
    i32 pixel_size;  // line height and cell side: ceil(points * 96 / 72)
    i32 baseline;    // pixels from the bottom of a line up to the baseline
    font_glyph_t glyphs[FONT_NUM_GLYPHS];
};

struct font_manager_entry_t
{
    font_t* font;          // owned
    i32 count;             // references handed out
    filecontents_t file;   // the font file's bytes; FreeType reads them while the face lives
    FT_FaceRec_* face;     // ended before the bytes are freed
};

// Entries are found by the address of the font's interned key.
template <>
struct container_traits<font_manager_entry_t>
{
    typedef const char* key_type;
    static key_type key(const font_manager_entry_t& entry) { return entry.font->key.str; }
    static int compare(key_type a, key_type b)
    {
        uintptr_t x = reinterpret_cast<uintptr_t>(a);
        uintptr_t y = reinterpret_cast<uintptr_t>(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    static u64 hash(key_type key) { return static_cast<u32>(reinterpret_cast<uintptr_t>(key)) >> 2; }
};

struct font_manager_t
{
    hashtable_t<font_manager_entry_t> cache;
    FT_LibraryRec_* library; // null until initialised
};

// --- the font record ------------------------------------------------------------
// Empty ids, every number and glyph zero; the atlas keeps its own state.
void font_initialise(font_t& font);
// Releases the two ids; the manager frees the atlas itself.
void font_release(font_t& font);
// The resolution fonts are rasterised at: (96, 96).
void font_get_dpi(float& x, float& y);
// Pixel size and atlas side for a point size (0, 0 outside the allowed sizes).
void font_compute_sizes(int point_size, i32& pixel_size, i32& atlas_side);

// --- the manager (the "LOAD" thread only) ----------------------------------------
// Starts FreeType and the cache; false (logged) when FreeType fails.
bool font_manager_initialise(font_manager_t& manager);
// Frees every cached font whatever its count, then ends FreeType. Safe twice.
void font_manager_release(font_manager_t& manager);
// The font of that name in the resources folder at that size, built on the
// first request and counted on each; null after the failing step's Error line.
font_t* font_manager_load(font_manager_t& manager, const string_t& name, int point_size);
// Drops one reference; the last frees the font, its face and its bytes. A
// pointer that is not a live font of this cache is logged and ignored
// without being read.
void font_manager_unload(font_manager_t& manager, const font_t* font);
// The count of a live font of this cache, 0 for anything else.
i32 font_manager_count(font_manager_t& manager, const font_t* font);
u64 font_manager_num_fonts(const font_manager_t& manager);
} // namespace orvo
