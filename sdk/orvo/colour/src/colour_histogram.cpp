// RGB histogram: one pass over the pixels, nothing allocated.
#include "orvo/colour/colour_histogram.h"

#include "orvo/core/core_version.h"

#include <cstring>

namespace orvo
{
void histogram_clear(histogram_t& histogram)
{
    std::memset(&histogram, 0, sizeof(histogram));
    histogram.object_id = version_object_id<version_id_allocator_t>();
    histogram.generation = 1;
}

void histogram_compute(histogram_t& histogram, const pixelbuffer_t& buffer)
{
    if (!buffer.data || (buffer.format != PIXELFORMAT_RGB8 && buffer.format != PIXELFORMAT_RGBA8))
        return;
    histogram.maximum = 0.0f;
    for (histogram_channel_t& channel : histogram.channels)
    {
        channel.maximum = 0.0f;
        std::memset(channel.bins, 0, sizeof(channel.bins));
    }

    u64 bytes_per_pixel = pixelformat_bytes_per_pixel(buffer.format);
    u64 stride = static_cast<u64>(buffer.row_length > 0 ? buffer.row_length : 0) * bytes_per_pixel;
    float* red = histogram.channels[HISTOGRAM_RED].bins;
    float* green = histogram.channels[HISTOGRAM_GREEN].bins;
    float* blue = histogram.channels[HISTOGRAM_BLUE].bins;
    for (i32 y = 0; y < buffer.height; ++y)
    {
        const u8* pixel = buffer.data + static_cast<u64>(y) * stride;
        for (i32 x = 0; x < buffer.width; ++x, pixel += bytes_per_pixel)
        {
            red[pixel[0]] += 1.0f;
            green[pixel[1]] += 1.0f;
            blue[pixel[2]] += 1.0f;
        }
    }

    for (histogram_channel_t& channel : histogram.channels)
    {
        for (float bin : channel.bins)
            if (bin > channel.maximum)
                channel.maximum = bin;
        if (channel.maximum > histogram.maximum)
            histogram.maximum = channel.maximum;
    }
    ++histogram.generation;
}
} // namespace orvo
