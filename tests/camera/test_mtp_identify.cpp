// Maker and model identification from DeviceInfo strings: every maker, every
// entry of the model table through the texts cameras really send, Canon's
// regional names by tokens, and allocation failure.
#include "orvo/camera/mtp_identify.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvo;
using lumivane_test::FailingAllocator;
using lumivane_test::LogCapture;
using lumivane_test::S;

namespace
{
// The model a device of this Manufacturer and Model string is identified as,
// called in the order the device record calls it.
u32 identify(const char* manufacturer, const char* model)
{
    const mtp_manufacturer_t maker = mtp_manufacturer_from_cstr(S(manufacturer));
    if (maker == MTP_MANUFACTURER_CANON)
        return mtp_canon_model_from_cstr(maker, S(model));
    return mtp_model_from_cstr(maker, S(model));
}
} // namespace

TEST(MtpIdentify, Manufacturers)
{
    struct Case
    {
        const char* text;
        mtp_manufacturer_t maker;
        const char* name;
    };
    const Case cases[] = {
        {"Canon", MTP_MANUFACTURER_CANON, "Canon"},
        {"canon inc.", MTP_MANUFACTURER_CANON, "Canon"},
        {"Canon Inc.", MTP_MANUFACTURER_CANON, "Canon"},
        {"Nikon Corporation", MTP_MANUFACTURER_NIKON, "Nikon"},
        {"NIKON", MTP_MANUFACTURER_NIKON, "Nikon"},
        {"FUJIFILM", MTP_MANUFACTURER_FUJIFILM, "Fujifilm"},
        {"RICOH", MTP_MANUFACTURER_RICOH, "Ricoh"},
        {"Ricoh Company, Ltd.", MTP_MANUFACTURER_RICOH, "Ricoh"},
        {"Sony", MTP_MANUFACTURER_UNKNOWN, "unknown"},
        {"Acme", MTP_MANUFACTURER_UNKNOWN, "unknown"},
        {"", MTP_MANUFACTURER_UNKNOWN, "unknown"},
        // Non-ASCII bytes are left alone by the upper-casing, never matched.
        {"\xC3\xA7\x61non", MTP_MANUFACTURER_UNKNOWN, "unknown"},
        // The first maker in the search order wins.
        {"Nikon for Canon lenses", MTP_MANUFACTURER_CANON, "Canon"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        const mtp_manufacturer_t maker = mtp_manufacturer_from_cstr(S(c.text));
        EXPECT_EQ(maker, c.maker);
        EXPECT_STREQ(mtp_manufacturer_to_cstr(maker), c.name);
    }
    EXPECT_STREQ(mtp_manufacturer_to_cstr(99), "unknown");

    // A zero byte inside a camera's string hides nothing after it.
    const char with_zero[] = {'X', 0, 'N', 'I', 'K', 'O', 'N'};
    EXPECT_EQ(mtp_manufacturer_from_cstr(string_make(with_zero, sizeof(with_zero))), MTP_MANUFACTURER_NIKON);
}

TEST(MtpIdentify, EveryModelOfTheTableFromWhatTheCameraSends)
{
    struct Case
    {
        const char* manufacturer;
        const char* model;
        u32 index;
        const char* name;
    };
    const Case cases[] = {
        {"Canon Inc.", "Canon EOS-1D Mark III", 0, "1D MarkIII"},
        {"Canon Inc.", "Canon EOS-1Ds Mark III", 1, "1Ds MarkIII"},
        {"Canon Inc.", "Canon EOS-1D Mark IV", 2, "1D MarkIV"},
        {"Canon Inc.", "Canon EOS-1D C", 3, "1D C"},
        {"Canon Inc.", "Canon EOS-1D X", 4, "1D X"},
        {"Canon Inc.", "Canon EOS-1D X Mark II", 4, "1D X"},
        {"Canon Inc.", "Canon EOS 5D", 5, "5D"},
        {"Canon Inc.", "Canon EOS 5D Mark II", 6, "5D MarkII"},
        {"Canon Inc.", "Canon EOS 5D Mark III", 7, "5D MarkIII"},
        {"Canon Inc.", "Canon EOS 5D Mark IV", 8, "5D MarkIV"},
        {"Canon Inc.", "Canon EOS 5DS", 9, "5DS"},
        {"Canon Inc.", "Canon EOS 5DS R", 10, "5DS R"},
        {"Canon Inc.", "Canon EOS 6D", 11, "6D"},
        {"Canon Inc.", "Canon EOS 6D Mark II", 12, "6D MarkII"},
        {"Canon Inc.", "Canon EOS 7D", 13, "7D"},
        {"Canon Inc.", "Canon EOS 7D Mark II", 14, "7D MarkII"},
        {"Canon Inc.", "Canon EOS 40D", 15, "40D"},
        {"Canon Inc.", "Canon EOS 50D", 16, "50D"},
        {"Canon Inc.", "Canon EOS 60D", 17, "60D"},
        {"Canon Inc.", "Canon EOS 70D", 18, "70D"},
        {"Canon Inc.", "Canon EOS 77D", 19, "77D"},
        {"Canon Inc.", "Canon EOS 9000D", 19, "77D"},
        {"Canon Inc.", "Canon EOS 80D", 20, "80D"},
        {"Canon Inc.", "Canon EOS 100D", 21, "100D"},
        {"Canon Inc.", "Canon EOS Rebel SL1", 21, "100D"},
        {"Canon Inc.", "Canon EOS Kiss X7", 21, "100D"},
        {"Canon Inc.", "Canon EOS 200D", 22, "200D"},
        {"Canon Inc.", "Canon EOS Rebel SL2", 22, "200D"},
        {"Canon Inc.", "Canon EOS 350D DIGITAL", 23, "350D"},
        {"Canon Inc.", "Canon EOS DIGITAL REBEL XT", 23, "350D"},
        {"Canon Inc.", "Canon EOS Kiss Digital N", 23, "350D"},
        {"Canon Inc.", "Canon EOS 400D DIGITAL", 24, "400D"},
        {"Canon Inc.", "Canon EOS DIGITAL REBEL XTi", 24, "400D"},
        {"Canon Inc.", "Canon EOS Kiss Digital X", 24, "400D"},
        {"Canon Inc.", "Canon EOS 450D", 25, "450D"},
        {"Canon Inc.", "Canon EOS REBEL XSi", 25, "450D"},
        {"Canon Inc.", "Canon EOS Kiss X2", 25, "450D"},
        {"Canon Inc.", "Canon EOS 500D", 26, "500D"},
        {"Canon Inc.", "Canon EOS REBEL T1i", 26, "500D"},
        {"Canon Inc.", "Canon EOS 550D", 27, "550D"},
        {"Canon Inc.", "Canon EOS Kiss X4", 27, "550D"},
        {"Canon Inc.", "Canon EOS 600D", 28, "600D"},
        {"Canon Inc.", "Canon EOS REBEL T3i", 28, "600D"},
        {"Canon Inc.", "Canon EOS 650D", 29, "650D"},
        {"Canon Inc.", "Canon EOS Kiss X6i", 29, "650D"},
        {"Canon Inc.", "Canon EOS 700D", 30, "700D"},
        {"Canon Inc.", "Canon EOS Rebel T5i", 30, "700D"},
        {"Canon Inc.", "Canon EOS 750D", 31, "750D"},
        {"Canon Inc.", "Canon EOS Kiss X8i", 31, "750D"},
        {"Canon Inc.", "Canon EOS 760D", 32, "760D"},
        {"Canon Inc.", "Canon EOS Rebel T6s", 32, "760D"},
        {"Canon Inc.", "Canon EOS 8000D", 32, "760D"},
        {"Canon Inc.", "Canon EOS 800D", 33, "800D"},
        {"Canon Inc.", "Canon EOS Rebel T7i", 33, "800D"},
        {"Canon Inc.", "Canon EOS Kiss X9i", 33, "800D"},
        {"Canon Inc.", "Canon EOS 1000D", 34, "1000D"},
        {"Canon Inc.", "Canon EOS REBEL XS", 34, "1000D"},
        {"Canon Inc.", "Canon EOS Kiss F", 34, "1000D"},
        {"Canon Inc.", "Canon EOS 1100D", 35, "1100D"},
        {"Canon Inc.", "Canon EOS REBEL T3", 35, "1100D"},
        {"Canon Inc.", "Canon EOS Kiss X50", 35, "1100D"},
        {"Canon Inc.", "Canon EOS 1200D", 36, "1200D"},
        {"Canon Inc.", "Canon EOS Rebel T5", 36, "1200D"},
        {"Canon Inc.", "Canon EOS 1300D", 37, "1300D"},
        {"Canon Inc.", "Canon EOS Kiss X80", 37, "1300D"},
        {"Canon Inc.", "Canon EOS M50", 84, "unknown"},
        // No token rule holds: the substring fallback still finds the model.
        {"Canon Inc.", "EOS1000D", 34, "1000D"},
        {"FUJIFILM", "X-T2", 38, "X-T2"},
        {"FUJIFILM", "X-T3", 84, "unknown"},
        {"Nikon Corporation", "D3", 39, "D3"},
        {"Nikon Corporation", "D3S", 40, "D3s"},
        {"Nikon Corporation", "D3X", 41, "D3x"},
        {"Nikon Corporation", "D4", 42, "D4"},
        {"Nikon Corporation", "D4S", 43, "D4s"},
        {"Nikon Corporation", "D5", 44, "D5"},
        {"Nikon Corporation", "D40", 45, "D40"},
        {"Nikon Corporation", "D60", 46, "D60"},
        {"Nikon Corporation", "D80", 47, "D80"},
        {"Nikon Corporation", "D90", 48, "D90"},
        {"Nikon Corporation", "D200", 49, "D200"},
        {"Nikon Corporation", "D300", 50, "D300"},
        {"Nikon Corporation", "D300S", 51, "D300s"},
        {"Nikon Corporation", "D500", 52, "D500"},
        {"Nikon Corporation", "D600", 53, "D600"},
        {"Nikon Corporation", "D610", 54, "D610"},
        {"Nikon Corporation", "D700", 55, "D700"},
        {"Nikon Corporation", "D750", 56, "D750"},
        {"Nikon Corporation", "D800", 57, "D800"},
        {"Nikon Corporation", "D800E", 58, "D800E"},
        {"Nikon Corporation", "NIKON D810", 59, "D810"},
        {"Nikon Corporation", "NIKON D810A", 60, "D810A"},
        {"Nikon Corporation", "D850", 61, "D850"},
        {"Nikon Corporation", "D3000", 62, "D3000"},
        {"Nikon Corporation", "D3100", 63, "D3100"},
        {"Nikon Corporation", "D3200", 64, "D3200"},
        {"Nikon Corporation", "D3300", 65, "D3300"},
        {"Nikon Corporation", "D3400", 66, "D3400"},
        {"Nikon Corporation", "D5000", 67, "D5000"},
        {"Nikon Corporation", "D5100", 68, "D5100"},
        {"Nikon Corporation", "D5200", 69, "D5200"},
        {"Nikon Corporation", "D5300", 70, "D5300"},
        {"Nikon Corporation", "D5500", 71, "D5500"},
        {"Nikon Corporation", "D5600", 72, "D5600"},
        {"Nikon Corporation", "D7000", 73, "D7000"},
        {"Nikon Corporation", "D7100", 74, "D7100"},
        {"Nikon Corporation", "D7200", 75, "D7200"},
        {"Nikon Corporation", "D7500", 76, "D7500"},
        {"Nikon Corporation", "Df", 77, "Df"},
        {"Nikon Corporation", "COOLPIX S2800", 78, "S2800"},
        {"Nikon Corporation", "COOLPIX S3600", 79, "S3600"},
        {"Nikon Corporation", "COOLPIX S6700", 80, "S6700"},
        {"Nikon Corporation", "COOLPIX S9100", 81, "S9100"},
        {"Nikon Corporation", "Z 7", 84, "unknown"},
        {"RICOH", "RICOH THETA S", 82, "Theta S"},
        {"RICOH", "RICOH THETA V", 83, "Theta V"},
        {"RICOH", "RICOH THETA Z1", 84, "unknown"},
        // Not recognised makers name no model, whatever the text says.
        {"Acme", "D810", 84, "unknown"},
        {"", "Canon EOS 5D", 84, "unknown"},
        {"Canon Inc.", "", 84, "unknown"},
    };
    bool seen[MTP_MODEL_COUNT] = {};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.manufacturer) + " / " + c.model);
        const u32 model = identify(c.manufacturer, c.model);
        EXPECT_EQ(model, c.index);
        EXPECT_STREQ(mtp_model_to_cstr(model), c.name);
        if (model < MTP_MODEL_COUNT)
            seen[model] = true;
    }
    for (u32 i = 0; i < MTP_MODEL_COUNT; ++i)
        EXPECT_TRUE(seen[i]) << "model " << i << " has no case";
    EXPECT_STREQ(mtp_model_to_cstr(MTP_MODEL_UNKNOWN), "unknown");
    EXPECT_STREQ(mtp_model_to_cstr(0xFFFFFFFF), "unknown");
}

