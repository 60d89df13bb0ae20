// The eight ways a picture can be turned and mirrored, as a 3-bit code (bit 2
// mirrored, bits 0-1 quarter turns anticlockwise), their names and their
// algebra. Pure functions; unknown (8) counts as None wherever it is given.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
enum imageorientation_t : i32
{
    IMAGEORIENTATION_NONE = 0,              // EXIF 1
    IMAGEORIENTATION_ROTATE270 = 1,         // EXIF 8
    IMAGEORIENTATION_ROTATE180 = 2,         // EXIF 3
    IMAGEORIENTATION_ROTATE90 = 3,          // EXIF 6
    IMAGEORIENTATION_FLIPY = 4,             // EXIF 4
    IMAGEORIENTATION_INVERSETRANSPOSE = 5,  // EXIF 7
    IMAGEORIENTATION_FLIPX = 6,             // EXIF 2
    IMAGEORIENTATION_TRANSPOSE = 7,         // EXIF 5
    IMAGEORIENTATION_UNKNOWN = 8,           // no name
};

const u32 IMAGEORIENTATION_COUNT = 8;

// "None", "Rotate270", "Rotate180", "Rotate90", "FlipY", "InverseTranspose",
// "FlipX", "Transpose", by code.
extern const string_t imageorientation_map[IMAGEORIENTATION_COUNT];

// Exact, case-sensitive match of the zero-terminated text; no match gives
// IMAGEORIENTATION_UNKNOWN.
imageorientation_t imageorientation_from_str(const string_t& text);
// The name of codes 0..7; any other value gives empty_str.
const string_t& imageorientation_to_str(imageorientation_t orientation);

imageorientation_t imageorientation_rotate_left(imageorientation_t a);
imageorientation_t imageorientation_rotate_right(imageorientation_t a);
imageorientation_t imageorientation_flip_x(imageorientation_t a);
// a followed by b.
imageorientation_t imageorientation_combine(imageorientation_t a, imageorientation_t b);
// True when the picture is shown with width and height exchanged.
bool imageorientation_swaps_xy(imageorientation_t a);

// The orientation of an EXIF Orientation value 1..8; any other value gives
// IMAGEORIENTATION_UNKNOWN.
imageorientation_t imageorientation_from_exif(i64 value);
} // namespace orvo
