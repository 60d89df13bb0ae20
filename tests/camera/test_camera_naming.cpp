// Photo naming: one table of expressions read at a fixed time (5 March 2024,
// 07:08:09.123, TZ=UTC) with token texts from outside, including the width
// clamps both ways, widths in other bases, partial width reads and names that
// try to leave their folder; then the whole-name validation.
#include "orvo/camera/camera_naming.h"
#include "orvo/core/core_time.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvo;

namespace
{
const i64 FIXED_TIME_US = 1709622489ll * 1000000 + 123456; // 2024-03-05 07:08:09.123456 UTC

i64 FixedWallclock(void*)
{
    return FIXED_TIME_US;
}

struct Inputs
{
    std::string text_a = "Group1";
    std::string text_u = "Custom1";
    std::string text_z = "";
    std::string camera_name = "Cam 1:A";
    std::string serial = "0042";
    std::string group = "Rig";
    std::string camera_file_name = "DCIM/100CANON/DSC_0001.JPG";
    std::string extension = ".JPG";
    i32 camera_number = 0;
    i32 sequence = 1;
    i32 batch = 3;
};

std::string Compute(const std::string& expression, const Inputs& in)
{
    stringbuffer_t out;
    stringbuffer_initialise(out);
    stringbuffer_set(out, "left over from before");
    auto view = [](const std::string& s) { return string_make(s.c_str(), s.size()); };
    photo_compute_filename(out, view(expression), view(in.text_a), view(in.text_u), view(in.text_z),
                           view(in.camera_name), view(in.serial), view(in.group), view(in.camera_file_name),
                           view(in.extension), in.camera_number, in.sequence, in.batch);
    std::string result(out.str, out.length);
    stringbuffer_release(out);
    return result;
}

struct PhotoNaming : ::testing::Test
{
    lumivane_test::LogCapture log;
    clock_hooks_t clock{nullptr, FixedWallclock, nullptr};
    void SetUp() override { time_set_clock(&clock); }
    void TearDown() override { time_set_clock(nullptr); }
};
} // namespace

TEST_F(PhotoNaming, ExpressionTable)
{
    struct Case
    {
        const char* why;
        std::string expression;
        std::string expected;
        void (*adjust)(Inputs&);
    };
    const std::string d32(31, '0');
    const Case cases[] = {
        {"default expression", "LVP_[S]", "LVP_1.JPG", nullptr},
        {"width 4", "LVP_[S4]", "LVP_0012.JPG", [](Inputs& in) { in.sequence = 12; }},
        {"texts and numbers", "[A]_Camera[N]_Photo[S]", "Group1_Camera0_Photo1.jpg",
         [](Inputs& in) { in.extension = ".jpg"; }},
        {"lower-case letters", "[a]_[s]", "Group1_1.JPG", nullptr},
        {"date and time with separators", "[D-]_[T-]", "2024-03-05_07-08-09.JPG", nullptr},
        {"plain date", "[D]", "20240305.JPG", nullptr},
        {"plain time", "[T]", "070809.JPG", nullptr},
        {"milliseconds", "[M]", "123.JPG", nullptr},
        {"strftime time", "[T%H.%M]", "07.08.JPG", nullptr},
        {"argument means nothing to the date", "[D%Y]", "20240305.JPG", nullptr},
        {"colon separator becomes underscore", "[T:]", "07_08_09.JPG", nullptr},
        {"extension letters", "[E]", "JPG.JPG", nullptr},
        {"extension letters lower", "x[e]", "xjpg.JPG", nullptr},
        {"extension letters without extension", "[E][e]x", "x", [](Inputs& in) { in.extension = ""; }},
        {"not a token", "[Q]", "[Q].JPG", nullptr},
        {"bracket at the end", "a[", "a[.JPG", nullptr},
        {"empty expression", "", ".JPG", nullptr},
        {"camera name spaces and colons", "[C]", "Cam_1_A.JPG", nullptr},
        {"group and serial", "[G]-[X]", "Rig-0042.JPG", nullptr},
        {"stem of the camera's file", "[O]", "DSC_0001.JPG", nullptr},
        {"texts U and Z", "[U][Z]", "Custom1.JPG", nullptr},
        {"batch padded", "[B3]", "003.JPG", nullptr},
        {"camera number padded", "[N2]", "07.JPG", [](Inputs& in) { in.camera_number = 7; }},
        {"text padded on the right", "[X6]", "0042__.JPG", nullptr},
        {"negative width pads numbers on the right", "[S-5]", "1____.JPG", nullptr},
        {"negative width on text", "[C-10]", "Cam_______.JPG", [](Inputs& in) { in.camera_name = "Cam"; }},
        {"width 40 gives 32", "[S40]", d32 + "1.JPG", nullptr},
        {"width -40 gives -32", "[S-40]", "1" + std::string(31, '_') + ".JPG", nullptr},
        {"huge width does not overflow", "[S99999999999999999999]", d32 + "1.JPG", nullptr},
        {"huge negative width", "[S-99999999999999999999]", "1" + std::string(31, '_') + ".JPG", nullptr},
        {"hexadecimal width", "[S0x10]", std::string(15, '0') + "1.JPG", nullptr},
        {"octal width", "[S010]", "00000001.JPG", nullptr},
        {"space before the width", "[S 4]", "0001.JPG", nullptr},
        {"a failed width read stays as the width", "[X6x]", "0042__.JPG", nullptr},
        {"argument of 41 characters is no token", "[T" + std::string(41, 'a') + "]",
         "[T" + std::string(41, 'a') + "].JPG", nullptr},
        // Names from outside cannot leave the folder.
        {"camera name climbing out", "[C]", "___etc.JPG", [](Inputs& in) { in.camera_name = "../etc"; }},
        {"serial with a slash", "[X]", "a_b.JPG", [](Inputs& in) { in.serial = "a/b"; }},
        {"barcode text with a backslash", "[Z]", "a_b.JPG", [](Inputs& in) { in.text_z = "a\\b"; }},
        {"expression climbing out", "../[S]", "___1.JPG", nullptr},
        {"strftime making a folder", "[T%Y/%m]", "2024_03.JPG", nullptr},
        {"a name that is the parent", "[Z]", "__", [](Inputs& in) {
             in.text_z = "..";
             in.extension = "";
         }},
        {"a name that is the folder itself", ".", "_", [](Inputs& in) { in.extension = ""; }},
        {"an absolute expression", "/tmp/[S]", "_tmp_1.JPG", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Inputs in;
        if (c.adjust)
            c.adjust(in);
        EXPECT_EQ(Compute(c.expression, in), c.expected);
    }
}

TEST_F(PhotoNaming, ValidationMatchesTheWholeName)
{
    struct Case
    {
        const char* expression;
        const char* name;
        bool valid;
    };
    const Case cases[] = {
        {"LVP_[0-9]+\\.JPG", "LVP_12.JPG", true},
        {"LVP_[0-9]+\\.JPG", "xLVP_12.JPG", false},
        {"LVP_[0-9]+\\.JPG", "LVP_12.JPGx", false},
        {"LVP_[0-9]+\\.JPG", "LVP_.JPG", false},
        {"a|ab", "ab", true},
        {"(a|ab)(c|bcd)", "abcd", true},
        {"", "anything", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.expression) + " on " + c.name);
        photo_validation_t validation;
        photo_validation_initialise(validation);
        ASSERT_TRUE(photo_validation_compile(validation, string_make(c.expression)));
        EXPECT_EQ(photo_validation_match(validation, string_make(c.name)), c.valid);
        photo_validation_release(validation);
        photo_validation_release(validation);
    }
}