TEST(MtpIdentify, CanonTokenRulesAndSubstringOrder)
{
    // The token reader looks at Canon only; the substring reader at any maker.
    EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_NIKON, S("Canon EOS 5D")), MTP_MODEL_UNKNOWN);
    EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_UNKNOWN, S("Canon EOS 5D")), MTP_MODEL_UNKNOWN);
    EXPECT_EQ(mtp_model_from_cstr(MTP_MANUFACTURER_CANON, S("CANON EOS 5D MARKIII")), 7u);
    EXPECT_EQ(mtp_model_from_cstr(MTP_MANUFACTURER_CANON, S("canon eos 5ds r")), 10u);
    // "5D" with "III" comes before "5D" with "II", which comes before "5D".
    EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_CANON, S("5D_III")), 7u);
    EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_CANON, S("II,5D")), 6u);
    // Separators: blank, '-', '_', ',', '.', tab.
    EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_CANON, S("EOS\tKISS.X9I")), 33u);
    EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_CANON, S("x9i kiss")), 33u) << "B may come before A";
    EXPECT_EQ(mtp_model_from_cstr(MTP_MANUFACTURER_NIKON, S("nikon d3s")), 40u);
    EXPECT_EQ(mtp_model_from_cstr(MTP_MANUFACTURER_RICOH, S("Theta V")), 83u);
    EXPECT_EQ(mtp_model_from_cstr(MTP_MANUFACTURER_UNKNOWN, S("THETA V")), MTP_MODEL_UNKNOWN);
}

TEST(MtpIdentify, AllocationFailureAnswersNotRecognised)
{
    LogCapture log;
    {
        FailingAllocator failing;
        EXPECT_EQ(mtp_manufacturer_from_cstr(S("Canon Inc.")), MTP_MANUFACTURER_UNKNOWN);
        EXPECT_EQ(mtp_model_from_cstr(MTP_MANUFACTURER_NIKON, S("D810")), MTP_MODEL_UNKNOWN);
        EXPECT_EQ(mtp_canon_model_from_cstr(MTP_MANUFACTURER_CANON, S("Canon EOS 5D")), MTP_MODEL_UNKNOWN);
    }
    EXPECT_TRUE(log.Contains("Failed to allocate memory: 11 bytes"));
    EXPECT_TRUE(log.Contains("Failed to allocate memory: 5 bytes"));
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
}
