// Textures and texture grids.
#include "orvo/graphics/graphics_texture.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_version.h"
#include "orvo/graphics/graphics_device.h"

#include <cstring>
#include <new>

namespace orvo
{
namespace
{
const i32 GRID_MAX_CELL_SIDE = 1024;

pixelbuffer_t empty_pixels()
{
    pixelbuffer_t pixels;
    std::memset(&pixels, 0, sizeof(pixels));
    return pixels;
}

bool same_shape(const pixelbuffer_t& a, pixelformat_t format, i32 width, i32 height)
{
    return a.format == format && a.width == width && a.height == height;
}

Texture* create_cell_texture()
{
    void* memory = heap_alloc(sizeof(Texture), alignof(Texture), ORVO_HEAP_TAG);
    return memory ? new (memory) Texture() : nullptr;
}

void destroy_cell_texture(Texture* texture)
{
    if (!texture)
        return;
    texture->~Texture();
    heap_free(texture, ORVO_HEAP_TAG);
}

i32 next_power_of_two(i32 value)
{
    i32 side = 1;
    while (side < value && side < (1 << 30))
        side <<= 1;
    return side;
}
} // namespace

u64 texture_num_bytes(const Texture& texture)
{
    return static_cast<u64>(pixelformat_bytes_per_pixel(texture.pixels.format)) *
           static_cast<u64>(texture.pixels.width > 0 ? texture.pixels.width : 0) *
           static_cast<u64>(texture.pixels.height > 0 ? texture.pixels.height : 0);
}

// --- Texture -----------------------------------------------------------------------

Texture::Texture()
    : pixels(empty_pixels()), id(version_object_id<version_id_allocator_t>()), revision(1), instances{nullptr, 0, 0},
      min_filter(FILTER_NOT_SET), mag_filter(FILTER_NOT_SET)
{
}

Texture::~Texture()
{
    OpenGLInterface::Dispose(this);
}

bool Texture::Initialise(pixelformat_t format, int width, int height)
{
    u64 size = pixelbuffer_compute_size(format, width, height);
    if (size == 0 || width <= 0 || height <= 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Texture %d: cannot hold %d x %d pixels of format 0x%x", id,
                   width, height, static_cast<unsigned>(format));
        return false;
    }
    u8* data = pixels.data;
    u64 capacity = pixels.capacity;
    if (!(pixels.owns && pixels.data && pixels.capacity >= size))
    {
        data = static_cast<u8*>(heap_alloc(size, 16, ORVO_HEAP_TAG));
        if (!data)
            return false;
        capacity = size;
        if (pixels.owns)
            heap_free(pixels.data, ORVO_HEAP_TAG);
    }
    // The OpenGL textures were made for the old shape; uploading a new one
    // into them would write outside their storage.
    if (!same_shape(pixels, format, width, height))
        OpenGLInterface::Dispose(this);
    pixels.format = format;
    pixels.width = width;
    pixels.height = height;
    pixels.row_length = width;
    pixels.data = data;
    pixels.size = size;
    pixels.capacity = capacity;
    pixels.owns = true;
    min_filter = FILTER_LINEAR;
    mag_filter = FILTER_NEAREST;
    return true;
}

bool Texture::Initialise(pixelbuffer_t& source)
{
    if (!source.data)
        return false;
    if (!same_shape(pixels, source.format, source.width, source.height))
        OpenGLInterface::Dispose(this);
    // A buffer the texture owned and is not being handed again would be lost.
    if (pixels.owns && pixels.data && pixels.data != source.data)
        heap_free(pixels.data, ORVO_HEAP_TAG);
    pixels = source;
    min_filter = FILTER_LINEAR;
    mag_filter = FILTER_NEAREST;
    return true;
}

void Texture::Release()
{
    OpenGLInterface::Dispose(this);
    if (pixels.owns)
        heap_free(pixels.data, ORVO_HEAP_TAG);
    pixels = empty_pixels();
    min_filter = FILTER_NOT_SET;
    mag_filter = FILTER_NOT_SET;
}

// --- TextureGrid -------------------------------------------------------------------

i32 TextureGrid::MaxTextureSize = 512;
bool TextureGrid::IsNPOTSupported = false;

TextureGrid::TextureGrid() : picture(empty_pixels()), padded(empty_pixels()), cells{nullptr, 0, 0, false}
{
}

TextureGrid::~TextureGrid()
{
    if (picture.owns)
        heap_free(picture.data, ORVO_HEAP_TAG);
    if (padded.owns)
        heap_free(padded.data, ORVO_HEAP_TAG);
    vector_release(cells);
}

