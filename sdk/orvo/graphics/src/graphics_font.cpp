// The font cache: FreeType rasterises the 256 characters of a font file into
// one LA8 atlas; fonts are cached by their interned "name:size" key. Each
// entry keeps the file's bytes and the FreeType face that reads them: the face
// is ended before the bytes are freed, and FreeType itself last.
#include "orvo/graphics/graphics_font.h"

#include "orvo/core/core_folders.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_time.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace orvo
{
namespace
{
// The entry holding this font pointer, found without reading the pointee:
// a stale pointer from a client must never be dereferenced.
font_manager_entry_t* find_entry_by_pointer(font_manager_t& manager, const font_t* font)
{
    if (!font)
        return nullptr;
    for (u64 b = 0; b < manager.cache.buckets.count; ++b)
    {
        vector_t<font_manager_entry_t>& bucket = manager.cache.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
            if (bucket.data[i].font == font)
                return &bucket.data[i];
    }
    return nullptr;
}

// Frees a font that is not (or no longer) in the cache: its atlas's OpenGL
// copies go to the dispose lists, then the pixels, the ids and the record.
void destroy_font(font_t* font)
{
    font->atlas.Release();
    font_release(*font);
    delete font;
}

// Ends the face before the bytes it reads are freed.
void free_face_and_file(FT_Face face, filecontents_t& file)
{
    if (face)
        FT_Done_Face(face);
    filecontents_release(file);
}

// Rasterises one character into its cell and fills its metrics; false after
// the FreeType failure is logged.
bool rasterise_glyph(FT_Face face, font_t& font, int c, i32 p, i32 side)
{
    FT_Error error = FT_Load_Char(face, static_cast<FT_ULong>(c), FT_LOAD_DEFAULT);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to load font character: %d", error);
        return false;
    }
    FT_Glyph glyph = nullptr;
    error = FT_Get_Glyph(face->glyph, &glyph);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to load font glyph: %d", error);
        return false;
    }
    // The advance is 16.16 once the glyph is copied out of the slot.
    const i32 advance = static_cast<i32>(glyph->advance.x >> 16);
    error = FT_Glyph_To_Bitmap(&glyph, FT_RENDER_MODE_NORMAL, nullptr, 1);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to load font glyph: %d", error);
        FT_Done_Glyph(glyph);
        return false;
    }
    FT_BitmapGlyph bitmap_glyph = reinterpret_cast<FT_BitmapGlyph>(glyph);
    const FT_Bitmap& bitmap = bitmap_glyph->bitmap;

    const i32 cell_x = (c % FONT_GRID) * p;
    const i32 cell_y = (c / FONT_GRID) * p;
    // A bitmap larger than a cell keeps its top-left p x p pixels.
    const i32 rows = std::min(static_cast<i32>(bitmap.rows), p);
    const i32 cols = std::min(static_cast<i32>(bitmap.width), p);

    font_glyph_t& g = font.glyphs[c];
    g.advance = advance;
    g.position[0] = static_cast<float>(bitmap_glyph->left);
    g.position[1] = static_cast<float>(bitmap_glyph->top - rows);
    g.position[2] = g.position[0] + static_cast<float>(cols);
    g.position[3] = g.position[1] + static_cast<float>(rows);
    const float s = static_cast<float>(side);
    const float u_left = static_cast<float>(cell_x) / s;
    const float v_top = static_cast<float>(cell_y) / s;
    g.texcoord[0] = u_left;
    g.texcoord[1] = v_top + static_cast<float>(rows) / s;
    g.texcoord[2] = u_left + static_cast<float>(cols) / s;
    g.texcoord[3] = v_top;

    pixelbuffer_t& atlas = font.atlas.pixels;
    const i64 pitch = bitmap.pitch;
    for (i32 k = 0; k < rows; ++k)
    {
        // A negative pitch means the rows are stored bottom-up.
        const u8* source = pitch >= 0 ? bitmap.buffer + k * pitch
                                      : bitmap.buffer + (static_cast<i64>(bitmap.rows) - 1 - k) * -pitch;
        u8* target = atlas.data + (static_cast<u64>(cell_y + k) * atlas.row_length + cell_x) * 2;
        for (i32 j = 0; j < cols; ++j)
        {
            const u8 b = source[j];
            target[j * 2 + 0] = b ? 255 : 0;
            target[j * 2 + 1] = b;
        }
    }
    FT_Done_Glyph(glyph);
    return true;
}

