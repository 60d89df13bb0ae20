// UUID texts: the 8-4-4-4-12 lower-case form, version 4 and RFC 4122 variant
// bits, and no repeats over many calls.
#include "orvo/core/core_uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace orvo;

TEST(Uuid, TextsHaveTheFixedFormAndVersionFourBits)
{
    stringbuffer_t text;
    stringbuffer_initialise(text);
    ASSERT_TRUE(stringbuffer_set(text, "a previous, much longer text that the UUID replaces entirely"));
    std::set<std::string> seen;
    std::set<char> variants;
    for (int i = 0; i < 2000; ++i)
    {
        ASSERT_TRUE(uuid_generate(text));
        const std::string uuid(text.str, text.length);
        SCOPED_TRACE(uuid);
        ASSERT_EQ(uuid.size(), UUID_TEXT_LENGTH);
        for (size_t k = 0; k < uuid.size(); ++k)
        {
            if (k == 8 || k == 13 || k == 18 || k == 23)
                ASSERT_EQ(uuid[k], '-');
            else
                ASSERT_NE(std::string("0123456789abcdef").find(uuid[k]), std::string::npos) << "at " << k;
        }
        EXPECT_EQ(uuid[14], '4');                                          // version: random
        EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos); // variant 10xx
        variants.insert(uuid[19]);
        EXPECT_TRUE(seen.insert(uuid).second) << "repeated";
    }
    // The other variant bits are random: all four digits turn up.
    EXPECT_EQ(variants.size(), 4u);
    stringbuffer_release(text);
}