bool TextureGrid::Initialise(pixelformat_t format, int width, int height)
{
    if (picture.data && same_shape(picture, format, width, height))
        return true;
    Release();
    u32 bytes_per_pixel = pixelformat_bytes_per_pixel(format);
    if (width < 1 || height < 1 || bytes_per_pixel == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "TextureGrid: cannot hold %d x %d pixels of format 0x%x", width,
                   height, static_cast<unsigned>(format));
        return false;
    }

    i32 side = next_power_of_two(width > height ? width : height);
    if (side > MaxTextureSize)
        side = MaxTextureSize;
    if (side > GRID_MAX_CELL_SIDE)
        side = GRID_MAX_CELL_SIDE;
    if (side < 1)
        side = 1;
    const i64 padded_width = (static_cast<i64>(width) + side - 1) / side * side;
    const i64 padded_height = (static_cast<i64>(height) + side - 1) / side * side;
    const u64 size = static_cast<u64>(bytes_per_pixel) * static_cast<u64>(padded_width) *
                     static_cast<u64>(padded_height);
    u8* data = static_cast<u8*>(heap_alloc(size, 16, ORVO_HEAP_TAG));
    if (!data)
        return false;
    padded.format = format;
    padded.width = static_cast<i32>(padded_width);
    padded.height = static_cast<i32>(padded_height);
    padded.row_length = static_cast<i32>(padded_width);
    padded.data = data;
    padded.size = size;
    padded.capacity = size;
    padded.owns = true;

    const u64 num_cells = static_cast<u64>(padded_width / side) * static_cast<u64>(padded_height / side);
    if (cells.capacity < num_cells)
    {
        vector_release(cells);
        vector_initialise(cells, num_cells, false);
    }

    const u64 cell_bytes = static_cast<u64>(bytes_per_pixel) * (side + padded_width * (side - 1));
    for (i64 k = 0; k < padded_height; k += side)
    {
        for (i64 j = 0; j < padded_width; j += side)
        {
            Texture* texture = create_cell_texture();
            if (!texture)
                continue;
            texture->pixels.format = format;
            texture->pixels.width = side;
            texture->pixels.height = side;
            texture->pixels.row_length = static_cast<i32>(padded_width);
            texture->pixels.data = data + bytes_per_pixel * (j + padded_width * k);
            texture->pixels.size = cell_bytes;
            texture->pixels.capacity = cell_bytes;
            texture->pixels.owns = false;
            texture->min_filter = Texture::FILTER_LINEAR;
            texture->mag_filter = Texture::FILTER_NEAREST;

            TextureGridCell cell;
            const i64 cell_width = width - j < side ? width - j : side;
            const i64 cell_height = height - k < side ? height - k : side;
            const i64 y = height - side - k;
            cell.x = static_cast<float>(j);
            cell.y = static_cast<float>(y > 0 ? y : 0);
            cell.width = static_cast<float>(cell_width);
            cell.height = static_cast<float>(cell_height);
            cell.u = static_cast<float>(cell_width) / static_cast<float>(side);
            cell.v = static_cast<float>(cell_height) / static_cast<float>(side);
            cell.texture = texture;
            if (!vector_insert(cells, cell))
                destroy_cell_texture(texture); // logged by the vector; the cell is left out
        }
    }

    picture.format = format;
    picture.width = width;
    picture.height = height;
    picture.row_length = static_cast<i32>(padded_width);
    picture.data = data;
    picture.size = static_cast<u64>(bytes_per_pixel) * (width + padded_width * (height - 1));
    picture.capacity = picture.size;
    picture.owns = false;
    return true;
}

void TextureGrid::Release()
{
    for (u64 i = 0; i < cells.count; ++i)
    {
        Texture* texture = cells.data[i].texture;
        if (!texture)
            continue;
        texture->Release();
        destroy_cell_texture(texture);
    }
    cells.count = 0;
    if (picture.owns)
        heap_free(picture.data, ORVO_HEAP_TAG);
    picture = empty_pixels();
    if (padded.owns)
        heap_free(padded.data, ORVO_HEAP_TAG);
    padded = empty_pixels();
}

void TextureGrid::SetMinFilter(Texture::FilterType filter)
{
    for (u64 i = 0; i < cells.count; ++i)
    {
        cells.data[i].texture->min_filter = filter;
        ++cells.data[i].texture->revision;
    }
}

void TextureGrid::SetMagFilter(Texture::FilterType filter)
{
    for (u64 i = 0; i < cells.count; ++i)
    {
        cells.data[i].texture->mag_filter = filter;
        ++cells.data[i].texture->revision;
    }
}

void TextureGrid::SetDeviceCapabilities(const GraphicsDevice& device)
{
    MaxTextureSize = device.max_texture_size;
    IsNPOTSupported = device.HasCapability(OpenGLContext::CAPABILITY_ARB_TEXTURE_NON_POWER_OF_TWO);
    log_writef(LOGLEVEL_INFO, LOGMODULE_GRAPHICS, "TextureGrid max cell size: %d, npot: %s", MaxTextureSize,
               IsNPOTSupported ? "true" : "false");
}
} // namespace orvo