// Lowers every glyph so that the lowest bottom is 0, and records the
// baseline as the distance it moved them.
void shift_to_baseline(font_t& font, i32 lowest_bottom)
{
    font.baseline = -lowest_bottom;
    for (int c = 0; c < FONT_NUM_GLYPHS; ++c)
    {
        font.glyphs[c].position[1] += static_cast<float>(font.baseline);
        font.glyphs[c].position[3] += static_cast<float>(font.baseline);
    }
}

// The font file's path in the resources folder; false for a name that is
// not one plain file name.
bool resource_path(const string_t& name, stringbuffer_t& path)
{
    if (name.length == 0 || memchr(name.str, '/', name.length) || memchr(name.str, 0, name.length) ||
        (name.length >= 2 && name.str[0] == '.' && name.str[1] == '.'))
        return false;
    dirname_t folder;
    dirname_initialise(folder);
    bool ok = dir_get_resource(folder) && stringbuffer_set(path, folder.path) && stringbuffer_append(path, "/") &&
              stringbuffer_append(path, name);
    dirname_release(folder);
    return ok;
}
} // namespace

void font_initialise(font_t& font)
{
    font.name = {empty_str};
    font.key = {empty_str};
    font.point_size = 0;
    font.pixel_size = 0;
    font.baseline = 0;
    memset(font.glyphs, 0, sizeof(font.glyphs));
}

void font_release(font_t& font)
{
    stringid_release(font.name);
    stringid_release(font.key);
}

void font_get_dpi(float& x, float& y)
{
    x = FONT_DPI;
    y = FONT_DPI;
}

void font_compute_sizes(int point_size, i32& pixel_size, i32& atlas_side)
{
    pixel_size = 0;
    atlas_side = 0;
    if (point_size < FONT_MIN_POINT_SIZE || point_size > FONT_MAX_POINT_SIZE)
        return;
    pixel_size = static_cast<i32>(std::ceil(static_cast<float>(point_size) * FONT_DPI / 72.0f));
    i32 side = 1;
    while (side < FONT_GRID * pixel_size)
        side *= 2;
    atlas_side = side;
}

bool font_manager_initialise(font_manager_t& manager)
{
    manager.library = nullptr;
    manager.cache = {};
    FT_Library library = nullptr;
    FT_Error error = FT_Init_FreeType(&library);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to intialise font library: %d", error);
        return false;
    }
    manager.library = library;
    if (!hashtable_initialise(manager.cache, FONT_CACHE_BUCKETS))
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to create font cache");
    return true;
}

void font_manager_release(font_manager_t& manager)
{
    for (u64 b = 0; b < manager.cache.buckets.count; ++b)
    {
        vector_t<font_manager_entry_t>& bucket = manager.cache.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
        {
            font_manager_entry_t& entry = bucket.data[i];
            free_face_and_file(entry.face, entry.file);
            destroy_font(entry.font);
        }
        bucket.count = 0;
    }
    hashtable_release(manager.cache);
    if (manager.library)
        FT_Done_FreeType(manager.library);
    manager.library = nullptr;
}

