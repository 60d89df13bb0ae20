// Orientation names and algebra. A code is q (quarter turns anticlockwise,
// bits 0-1) and m (mirrored, bit 2); a mirror reverses the sense of a turn,
// which is why the mirrored half subtracts where the plain half adds.
#include "orvo/colour/colour_orientation.h"

#include <cstring>

namespace orvo
{
const string_t imageorientation_map[IMAGEORIENTATION_COUNT] = {
    {"None", 4},  {"Rotate270", 9},        {"Rotate180", 9}, {"Rotate90", 8},
    {"FlipY", 5}, {"InverseTranspose", 16}, {"FlipX", 5},     {"Transpose", 9},
};

namespace
{
const i32 MIRROR = 4;

// Unknown and any stray value count as None.
i32 known(imageorientation_t a)
{
    return (a >= 0 && a < static_cast<i32>(IMAGEORIENTATION_COUNT)) ? a : IMAGEORIENTATION_NONE;
}

imageorientation_t make(i32 quarter_turns, i32 mirror)
{
    return static_cast<imageorientation_t>((quarter_turns & 3) | mirror);
}
} // namespace

imageorientation_t imageorientation_from_str(const string_t& text)
{
    if (!text.str)
        return IMAGEORIENTATION_UNKNOWN;
    for (u32 code = 0; code < IMAGEORIENTATION_COUNT; ++code)
        if (std::strcmp(text.str, imageorientation_map[code].str) == 0)
            return static_cast<imageorientation_t>(code);
    return IMAGEORIENTATION_UNKNOWN;
}

const string_t& imageorientation_to_str(imageorientation_t orientation)
{
    if (orientation < 0 || orientation >= static_cast<i32>(IMAGEORIENTATION_COUNT))
        return empty_str;
    return imageorientation_map[orientation];
}

imageorientation_t imageorientation_rotate_left(imageorientation_t a)
{
    i32 code = known(a);
    i32 mirror = code & MIRROR;
    return make(mirror ? code - 1 : code + 1, mirror);
}

imageorientation_t imageorientation_rotate_right(imageorientation_t a)
{
    i32 code = known(a);
    i32 mirror = code & MIRROR;
    return make(mirror ? code + 1 : code - 1, mirror);
}

imageorientation_t imageorientation_flip_x(imageorientation_t a)
{
    i32 code = known(a);
    return make(code + 2, (code & MIRROR) ^ MIRROR);
}

imageorientation_t imageorientation_combine(imageorientation_t a, imageorientation_t b)
{
    i32 first = known(a);
    i32 second = known(b);
    if (second == IMAGEORIENTATION_NONE)
        return static_cast<imageorientation_t>(first);
    if (first == IMAGEORIENTATION_NONE)
        return static_cast<imageorientation_t>(second);
    i32 mirror = first & MIRROR;
    i32 turns = mirror ? (first & 3) - (second & 3) : (first & 3) + (second & 3);
    return make(turns, mirror ^ (second & MIRROR));
}

bool imageorientation_swaps_xy(imageorientation_t a)
{
    return a >= 0 && a < static_cast<i32>(IMAGEORIENTATION_COUNT) && (a & 1) != 0;
}

imageorientation_t imageorientation_from_exif(i64 value)
{
    static const imageorientation_t by_exif[8] = {
        IMAGEORIENTATION_NONE,      IMAGEORIENTATION_FLIPX,    IMAGEORIENTATION_ROTATE180,
        IMAGEORIENTATION_FLIPY,     IMAGEORIENTATION_TRANSPOSE, IMAGEORIENTATION_ROTATE90,
        IMAGEORIENTATION_INVERSETRANSPOSE, IMAGEORIENTATION_ROTATE270,
    };
    if (value < 1 || value > 8)
        return IMAGEORIENTATION_UNKNOWN;
    return by_exif[value - 1];
}
} // namespace orvo
