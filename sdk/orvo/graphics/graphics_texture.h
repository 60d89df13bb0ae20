// Textures and texture grids. A Texture is a picture in ordinary memory with
// its filters and one OpenGL texture per context; a TextureGrid cuts a picture
// into square power-of-two cells that all view one padded buffer, so a
// decoder writes the picture once and every cell uploads straight from it.
// Records may be built and released on any thread; the owner makes sure the
// OpenGL thread is not drawing a record while it is released or rebuilt.
#pragma once

#include "orvo/colour/colour_pixelbuffer.h"
#include "orvo/core/core_vector.h"
#include "orvo/graphics/graphics_instances.h"

namespace orvo
{
class GraphicsDevice;
struct TextureInstance;

class Texture
{
public:
    // OpenGL filter constants, with "not set" right after the last one.
    enum FilterType : u32
    {
        FILTER_NEAREST = 0x2600,
        FILTER_LINEAR = 0x2601,
        FILTER_NEAREST_MIPMAP_NEAREST = 0x2700,
        FILTER_LINEAR_MIPMAP_NEAREST = 0x2701,
        FILTER_NEAREST_MIPMAP_LINEAR = 0x2702,
        FILTER_LINEAR_MIPMAP_LINEAR = 0x2703,
        FILTER_NOT_SET = 0x2704,
    };

    typedef TextureInstance Instance;

    Texture();
    // Queues any OpenGL copies left behind; pixels are freed only by Release.
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    // Owned pixels of the format and size, reusing the buffer when it is
    // large enough. A new size or format drops the OpenGL copies, whose
    // storage has the old one. False (logged), texture unchanged, when the
    // memory cannot be allocated. The revision is left to whoever fills it.
    bool Initialise(pixelformat_t format, int width, int height);
    // Takes the record as it is, owns flag included (a texture that takes an
    // owning buffer frees it on Release). False for a buffer without data.
    bool Initialise(pixelbuffer_t& pixels);
    // Queues the OpenGL copies, frees owned pixels, clears the record.
    void Release();

    pixelbuffer_t pixels;
    i32 id;
    i32 revision;
    graphics_instances_t instances; // TextureInstance per context
    FilterType min_filter;
    FilterType mag_filter;
};

// Pixel bytes a texture counts towards the upload and use statistics.
u64 texture_num_bytes(const Texture& texture);

struct TextureGridCell
{
    float x;      // pixels from the picture's left edge
    float y;      // pixels up from the picture's bottom edge
    float width;  // picture pixels the cell holds
    float height;
    float u;      // share of the cell texture holding picture, 0 to 1
    float v;
    Texture* texture; // side x side texels viewing the padded buffer; owned by the grid
};

class TextureGrid
{
public:
    TextureGrid();
    // Frees the buffers it owns and the cell list; cell textures are deleted
    // only by Release.
    ~TextureGrid();
    TextureGrid(const TextureGrid&) = delete;
    TextureGrid& operator=(const TextureGrid&) = delete;

    // Builds the padded buffer and the cells for a picture; the same format
    // and size again touch nothing. False (logged) with the grid empty when a
    // size is below 1 or the memory cannot be allocated.
    bool Initialise(pixelformat_t format, int width, int height);
    void Release();
    // Every cell texture's filter, each texture's revision raised.
    void SetMinFilter(Texture::FilterType filter);
    void SetMagFilter(Texture::FilterType filter);

    // Records the started device's maximum texture size and NPOT support.
    static void SetDeviceCapabilities(const GraphicsDevice& device);

    static i32 MaxTextureSize;   // 512 until a device reports its own
    static bool IsNPOTSupported; // recorded only

    pixelbuffer_t picture; // the asked-for picture inside the padded buffer
    pixelbuffer_t padded;  // the one owned buffer, whole cells wide and high
    vector_t<TextureGridCell> cells; // rows from the picture's top, left to right
};
} // namespace orvo
