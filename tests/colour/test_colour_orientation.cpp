// Orientation names and algebra: the full table of turns and flips, the group
// laws that tie the operations together, and unknown (8) counting as None.
#include "orvo/colour/colour_pixelbuffer.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvo;

namespace
{
const imageorientation_t O0 = IMAGEORIENTATION_NONE, O1 = IMAGEORIENTATION_ROTATE270,
                         O2 = IMAGEORIENTATION_ROTATE180, O3 = IMAGEORIENTATION_ROTATE90,
                         O4 = IMAGEORIENTATION_FLIPY, O5 = IMAGEORIENTATION_INVERSETRANSPOSE,
                         O6 = IMAGEORIENTATION_FLIPX, O7 = IMAGEORIENTATION_TRANSPOSE,
                         O8 = IMAGEORIENTATION_UNKNOWN;

imageorientation_t Code(u32 code)
{
    return static_cast<imageorientation_t>(code);
}
} // namespace

TEST(Orientation, NamesRoundTrip)
{
    const char* names[8] = {"None", "Rotate270", "Rotate180", "Rotate90",
                            "FlipY", "InverseTranspose", "FlipX", "Transpose"};
    for (u32 code = 0; code < 8; ++code)
    {
        SCOPED_TRACE(names[code]);
        EXPECT_STREQ(imageorientation_to_str(Code(code)).str, names[code]);
        EXPECT_EQ(imageorientation_to_str(Code(code)).length, std::string(names[code]).size());
        EXPECT_EQ(imageorientation_from_str(string_make(names[code])), Code(code));
    }
}

TEST(Orientation, UnmatchedNamesAreUnknown)
{
    const char* texts[] = {"none", "ROTATE90", "Rotate 90", "Flip X", "", "Unknown", "Rotate90 "};
    for (const char* text : texts)
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(imageorientation_from_str(string_make(text)), O8);
    }
    EXPECT_EQ(imageorientation_to_str(O8).length, 0u);
}

TEST(Orientation, TableOfTurnsAndFlips)
{
    struct Case
    {
        imageorientation_t a, left, right, flip;
    };
    const Case cases[] = {
        {O0, O1, O3, O6}, {O1, O2, O0, O7}, {O2, O3, O1, O4}, {O3, O0, O2, O5}, {O4, O7, O5, O2},
        {O5, O4, O6, O3}, {O6, O5, O7, O0}, {O7, O6, O4, O1}, {O8, O1, O3, O6},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "a=" << c.a);
        EXPECT_EQ(imageorientation_rotate_left(c.a), c.left);
        EXPECT_EQ(imageorientation_rotate_right(c.a), c.right);
        EXPECT_EQ(imageorientation_flip_x(c.a), c.flip);
    }
}

TEST(Orientation, CombineExamples)
{
    struct Case
    {
        imageorientation_t a, b, result;
    };
    const Case cases[] = {
        {O3, O3, O2}, {O6, O6, O0}, {O4, O1, O7}, {O1, O4, O5},
        {O8, O8, O0}, {O8, O3, O3}, {O5, O8, O5}, {O0, O7, O7},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.a << " then " << c.b);
        EXPECT_EQ(imageorientation_combine(c.a, c.b), c.result);
    }
}

TEST(Orientation, GroupLaws)
{
    for (u32 code = 0; code < 8; ++code)
    {
        imageorientation_t a = Code(code);
        SCOPED_TRACE(imageorientation_to_str(a).str);
        imageorientation_t turned = a;
        for (int i = 0; i < 4; ++i)
            turned = imageorientation_rotate_left(turned);
        EXPECT_EQ(turned, a);
        EXPECT_EQ(imageorientation_flip_x(imageorientation_flip_x(a)), a);
        EXPECT_EQ(imageorientation_rotate_right(imageorientation_rotate_left(a)), a);
        EXPECT_EQ(imageorientation_rotate_left(a), imageorientation_combine(a, O1));
        EXPECT_EQ(imageorientation_rotate_right(a), imageorientation_combine(a, O3));
        EXPECT_EQ(imageorientation_combine(a, O0), a);
        EXPECT_EQ(imageorientation_combine(O0, a), a);
        // Every orientation has an inverse within the eight.
        bool has_inverse = false;
        for (u32 other = 0; other < 8; ++other)
            has_inverse |= imageorientation_combine(a, Code(other)) == O0 &&
                           imageorientation_combine(Code(other), a) == O0;
        EXPECT_TRUE(has_inverse);
        // A quarter turn exchanges the sides exactly when the code is odd.
        EXPECT_NE(imageorientation_swaps_xy(a), imageorientation_swaps_xy(imageorientation_rotate_left(a)));
    }
    EXPECT_FALSE(imageorientation_swaps_xy(O8));
}

TEST(Orientation, SwapsXy)
{
    const bool swaps[9] = {false, true, false, true, false, true, false, true, false};
    for (u32 code = 0; code <= 8; ++code)
    {
        SCOPED_TRACE(code);
        EXPECT_EQ(imageorientation_swaps_xy(Code(code)), swaps[code]);
    }
}

TEST(Orientation, FromExifValue)
{
    const imageorientation_t by_value[10] = {O8, O0, O6, O2, O4, O7, O3, O5, O1, O8};
    for (int value = 0; value <= 9; ++value)
    {
        SCOPED_TRACE(value);
        EXPECT_EQ(imageorientation_from_exif(value), by_value[value]);
    }
    EXPECT_EQ(imageorientation_from_exif(-6), O8);
    EXPECT_EQ(imageorientation_from_exif(0x100000006LL), O8);
}