TEST_F(PhotoNaming, ComputedNamesAgainstTheValidation)
{
    photo_validation_t validation;
    photo_validation_initialise(validation);
    ASSERT_TRUE(photo_validation_compile(validation, string_make("LVP_[0-9]{4}\\.JPG")));
    Inputs in;
    in.sequence = 7;
    EXPECT_TRUE(photo_validation_match(validation, string_make(Compute("LVP_[S4]", in).c_str())));
    EXPECT_FALSE(photo_validation_match(validation, string_make(Compute("LVP_[S]", in).c_str())));
    in.sequence = 12345;
    EXPECT_FALSE(photo_validation_match(validation, string_make(Compute("LVP_[S4]", in).c_str())));

    // An expression that does not compile is reported and changes nothing.
    EXPECT_FALSE(photo_validation_compile(validation, string_make("[")));
    EXPECT_TRUE(log.Contains("Failed to compile filename validation: ["));
    EXPECT_TRUE(photo_validation_is_set(validation));
    EXPECT_FALSE(photo_validation_match(validation, string_make("LVP_1.JPG")));
    // An empty text switches validation off.
    EXPECT_TRUE(photo_validation_compile(validation, empty_str));
    EXPECT_TRUE(photo_validation_match(validation, string_make("LVP_1.JPG")));
    photo_validation_release(validation);
}

// Expressions that would make the regular-expression compiler copy a repeated
// piece for every repetition of an outer one grow exponentially (sixty
// characters took gigabytes), so they are refused before compiling; ordinary
// name patterns, stacked quantifiers inside brackets or escaped included, pass.
TEST_F(PhotoNaming, ValidationRefusesExpressionsThatGrowWithoutBound)
{
    struct Case
    {
        const char* expression;
        bool accepted;
    };
    const Case cases[] = {
        {"(IMG|DSC)_[0-9]+\\.(jpg|JPG)", true},
        {"^[A-Z]{3}_[0-9]{4,6}\\.JPG$", true},
        {"[+*?]+_[]a]*\\+\\+x", true},
        {"[[:digit:]]{255}", true},
        {"a+b*c?(de)+", true},
        {"LV.+++++++++++++++++++++++++++++++++++++++++++++++++++JPG", false},
        {"a*{2}", false},
        {"(x{200})+", false},
        {"((a|b)+c)*", false},
        {"[0-9]{256}", false},
        {"a{1,1000}", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.expression);
        photo_validation_t validation;
        photo_validation_initialise(validation);
        EXPECT_EQ(photo_validation_compile(validation, string_make(c.expression)), c.accepted);
        EXPECT_EQ(photo_validation_is_set(validation), c.accepted);
        photo_validation_release(validation);
    }
}