font_t* font_manager_load(font_manager_t& manager, const string_t& name, int point_size)
{
    if (!manager.library)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to generate font: no font library");
        return nullptr;
    }
    stringbuffer_t text;
    stringbuffer_initialise(text);
    stringbuffer_format(text, "%.*s:%d", static_cast<int>(name.length), name.str, point_size);
    stringid_t key = {empty_str};
    stringid_resolve(key, text);
    stringbuffer_release(text);
    if (font_manager_entry_t* entry = hashtable_find(manager.cache, key.str))
    {
        ++entry->count;
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "Font retrieved from cache: %s", key.str);
        stringid_release(key);
        return entry->font;
    }

    font_t* font = new (std::nothrow) font_t;
    if (!font)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %d bytes",
                   static_cast<int>(sizeof(font_t)));
        stringid_release(key);
        return nullptr;
    }
    font_initialise(*font);
    stringid_resolve(font->name, name);
    font->key = key; // the lookup's reference passes to the font
    font->point_size = point_size;
    timer_t timer;
    timer_start(timer);

    filecontents_t file;
    filecontents_initialise(file);
    FT_Face face = nullptr;
    i32 p = 0;
    i32 side = 0;
    i32 lowest = 0;
    bool ok = false;
    do
    {
        stringbuffer_t path;
        stringbuffer_initialise(path);
        const bool loaded = resource_path(name, path) && filecontents_load(file, path);
        stringbuffer_release(path);
        if (!loaded)
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to load font");
            break;
        }
        FT_Error error = FT_New_Memory_Face(manager.library, file.buffer.data,
                                            static_cast<FT_Long>(file.buffer.num_bytes), 0, &face);
        if (error)
        {
            face = nullptr;
            log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to generate font: %d", error);
            break;
        }
        font_compute_sizes(point_size, p, side);
        font->pixel_size = p;
        if (p == 0)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to create font texture: size %d points", point_size);
            break;
        }
        error = FT_Set_Char_Size(face, point_size * 64, point_size * 64, static_cast<FT_UInt>(FONT_DPI),
                                 static_cast<FT_UInt>(FONT_DPI));
        if (error)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to generate font: %d", error);
            break;
        }
        if (!font->atlas.Initialise(PIXELFORMAT_LA8, side, side))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to create font texture");
            break;
        }
        font->atlas.min_filter = Texture::FILTER_NEAREST;
        font->atlas.mag_filter = Texture::FILTER_NEAREST;
        if (!font->atlas.pixels.data)
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to lock font texture");
            break;
        }
        // Texels no glyph covers are uploaded too: clear, not left as the heap gave them.
        memset(font->atlas.pixels.data, 0, font->atlas.pixels.size);
        lowest = p;
        bool glyphs_ok = true;
        for (int c = 0; c < FONT_NUM_GLYPHS && glyphs_ok; ++c)
        {
            glyphs_ok = rasterise_glyph(face, *font, c, p, side);
            if (glyphs_ok)
                lowest = std::min(lowest, static_cast<i32>(font->glyphs[c].position[1]));
        }
        ok = glyphs_ok;
    } while (false);

    if (!ok)
    {
        free_face_and_file(face, file);
        destroy_font(font);
        return nullptr;
    }
    shift_to_baseline(*font, lowest);
    ++font->atlas.revision;
    log_writef(LOGLEVEL_INFO, LOGMODULE_FONT, "Generated font in %.2f ms: %s",
               time_compute_unitsf(timer_elapsed(timer), TIMEUNIT_MILLISECONDS), font->key.str);
    font_manager_entry_t entry = {font, 1, file, face};
    if (!hashtable_insert(manager.cache, entry))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Failed to add font to cache: %s", font->key.str);
        free_face_and_file(face, file);
        destroy_font(font);
        return nullptr;
    }
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_FONT, "Font added to cache: %s", font->key.str);
    return font;
}

void font_manager_unload(font_manager_t& manager, const font_t* font)
{
    font_manager_entry_t* entry = find_entry_by_pointer(manager, font);
    if (!entry)
    {
        // The record may be freed already: only its address can be named.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_FONT, "Unloaded font does not exist in cache: %p",
                   static_cast<const void*>(font));
        return;
    }
    if (entry->count-- >= 2)
        return;
    font_manager_entry_t removed = *entry;
    hashtable_remove(manager.cache, removed.font->key.str);
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_FONT, "Font removed from cache: %s", removed.font->key.str);
    free_face_and_file(removed.face, removed.file);
    destroy_font(removed.font);
}

i32 font_manager_count(font_manager_t& manager, const font_t* font)
{
    font_manager_entry_t* entry = find_entry_by_pointer(manager, font);
    return entry ? entry->count : 0;
}

u64 font_manager_num_fonts(const font_manager_t& manager)
{
    return manager.cache.num_entries;
}
} // namespace orvo
