// The PTP codec: transfer-buffer storage rules, reads and writes of every
// datatype (reads that do not fit leave the cursor put), counts from the wire
// that lie, PTP strings without regard to the locale, date-times, typed values
// and the property forms with the Range cap. Wire bytes come from the
// responder's independent encoder.
#include "orvo/camera/mtp_codec.h"
#include "support/ptpsim/ptpsim_encoder.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

using namespace orvo;
using lumivane_test::FailingAllocator;
using lumivane_test::LogCapture;
using lumivane_test::Str;
using ptpsim::Bytes;
using ptpsim::Encoder;

namespace
{
// A read-only view of test bytes, as the transport hands a data phase over.
mtp_buffer_t view(const Bytes& bytes)
{
    return mtp_buffer_t{const_cast<u8*>(bytes.data()), bytes.size(), bytes.size(), false};
}

Bytes contents(const mtp_buffer_t& buffer)
{
    return Bytes(buffer.data, buffer.data + buffer.length);
}

// The elements of an integer array value, widened.
std::vector<i64> elements_of(const mtp_datavalue_t& value)
{
    std::vector<i64> out;
    for (u64 i = 0; i < mtp_datavalue_num_elements(value); ++i)
    {
        mtp_datavalue_t element = mtp_datavalue_get_element(value, i);
        switch (element.datatype)
        {
        case MTP_DATATYPE_INT64:
            out.push_back(element.int64);
            break;
        case MTP_DATATYPE_UINT64:
            out.push_back(static_cast<i64>(element.uint64));
            break;
        case MTP_DATATYPE_UINT8:
        case MTP_DATATYPE_UINT16:
        case MTP_DATATYPE_UINT32:
            out.push_back(mtp_datavalue_to_uint(element));
            break;
        default:
            out.push_back(mtp_datavalue_to_int(element));
            break;
        }
        mtp_datavalue_release(element);
    }
    return out;
}

std::vector<std::string> strings_of(const stringarray_t& list)
{
    std::vector<std::string> out;
    for (u64 i = 0; i < list.strings.count; ++i)
        out.push_back(Str(list.strings.data[i]));
    return out;
}

// A value that releases itself.
struct Value
{
    mtp_datavalue_t v;
    explicit Value(u32 datatype) { mtp_datavalue_initialise(v, datatype); }
    ~Value() { mtp_datavalue_release(v); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
};

struct Buffer
{
    mtp_buffer_t b;
    Buffer() { mtp_buffer_initialise(b); }
    ~Buffer() { mtp_buffer_release(b); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

// --- integer reads and writes, one generic checker per width ---------------------------

typedef bool (*read_fn)(const mtp_buffer_t&, u64&, u64& bits);
typedef bool (*write_fn)(mtp_buffer_t&, u64&, u64 bits);

const u64 SENTINEL = 0x5A;

template <typename T>
bool read_as(const mtp_buffer_t& buffer, u64& cursor, u64& bits)
{
    T value = static_cast<T>(SENTINEL);
    bool ok = mtp_buffer_extract(buffer, cursor, value);
    bits = static_cast<u64>(static_cast<typename std::make_unsigned<T>::type>(value));
    return ok;
}

template <typename T>
bool write_as(mtp_buffer_t& buffer, u64& cursor, u64 bits)
{
    return mtp_buffer_write(buffer, cursor, static_cast<T>(bits));
}

struct IntegerCase
{
    const char* name;
    read_fn read;
    write_fn write;
    Bytes bytes;
    u64 cursor;   // where the read starts
    bool fits;
    u64 bits;     // the value read, as unsigned bits of its width
};
} // namespace

TEST(MtpCodec, IntegerReadsAndWritesPerWidth)
{
    const IntegerCase cases[] = {
        {"i8 reads a negative byte", read_as<i8>, write_as<i8>, {0xFF}, 0, true, 0xFF},
        {"u8 reads one byte", read_as<u8>, write_as<u8>, {0xAB}, 0, true, 0xAB},
        {"u8 from an empty buffer", read_as<u8>, write_as<u8>, {}, 0, false, 0},
        {"i16 is little-endian", read_as<i16>, write_as<i16>, {0xFE, 0xFF}, 0, true, 0xFFFE},
        {"u16 is little-endian", read_as<u16>, write_as<u16>, {0x34, 0x12}, 0, true, 0x1234},
        {"u16 with one byte left", read_as<u16>, write_as<u16>, {0x34}, 0, false, 0},
        {"u16 at an offset", read_as<u16>, write_as<u16>, {0x00, 0x34, 0x12}, 1, true, 0x1234},
        {"i32 is little-endian", read_as<i32>, write_as<i32>, {0xFE, 0xFF, 0xFF, 0xFF}, 0, true, 0xFFFFFFFE},
        {"u32 is little-endian", read_as<u32>, write_as<u32>, {0x78, 0x56, 0x34, 0x12}, 0, true, 0x12345678},
        {"u32 with three bytes left", read_as<u32>, write_as<u32>, {0, 0, 0x78, 0x56, 0x34}, 2, false, 0},
        {"u32 with the cursor past the end", read_as<u32>, write_as<u32>, {1, 2, 3, 4}, 10, false, 0},
        {"i64 is little-endian", read_as<i64>, write_as<i64>, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0,
         true, 0xFFFFFFFFFFFFFFFEull},
        {"u64 is little-endian", read_as<u64>, write_as<u64>, {8, 7, 6, 5, 4, 3, 2, 1}, 0, true,
         0x0102030405060708ull},
        {"u64 with seven bytes left", read_as<u64>, write_as<u64>, {8, 7, 6, 5, 4, 3, 2}, 0, false, 0},
        {"long long is the same as i64", read_as<long long>, write_as<long long>, {1, 0, 0, 0, 0, 0, 0, 0x80}, 0,
         true, 0x8000000000000001ull},
        {"unsigned long long", read_as<unsigned long long>, write_as<unsigned long long>, {1, 2, 3, 4, 5, 6, 7, 8},
         0, true, 0x0807060504030201ull},
    };
    for (const IntegerCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        mtp_buffer_t buffer = view(c.bytes);
        u64 cursor = c.cursor;
        u64 bits = 0;
        EXPECT_EQ(c.read(buffer, cursor, bits), c.fits);
        if (!c.fits)
        {
            EXPECT_EQ(cursor, c.cursor) << "a read that does not fit leaves the cursor put";
            EXPECT_EQ(bits & 0xFF, SENTINEL) << "and the target untouched";
            continue;
        }
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(cursor, c.bytes.size());

        // Writing the value back gives the bytes it was read from.
        Buffer out;
        u64 write_cursor = 0;
        ASSERT_TRUE(c.write(out.b, write_cursor, c.bits));
        EXPECT_EQ(write_cursor, out.b.length);
        EXPECT_EQ(contents(out.b), Bytes(c.bytes.begin() + static_cast<long>(c.cursor), c.bytes.end()));
    }
}

TEST(MtpCodec, Uint128ReadsSixteenBytesInWireOrder)
{
    Bytes bytes;
    for (u8 i = 0; i < 17; ++i)
        bytes.push_back(i);
    mtp_buffer_t buffer = view(bytes);
    u64 cursor = 1;
    uint128_t value;
    ASSERT_TRUE(mtp_buffer_extract(buffer, cursor, value));
    EXPECT_EQ(cursor, 17u);
    EXPECT_EQ(value.bytes[0], 1);
    EXPECT_EQ(value.bytes[15], 16);
    cursor = 2;
    EXPECT_FALSE(mtp_buffer_extract(buffer, cursor, value));
    EXPECT_EQ(cursor, 2u);
}

TEST(MtpCodec, WritesAppendInOrderAndRefuseACursorPastTheEnd)
{
    LogCapture log;
    Buffer out;
    u64 cursor = 0;
    ASSERT_TRUE(mtp_buffer_write(out.b, cursor, u16(0x1016)));
    ASSERT_TRUE(mtp_buffer_write(out.b, cursor, u32(0xAABBCCDD)));
    ASSERT_TRUE(mtp_buffer_write(out.b, cursor, i8(-1)));
    EXPECT_EQ(contents(out.b), (Bytes{0x16, 0x10, 0xDD, 0xCC, 0xBB, 0xAA, 0xFF}));
    EXPECT_EQ(cursor, 7u);

    // A cursor beyond the length would store outside the buffer.
    u64 wild = 20;
    EXPECT_FALSE(mtp_buffer_write(out.b, wild, u32(1)));
    EXPECT_EQ(wild, 20u);
    EXPECT_EQ(out.b.length, 7u);
    EXPECT_TRUE(log.Contains("MTP write at 20 beyond the buffer's 7 bytes"));
}

// --- transfer buffer storage ------------------------------------------------------------

TEST(MtpBuffer, AllocateKeepsLargeEnoughStorageAndClearKeepsIt)
{
    Buffer buffer;
    ASSERT_TRUE(mtp_buffer_allocate(buffer.b, 100));
    EXPECT_EQ(buffer.b.length, 100u);
    EXPECT_EQ(mtp_buffer_capacity(buffer.b), 100u);
    u8* storage = buffer.b.data;
    storage[10] = 0x42;
    ASSERT_TRUE(mtp_buffer_allocate(buffer.b, 50));
    EXPECT_EQ(buffer.b.data, storage);
    EXPECT_EQ(buffer.b.data[10], 0x42) << "kept storage keeps its bytes";
    mtp_buffer_clear(buffer.b);
    EXPECT_EQ(buffer.b.length, 0u);
    EXPECT_EQ(mtp_buffer_capacity(buffer.b), 100u);
    ASSERT_TRUE(mtp_buffer_allocate(buffer.b, 101));
    EXPECT_EQ(mtp_buffer_capacity(buffer.b), 101u) << "new storage is exactly n bytes";
    EXPECT_TRUE(buffer.b.owned);
}

TEST(MtpBuffer, WriteGrowsToTwiceTheCapacityPlusTheWrite)
{
    Buffer buffer;
    ASSERT_TRUE(mtp_buffer_allocate(buffer.b, 4));
    mtp_buffer_clear(buffer.b);
    u64 cursor = 0;
    ASSERT_TRUE(mtp_buffer_write(buffer.b, cursor, u32(1)));
    EXPECT_EQ(mtp_buffer_capacity(buffer.b), 4u);
    ASSERT_TRUE(mtp_buffer_write(buffer.b, cursor, u16(2)));
    EXPECT_EQ(mtp_buffer_capacity(buffer.b), 2u * 4u + 2u);
    EXPECT_EQ(contents(buffer.b), (Bytes{1, 0, 0, 0, 2, 0}));
}

TEST(MtpBuffer, SliceViewsWithoutOwningAndNeverWritesThroughToItsSource)
{
    Buffer source;
    ASSERT_TRUE(mtp_buffer_allocate(source.b, 8));
    for (u8 i = 0; i < 8; ++i)
        source.b.data[i] = i;

    Buffer slice;
    ASSERT_TRUE(mtp_buffer_slice(slice.b, source.b, 2, 4));
    EXPECT_FALSE(slice.b.owned);
    EXPECT_EQ(slice.b.data, source.b.data + 2);
    EXPECT_EQ(contents(slice.b), (Bytes{2, 3, 4, 5}));

    // Reusing the slice as a transfer buffer gives it storage of its own.
    mtp_buffer_clear(slice.b);
    u64 cursor = 0;
    ASSERT_TRUE(mtp_buffer_write(slice.b, cursor, u16(0xFFFF)));
    EXPECT_TRUE(slice.b.owned);
    ASSERT_TRUE(mtp_buffer_slice(slice.b, source.b, 0, 8));
    ASSERT_TRUE(mtp_buffer_allocate(slice.b, 2));
    EXPECT_TRUE(slice.b.owned);
    EXPECT_NE(slice.b.data, source.b.data);
    EXPECT_EQ(source.b.data[2], 2);
    EXPECT_EQ(source.b.data[0], 0);

    // A copy into a slice forgets the view and copies.
    ASSERT_TRUE(mtp_buffer_slice(slice.b, source.b, 4, 2));
    ASSERT_TRUE(mtp_buffer_copy(slice.b, source.b));
    EXPECT_TRUE(slice.b.owned);
    EXPECT_EQ(contents(slice.b), contents(source.b));
    mtp_buffer_release(slice.b);
    mtp_buffer_release(slice.b); // safe twice
}

TEST(MtpBuffer, SliceOutsideTheSourceIsRefused)
{
    LogCapture log;
    Buffer source;
    ASSERT_TRUE(mtp_buffer_allocate(source.b, 8));
    Buffer slice;
    EXPECT_FALSE(mtp_buffer_slice(slice.b, source.b, 6, 3));
    EXPECT_EQ(slice.b.data, nullptr);
    EXPECT_EQ(slice.b.length, 0u);
    EXPECT_FALSE(mtp_buffer_slice(slice.b, source.b, ~0ull, 2)) << "offset + n must not wrap";
    EXPECT_TRUE(log.Contains("MTP buffer slice"));
    EXPECT_TRUE(mtp_buffer_slice(slice.b, source.b, 8, 0));
}

TEST(MtpBuffer, AllocationFailuresLeaveTheBufferAsItWas)
{
    LogCapture log;
    Buffer buffer;
    ASSERT_TRUE(mtp_buffer_allocate(buffer.b, 4));
    buffer.b.data[0] = 9;
    u8* storage = buffer.b.data;
    {
        FailingAllocator failing;
        EXPECT_FALSE(mtp_buffer_allocate(buffer.b, 64));
        u64 cursor = 4;
        EXPECT_FALSE(mtp_buffer_write(buffer.b, cursor, u32(1)));
        EXPECT_EQ(cursor, 4u);
    }
    EXPECT_EQ(buffer.b.data, storage);
    EXPECT_EQ(buffer.b.length, 4u);
    EXPECT_EQ(buffer.b.data[0], 9);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
    EXPECT_TRUE(log.Contains("Failed to allocate MTP transfer buffer (64 bytes)"));
    EXPECT_TRUE(log.Contains("Failed to reallocate MTP transfer buffer (4 bytes)"));
}

TEST(MtpBuffer, ZeroedRecordIsSafeToReleaseAndUse)
{
    mtp_buffer_t buffer;
    std::memset(&buffer, 0, sizeof(buffer));
    mtp_buffer_release(buffer);
    std::memset(&buffer, 0, sizeof(buffer));
    ASSERT_TRUE(mtp_buffer_allocate(buffer, 3));
    EXPECT_TRUE(buffer.owned);
    mtp_buffer_release(buffer);
}

// --- counted arrays -----------------------------------------------------------------------

namespace
{
struct ArrayCase
{
    const char* name;
    u32 datatype; // an integer array type
    Bytes bytes;
    i64 n;        // -1: the count is on the wire
    bool ok;
    std::vector<i64> elements;
    u64 cursor;
};
} // namespace

TEST(MtpCodec, ArraysReadTheirCountAndElements)
{
    const ArrayCase cases[] = {
        {"u16 array with its count", MTP_DATATYPE_AUINT16, Encoder().u16_array({1, 0x8000, 3}).take(), -1, true,
         {1, 0x8000, 3}, 10},
        {"empty array", MTP_DATATYPE_AUINT32, Encoder().u32(0).take(), -1, true, {}, 4},
        {"i8 elements sign-extend", MTP_DATATYPE_AINT8, Encoder().array({0xFF, 0x7F}, 1).take(), -1, true, {-1, 127},
         6},
        {"i64 elements in full", MTP_DATATYPE_AINT64, Encoder().array({0x8000000000000001ull}, 8).take(), -1, true,
         {static_cast<i64>(0x8000000000000001ull)}, 12},
        {"u64 elements", MTP_DATATYPE_AUINT64, Encoder().array({5, 6}, 8).take(), -1, true, {5, 6}, 20},
        {"i16 and i32", MTP_DATATYPE_AINT32, Encoder().array({0xFFFFFFFEull}, 4).take(), -1, true, {-2}, 8},
        {"u8 with an explicit count", MTP_DATATYPE_AUINT8, Bytes{7, 8, 9}, 2, true, {7, 8}, 2},
        {"i16 with an explicit count", MTP_DATATYPE_AINT16, Bytes{0xFF, 0xFF}, 1, true, {-1}, 2},
        {"missing count", MTP_DATATYPE_AUINT16, Bytes{3, 0, 0}, -1, false, {}, 0},
        {"count promises three, two arrive", MTP_DATATYPE_AUINT16, Encoder().u32(3).u16(1).u16(2).u8(0).take(), -1,
         false, {1, 2}, 8},
        {"explicit count past the data", MTP_DATATYPE_AUINT32, Encoder().u32(1).u16(2).take(), 2, false, {1}, 4},
    };
    for (const ArrayCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        Value value(c.datatype);
        mtp_buffer_t buffer = view(c.bytes);
        u64 cursor = 0;
        bool ok = c.n < 0 ? mtp_datavalue_parse(value.v, buffer, cursor)
                          : mtp_datavalue_parse(value.v, buffer, cursor, static_cast<u64>(c.n));
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(elements_of(value.v), c.elements);
        EXPECT_EQ(cursor, c.cursor);
    }
}

TEST(MtpCodec, ArrayCountThatLiesAllocatesOnlyForTheBytesPresent)
{
    // A camera claims four billion codes and sends three: nothing is sized by
    // the claim.
    Bytes bytes = Encoder().u32(0xFFFFFFFF).u16(1).u16(2).u16(3).take();
    vector_t<u16> codes;
    vector_initialise(codes, 0, false);
    u64 cursor = 0;
    EXPECT_FALSE(mtp_buffer_extract(view(bytes), cursor, codes));
    EXPECT_EQ(codes.count, 3u);
    EXPECT_LE(codes.capacity, 3u);
    EXPECT_EQ(cursor, bytes.size());
    vector_release(codes);

    // The same for a 64-bit array behind an explicit count, and a list of
    // strings whose count lies.
    vector_t<u64> wide;
    vector_initialise(wide, 0, false);
    Bytes eight = Encoder().u64(1).take();
    cursor = 0;
    EXPECT_FALSE(mtp_buffer_extract(view(eight), cursor, wide, 1ull << 40));
    EXPECT_LE(wide.capacity, 1u);
    vector_release(wide);

    stringarray_t list;
    stringarray_initialise(list);
    Bytes strings = Encoder().u32(0xFFFFFFFF).str("a").take();
    cursor = 0;
    EXPECT_FALSE(mtp_buffer_extract(view(strings), cursor, list));
    EXPECT_EQ(strings_of(list), std::vector<std::string>{"a"});
    stringarray_release(list);
}

// --- PTP strings ------------------------------------------------------------------------

namespace
{
struct StringReadCase
{
    const char* name;
    Bytes bytes;
    bool ok;
    std::string text; // on failure: the target keeps its previous text
    u64 cursor;
};

const Bytes camera_bytes = {0x07, 0x43, 0x00, 0x61, 0x00, 0x6D, 0x00, 0x65, 0x00,
                            0x72, 0x00, 0x61, 0x00, 0x00, 0x00};

void check_string_reads()
{
    const StringReadCase cases[] = {
        {"Camera", camera_bytes, true, "Camera", 15},
        {"the empty string is one zero byte", Bytes{0x00}, true, "", 1},
        {"no count byte", Bytes{}, false, "previous", 0},
        {"count promises more than is there", Encoder().str_claiming(5, {'a', 'b'}).take(), false, "previous", 1},
        {"tab and other C0 controls dropped", Encoder().str_units({'A', '\t', 'B', 0x1B, 'C'}).take(), true, "ABC",
         13},
        {"DEL and C1 controls dropped", Encoder().str_units({'x', 0x7F, 0x85, 0x9F, 'y'}).take(), true, "xy", 13},
        {"a zero unit inside is dropped", Encoder().str_units({'a', 0, 'b'}).take(), true, "ab", 9},
        {"Latin-1 becomes UTF-8", Encoder().str_units({'M', 0xFC, 'l', 'l', 'e', 'r'}).take(), true,
         "M\xC3\xBCller", 15},
        {"BMP beyond Latin-1", Encoder().str_units({0x20AC}).take(), true, "\xE2\x82\xAC", 5},
        {"a surrogate pair is one character", Encoder().str("\xF0\x9F\x98\x80").take(), true, "\xF0\x9F\x98\x80",
         7},
        {"a lone surrogate is dropped", Encoder().str_units({'a', 0xD800, 'b', 0xDC00}).take(), true, "ab", 11},
        {"no terminator unit", Encoder().str_units({'A', 'B'}, false).take(), true, "AB", 5},
    };
    for (const StringReadCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        stringbuffer_t text;
        stringbuffer_initialise(text);
        stringbuffer_set(text, "previous");
        u64 cursor = 0;
        EXPECT_EQ(mtp_buffer_extract(view(c.bytes), cursor, text), c.ok);
        EXPECT_EQ(Str(text), c.text);
        EXPECT_EQ(cursor, c.cursor);
        EXPECT_EQ(text.str[text.length], '\0');
        stringbuffer_release(text);
    }
}
} // namespace

TEST(MtpCodec, FixtureEncoderWritesTheStandardLayout)
{
    // The fixtures are only worth something if the encoder itself is right;
    // these bytes are written out by hand from the PTP layout.
    EXPECT_EQ(Encoder().str("Camera").take(), camera_bytes);
    EXPECT_EQ(Encoder().str("").take(), Bytes{0x00});
    EXPECT_EQ(Encoder().u16_array({0x1001, 0x9116}).take(), (Bytes{2, 0, 0, 0, 0x01, 0x10, 0x16, 0x91}));
    EXPECT_EQ(Encoder().str_list({"a"}).take(), (Bytes{1, 0, 0, 0, 2, 'a', 0, 0, 0}));
    EXPECT_EQ(Encoder().u32(0x01020304).i16(-2).take(), (Bytes{4, 3, 2, 1, 0xFE, 0xFF}));
    ptpsim::Encoded info = ptpsim::encode_deviceinfo(ptpsim::DeviceInfo());
    EXPECT_EQ(info.offsets[ptpsim::kVendorExtensionId], 2u);
    EXPECT_EQ(info.offsets[ptpsim::kVendorExtensionDesc], 8u);
    EXPECT_EQ(info.offsets[ptpsim::kDeviceInfoEnd], info.bytes.size());
    ptpsim::Encoded object = ptpsim::encode_objectinfo(ptpsim::ObjectInfo());
    EXPECT_EQ(object.offsets[ptpsim::kParentObject], 38u);
    EXPECT_EQ(object.offsets[ptpsim::kFilename], 52u);
}

TEST(MtpCodec, StringsReadTheSameUnderEveryLocale)
{
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    {
        SCOPED_TRACE("C locale");
        check_string_reads();
    }
    if (std::setlocale(LC_ALL, "C.UTF-8") || std::setlocale(LC_ALL, "C.utf8"))
    {
        SCOPED_TRACE("UTF-8 locale");
        check_string_reads();
    }
    std::setlocale(LC_ALL, "C");
}

TEST(MtpCodec, StringWritesMatchTheWireFormatAndTheirSize)
{
    struct Case
    {
        const char* name;
        std::string text;
        Bytes bytes;
    };
    const Case cases[] = {
        {"Camera", "Camera", camera_bytes},
        {"the empty text", "", Bytes{0x01, 0x00, 0x00}},
        {"Latin-1 from UTF-8", "\xC3\xA9", Bytes{0x02, 0xE9, 0x00, 0x00, 0x00}},
        {"a character past U+FFFF as a surrogate pair", "\xF0\x9F\x98\x80",
         Bytes{0x03, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00}},
        {"a byte that is not UTF-8 is taken as Latin-1", "a\xE9", Bytes{0x03, 'a', 0, 0xE9, 0, 0, 0}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Buffer out;
        u64 cursor = 0;
        ASSERT_TRUE(mtp_buffer_write(out.b, cursor, string_make(c.text.c_str(), c.text.size())));
        EXPECT_EQ(contents(out.b), c.bytes);
        EXPECT_EQ(cursor, c.bytes.size());
        Value value(MTP_DATATYPE_STR);
        stringbuffer_set(value.v.str, string_make(c.text.c_str(), c.text.size()));
        EXPECT_EQ(mtp_datavalue_num_bytes(value.v), c.bytes.size());
    }
}

TEST(MtpCodec, StringLongerThanTheCountByteIsRefused)
{
    LogCapture log;
    Buffer out;
    u64 cursor = 0;
    std::string longest(MTP_STRING_MAX_UNITS, 'x');
    ASSERT_TRUE(mtp_buffer_write(out.b, cursor, string_make(longest.c_str())));
    EXPECT_EQ(out.b.data[0], 255);
    EXPECT_EQ(out.b.length, 1u + 2u * 255u);

    // One more would wrap the count to 0 and desynchronise everything after it.
    std::string too_long(MTP_STRING_MAX_UNITS + 1, 'x');
    const u64 before = out.b.length;
    EXPECT_FALSE(mtp_buffer_write(out.b, cursor, string_make(too_long.c_str())));
    EXPECT_EQ(out.b.length, before);
    EXPECT_EQ(cursor, before);
    EXPECT_TRUE(log.Contains("MTP string of 255 characters too long to write (limit 254)"));
}

TEST(MtpCodec, StringListsStopAtTheFirstBadString)
{
    stringarray_t list;
    stringarray_initialise(list);
    stringarray_append(list, string_make("stale"));

    Bytes good = Encoder().str_list({"6000x4000", "", "2976x1984"}).take();
    u64 cursor = 0;
    ASSERT_TRUE(mtp_buffer_extract(view(good), cursor, list));
    EXPECT_EQ(strings_of(list), (std::vector<std::string>{"6000x4000", "", "2976x1984"}));
    EXPECT_EQ(cursor, good.size());

    Bytes cut = Encoder().u32(3).str("a").str("b").str_claiming(4, {'c'}).take();
    cursor = 0;
    EXPECT_FALSE(mtp_buffer_extract(view(cut), cursor, list));
    EXPECT_EQ(strings_of(list), (std::vector<std::string>{"a", "b"}));

    Bytes bare = Encoder().str("x").str("y").take();
    cursor = 0;
    ASSERT_TRUE(mtp_buffer_extract(view(bare), cursor, list, 2));
    EXPECT_EQ(strings_of(list), (std::vector<std::string>{"x", "y"}));
    stringarray_release(list);
}

// --- date-time strings --------------------------------------------------------------------

TEST(MtpCodec, DateTimeStringsConvertOnlyWhenWellFormed)
{
    struct Case
    {
        const char* name;
        const char* text;
        bool ok;
        i32 year, month, day, hour, minute, second;
        i64 seconds; // since the epoch, TZ=UTC
    };
    const Case cases[] = {
        {"tenths ignored", "20171231T235959.0", true, 2017, 12, 31, 23, 59, 59, 1514764799},
        {"zone ignored", "20000101T000000Z", true, 2000, 1, 1, 0, 0, 0, 946684800},
        {"29 February of a leap year", "20160229T120000", true, 2016, 2, 29, 12, 0, 0, 1456747200},
        {"the year alone", "2017", false, 0, 0, 0, 0, 0, 0, 0},
        {"empty", "", false, 0, 0, 0, 0, 0, 0, 0},
        {"dashes and colons", "2017-12-31T23:59:59", false, 0, 0, 0, 0, 0, 0, 0},
        {"no T", "20171231 235959", false, 0, 0, 0, 0, 0, 0, 0},
        {"a sign", "+0171231T235959", false, 0, 0, 0, 0, 0, 0, 0},
        {"a blank inside a field", "2017 231T235959", false, 0, 0, 0, 0, 0, 0, 0},
        {"month 13", "20171301T000000", false, 0, 0, 0, 0, 0, 0, 0},
        {"30 February", "20170230T000000", false, 0, 0, 0, 0, 0, 0, 0},
        {"29 February of a common year", "20170229T000000", false, 0, 0, 0, 0, 0, 0, 0},
        {"day 0", "20170100T000000", false, 0, 0, 0, 0, 0, 0, 0},
        {"hour 24", "20171231T240000", false, 0, 0, 0, 0, 0, 0, 0},
        {"minute 60", "20171231T236000", false, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Value value(MTP_DATATYPE_STR);
        stringbuffer_set(value.v.str, c.text);
        datetime_t time;
        datetime_clear(time);
        time.year = 1234; // must survive a failure
        ASSERT_EQ(mtp_datavalue_to_datetime(value.v, time), c.ok);
        if (!c.ok)
        {
            EXPECT_EQ(time.year, 1234);
            continue;
        }
        EXPECT_EQ(time.year, c.year);
        EXPECT_EQ(time.month, c.month);
        EXPECT_EQ(time.day, c.day);
        EXPECT_EQ(time.hour, c.hour);
        EXPECT_EQ(time.minute, c.minute);
        EXPECT_EQ(time.second, c.second);
        EXPECT_EQ(time.microsecond, 0);
        EXPECT_EQ(time.ticks, c.seconds * 1000000);
    }

    Value number(MTP_DATATYPE_UINT32);
    datetime_t time;
    EXPECT_FALSE(mtp_datavalue_to_datetime(number.v, time));
}

TEST(MtpCodec, DateTimeReadKeepsTheCursorOnFailure)
{
    Bytes bytes = Encoder().str("20171231T235959").str("garbage").take();
    mtp_buffer_t buffer = view(bytes);
    datetime_t time;
    u64 cursor = 0;
    ASSERT_TRUE(mtp_buffer_extract(buffer, cursor, time));
    EXPECT_EQ(time.ticks, 1514764799ll * 1000000);
    const u64 second = cursor;
    EXPECT_FALSE(mtp_buffer_extract(buffer, cursor, time));
    EXPECT_EQ(cursor, second);
}

// --- typed values --------------------------------------------------------------------------

TEST(MtpDatavalue, NamesAndArrayForms)
{
    EXPECT_STREQ(mtp_datatype_to_cstr(MTP_DATATYPE_UNDEFINED), "Undefined");
    EXPECT_STREQ(mtp_datatype_to_cstr(MTP_DATATYPE_UINT128), "UINT128");
    EXPECT_STREQ(mtp_datatype_to_cstr(MTP_DATATYPE_AINT8), "AINT8");
    EXPECT_STREQ(mtp_datatype_to_cstr(MTP_DATATYPE_AUINT128), "AUINT128");
    EXPECT_STREQ(mtp_datatype_to_cstr(MTP_DATATYPE_ASTR), "ASTR");
    EXPECT_STREQ(mtp_datatype_to_cstr(MTP_DATATYPE_STR), "STR");
    EXPECT_STREQ(mtp_datatype_to_cstr(0x000B), "unknown");
    EXPECT_STREQ(mtp_datatype_to_cstr(0x400B), "unknown");
    EXPECT_STREQ(mtp_datasetform_to_cstr(0), "None");
    EXPECT_STREQ(mtp_datasetform_to_cstr(7), "LongString");
    EXPECT_STREQ(mtp_datasetform_to_cstr(8), "unknown");

    EXPECT_EQ(mtp_datatype_to_array(MTP_DATATYPE_UNDEFINED), MTP_DATATYPE_UNDEFINED);
    EXPECT_EQ(mtp_datatype_to_array(MTP_DATATYPE_STR), MTP_DATATYPE_ASTR);
    EXPECT_EQ(mtp_datatype_to_array(MTP_DATATYPE_UINT16), MTP_DATATYPE_AUINT16);
    EXPECT_EQ(mtp_datatype_from_array(MTP_DATATYPE_ASTR), MTP_DATATYPE_STR);
    EXPECT_EQ(mtp_datatype_from_array(MTP_DATATYPE_AINT64), MTP_DATATYPE_INT64);
    EXPECT_EQ(mtp_datatype_from_array(MTP_DATATYPE_UNDEFINED), MTP_DATATYPE_UNDEFINED);
    EXPECT_TRUE(mtp_datatype_is_array(MTP_DATATYPE_ASTR));
    EXPECT_TRUE(mtp_datatype_is_array(MTP_DATATYPE_AUINT8));
    EXPECT_FALSE(mtp_datatype_is_array(MTP_DATATYPE_STR));
    EXPECT_FALSE(mtp_datatype_is_array(MTP_DATATYPE_UINT32));
}

TEST(MtpDatavalue, ParseByDatatypeRefusesWhatItCannotHold)
{
    Bytes bytes = Encoder().u32(7).take();
    for (u32 datatype : {0x0000u, 0x0009u, 0x400Au, 0x1234u})
    {
        SCOPED_TRACE(datatype);
        Value value(datatype);
        u64 cursor = 0;
        EXPECT_FALSE(mtp_datavalue_parse(value.v, view(bytes), cursor));
        EXPECT_FALSE(mtp_datavalue_parse(value.v, view(bytes), cursor, 1));
        EXPECT_EQ(cursor, 0u);
    }
    Value scalar(MTP_DATATYPE_UINT32);
    u64 cursor = 0;
    EXPECT_FALSE(mtp_datavalue_parse(scalar.v, view(bytes), cursor, 1)) << "a count means nothing to a scalar";
    ASSERT_TRUE(mtp_buffer_extract(view(bytes), cursor, scalar.v));
    EXPECT_EQ(scalar.v.uint32, 7u);
}

TEST(MtpDatavalue, CopiesAreDeepAndSurviveTheSource)
{
    Value list(MTP_DATATYPE_ASTR);
    stringarray_append(list.v.astr, string_make("Liveview"));
    stringarray_append(list.v.astr, string_make("Movie"));
    Value array(MTP_DATATYPE_AUINT16);
    for (u16 i = 0; i < 20; ++i) // more than the initial room of 8
        vector_insert(array.v.auint16, i);
    Value text(MTP_DATATYPE_STR);
    stringbuffer_set(text.v.str, "1/125");
    Value number(MTP_DATATYPE_INT16);
    number.v.int16 = -333;

    for (Value* source : {&list, &array, &text, &number})
    {
        SCOPED_TRACE(mtp_datatype_to_cstr(source->v.datatype));
        Value copy(MTP_DATATYPE_UINT8);
        ASSERT_TRUE(mtp_datavalue_set(copy.v, source->v));
        EXPECT_EQ(copy.v.datatype, source->v.datatype);
        EXPECT_TRUE(mtp_datavalue_equals(copy.v, source->v));
        mtp_datavalue_clear(source->v);
        EXPECT_EQ(mtp_datavalue_equals(copy.v, source->v), false) << "the copy owns its contents";
        ASSERT_TRUE(mtp_datavalue_set(source->v, copy.v));
    }
    EXPECT_TRUE(mtp_datavalue_set(text.v, text.v)) << "a copy onto itself changes nothing";
    EXPECT_EQ(Str(text.v.str), "1/125");
}

TEST(MtpDatavalue, CopyThatCannotAllocateLeavesAnEmptyTarget)
{
    LogCapture log;
    Value array(MTP_DATATYPE_AUINT32);
    for (u32 i = 0; i < 9; ++i)
        vector_insert(array.v.auint32, i);
    Value copy(MTP_DATATYPE_UINT8);
    {
        FailingAllocator failing(1); // the fresh room for 8 succeeds, the exact copy fails
        EXPECT_FALSE(mtp_datavalue_set(copy.v, array.v));
    }
    EXPECT_EQ(copy.v.datatype, MTP_DATATYPE_AUINT32);
    EXPECT_EQ(mtp_datavalue_num_elements(copy.v), 0u);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
}

TEST(MtpDatavalue, EqualityByDatatypeAndContents)
{
    struct Case
    {
        const char* name;
        u32 type_a;
        std::vector<u64> a;
        u32 type_b;
        std::vector<u64> b;
        bool equal;
    };
    const Case cases[] = {
        {"same u16", MTP_DATATYPE_UINT16, {5}, MTP_DATATYPE_UINT16, {5}, true},
        {"different u16", MTP_DATATYPE_UINT16, {5}, MTP_DATATYPE_UINT16, {6}, false},
        {"same bits, different types", MTP_DATATYPE_UINT16, {5}, MTP_DATATYPE_INT16, {5}, false},
        {"u64 differ in the high half", MTP_DATATYPE_UINT64, {1}, MTP_DATATYPE_UINT64, {(1ull << 32) | 1}, false},
        {"two empty arrays", MTP_DATATYPE_AUINT8, {}, MTP_DATATYPE_AUINT8, {}, true},
        {"arrays of different counts", MTP_DATATYPE_AUINT8, {1}, MTP_DATATYPE_AUINT8, {1, 2}, false},
        {"equal arrays", MTP_DATATYPE_AINT32, {1, 2}, MTP_DATATYPE_AINT32, {1, 2}, true},
        {"64-bit array elements compare in full", MTP_DATATYPE_AUINT64, {1}, MTP_DATATYPE_AUINT64,
         {(1ull << 32) | 1}, false},
        {"Undefined is never equal", MTP_DATATYPE_UNDEFINED, {}, MTP_DATATYPE_UNDEFINED, {}, false},
        {"INT128 is never equal", MTP_DATATYPE_INT128, {}, MTP_DATATYPE_INT128, {}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Value a(c.type_a);
        Value b(c.type_b);
        Bytes bytes_a = mtp_datatype_is_array(c.type_a)
                            ? Encoder().array(c.a, ptpsim::datatype_width(static_cast<u16>(c.type_a))).take()
                            : Encoder().integer(c.a.empty() ? 0 : c.a[0], 8).take();
        Bytes bytes_b = mtp_datatype_is_array(c.type_b)
                            ? Encoder().array(c.b, ptpsim::datatype_width(static_cast<u16>(c.type_b))).take()
                            : Encoder().integer(c.b.empty() ? 0 : c.b[0], 8).take();
        u64 cursor = 0;
        mtp_datavalue_parse(a.v, view(bytes_a), cursor);
        cursor = 0;
        mtp_datavalue_parse(b.v, view(bytes_b), cursor);
        EXPECT_EQ(mtp_datavalue_equals(a.v, b.v), c.equal);
        EXPECT_EQ(mtp_datavalue_not_equals(a.v, b.v), !c.equal);
    }

    Value s1(MTP_DATATYPE_STR), s2(MTP_DATATYPE_STR);
    stringbuffer_set(s1.v.str, "AUTO");
    stringbuffer_set(s2.v.str, "AUTO");
    EXPECT_TRUE(mtp_datavalue_equals(s1.v, s2.v));
    stringbuffer_set(s2.v.str, "Auto");
    EXPECT_FALSE(mtp_datavalue_equals(s1.v, s2.v));
    Value l1(MTP_DATATYPE_ASTR), l2(MTP_DATATYPE_ASTR);
    stringarray_append(l1.v.astr, string_make("a"));
    stringarray_append(l2.v.astr, string_make("a"));
    EXPECT_TRUE(mtp_datavalue_equals(l1.v, l2.v));
    stringarray_append(l2.v.astr, string_make("b"));
    EXPECT_FALSE(mtp_datavalue_equals(l1.v, l2.v));
}

TEST(MtpDatavalue, IntegerConversionsAndElementIndexesOutsideTheArray)
{
    struct Case
    {
        u32 datatype;
        u64 bits;
        i32 as_int;
    };
    const Case cases[] = {
        {MTP_DATATYPE_INT8, 0xFF, -1},         {MTP_DATATYPE_UINT8, 0xFF, 255},
        {MTP_DATATYPE_INT16, 0xFEB3, -333},    {MTP_DATATYPE_UINT16, 0xFEB3, 0xFEB3},
        {MTP_DATATYPE_INT32, 0x80000000, static_cast<i32>(0x80000000)},
        {MTP_DATATYPE_UINT64, 0x100000005ull, 5}, {MTP_DATATYPE_INT64, 0xFFFFFFFFFFFFFFFFull, -1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(mtp_datatype_to_cstr(c.datatype));
        Value value(c.datatype);
        Bytes bytes = Encoder().integer(c.bits, 8).take();
        u64 cursor = 0;
        ASSERT_TRUE(mtp_datavalue_parse(value.v, view(bytes), cursor));
        EXPECT_EQ(mtp_datavalue_to_int(value.v), c.as_int);
        EXPECT_EQ(mtp_datavalue_to_uint(value.v), static_cast<u32>(c.as_int));
        EXPECT_EQ(mtp_datavalue_num_elements(value.v), 1u);
    }
    Value text(MTP_DATATYPE_STR);
    EXPECT_EQ(mtp_datavalue_to_int(text.v), 0);

    Value array(MTP_DATATYPE_AINT16);
    vector_insert(array.v.aint16, i16(-5));
    vector_insert(array.v.aint16, i16(7));
    EXPECT_EQ(mtp_datavalue_to_int(array.v, 0), -5);
    EXPECT_EQ(mtp_datavalue_to_uint(array.v, 1), 7u);
    // An index a camera's current value pointed at, past the list's end.
    EXPECT_EQ(mtp_datavalue_to_int(array.v, 2), 0);
    EXPECT_EQ(mtp_datavalue_to_uint(array.v, ~0ull), 0u);
    EXPECT_EQ(mtp_datavalue_to_int(text.v, 0), 0);

    mtp_datavalue_t past = mtp_datavalue_get_element(array.v, 5);
    EXPECT_EQ(past.datatype, MTP_DATATYPE_INT16);
    EXPECT_EQ(past.int16, 0);
    mtp_datavalue_release(past);

    Value list(MTP_DATATYPE_ASTR);
    stringarray_append(list.v.astr, string_make("a"));
    mtp_datavalue_t first = mtp_datavalue_get_element(list.v, 0);
    mtp_datavalue_t beyond = mtp_datavalue_get_element(list.v, 1);
    EXPECT_EQ(first.datatype, MTP_DATATYPE_STR);
    EXPECT_EQ(Str(first.str), "a");
    EXPECT_EQ(Str(beyond.str), "");
    mtp_datavalue_release(first);
    mtp_datavalue_release(beyond);

    Value scalar(MTP_DATATYPE_UINT32);
    scalar.v.uint32 = 99;
    mtp_datavalue_t zero = mtp_datavalue_get_element(scalar.v, 0);
    EXPECT_EQ(zero.datatype, MTP_DATATYPE_UINT32);
    EXPECT_EQ(zero.uint32, 0u) << "an integer that is no array gives the zero value";
}

TEST(MtpDatavalue, FindIndexPairsAnArrayWithItsElementType)
{
    Value list(MTP_DATATYPE_ASTR);
    stringarray_append(list.v.astr, string_make("a"));
    stringarray_append(list.v.astr, string_make("b"));
    Value b(MTP_DATATYPE_STR);
    stringbuffer_set(b.v.str, "b");
    EXPECT_EQ(mtp_datavalue_find_index(list.v, b.v), 1);
    stringbuffer_set(b.v.str, "c");
    EXPECT_EQ(mtp_datavalue_find_index(list.v, b.v), -1);

    Value codes(MTP_DATATYPE_AUINT32);
    vector_insert(codes.v.auint32, 3u);
    vector_insert(codes.v.auint32, 0x10005u);
    Value u16value(MTP_DATATYPE_UINT16);
    u16value.v.uint16 = 3;
    EXPECT_EQ(mtp_datavalue_find_index(codes.v, u16value.v), -1) << "UINT16 is not the element of AUINT32";
    Value u32value(MTP_DATATYPE_UINT32);
    u32value.v.uint32 = 0x10005;
    EXPECT_EQ(mtp_datavalue_find_index(codes.v, u32value.v), 1);
    EXPECT_EQ(mtp_datavalue_find_index(codes.v, codes.v), -1) << "an array is no element";
    EXPECT_EQ(mtp_datavalue_find_index(u32value.v, u32value.v), -1);

    Value wide(MTP_DATATYPE_AINT64);
    vector_insert(wide.v.aint64, i64(1));
    vector_insert(wide.v.aint64, (i64(1) << 40) + 1);
    Value needle(MTP_DATATYPE_INT64);
    needle.v.int64 = (i64(1) << 40) + 1;
    EXPECT_EQ(mtp_datavalue_find_index(wide.v, needle.v), 1);
}

TEST(MtpDatavalue, NumBytesMatchesWhatIsWrittenAndArraysAreNotWritten)
{
    struct Case
    {
        u32 datatype;
        u64 bytes;
    };
    for (const Case& c : {Case{MTP_DATATYPE_INT8, 1}, Case{MTP_DATATYPE_UINT16, 2}, Case{MTP_DATATYPE_INT32, 4},
                          Case{MTP_DATATYPE_UINT64, 8}})
    {
        SCOPED_TRACE(mtp_datatype_to_cstr(c.datatype));
        Value value(c.datatype);
        Buffer out;
        u64 cursor = 0;
        ASSERT_TRUE(mtp_datavalue_write(value.v, out.b, cursor));
        EXPECT_EQ(out.b.length, c.bytes);
        EXPECT_EQ(mtp_datavalue_num_bytes(value.v), c.bytes);
    }

    Value array(MTP_DATATYPE_AUINT32);
    vector_insert(array.v.auint32, 1u);
    vector_insert(array.v.auint32, 2u);
    EXPECT_EQ(mtp_datavalue_num_bytes(array.v), 4u + 2u * 4u);
    Value list(MTP_DATATYPE_ASTR);
    stringarray_append(list.v.astr, string_make("ab"));
    stringarray_append(list.v.astr, string_make(""));
    EXPECT_EQ(mtp_datavalue_num_bytes(list.v), 4u + 7u + 3u);
    Value nothing(MTP_DATATYPE_INT128);
    EXPECT_EQ(mtp_datavalue_num_bytes(nothing.v), 0u);

    Buffer out;
    u64 cursor = 0;
    ASSERT_TRUE(mtp_buffer_write(out.b, cursor, u8(1)));
    for (Value* unwritable : {&array, &list, &nothing})
    {
        SCOPED_TRACE(mtp_datatype_to_cstr(unwritable->v.datatype));
        EXPECT_FALSE(mtp_buffer_write(out.b, cursor, unwritable->v));
        EXPECT_EQ(out.b.length, 1u);
        EXPECT_EQ(cursor, 1u);
    }
}

TEST(MtpDatavalue, ReleaseIsSafeTwiceAndOnAZeroedRecord)
{
    for (u32 datatype : {MTP_DATATYPE_AUINT8, MTP_DATATYPE_ASTR, MTP_DATATYPE_STR, MTP_DATATYPE_UINT32})
    {
        SCOPED_TRACE(mtp_datatype_to_cstr(datatype));
        mtp_datavalue_t value;
        mtp_datavalue_initialise(value, datatype);
        mtp_datavalue_release(value);
        mtp_datavalue_release(value);
        EXPECT_EQ(value.datatype, datatype) << "the datatype stays for a later initialise";
        EXPECT_EQ(mtp_datavalue_num_elements(value), mtp_datatype_is_array(datatype) ? 0u : 1u);
    }
    mtp_datavalue_t zeroed;
    std::memset(static_cast<void*>(&zeroed), 0, sizeof(zeroed));
    mtp_datavalue_release(zeroed);
}

TEST(MtpDatavalue, PrintsEachDatatypeIntoTheLogLine)
{
    LogCapture log;
    Value i(MTP_DATATYPE_INT16);
    i.v.int16 = -333;
    Value u(MTP_DATATYPE_UINT32);
    u.v.uint32 = 0xFFFFFFFF;
    Value big(MTP_DATATYPE_INT64);
    big.v.int64 = -(i64(1) << 40);
    Value array(MTP_DATATYPE_AUINT8);
    vector_insert(array.v.auint8, u8(1));
    vector_insert(array.v.auint8, u8(255));
    Value wide(MTP_DATATYPE_AUINT64);
    vector_insert(wide.v.auint64, u64(1) << 40);
    Value list(MTP_DATATYPE_ASTR);
    stringarray_append(list.v.astr, string_make("a"));
    stringarray_append(list.v.astr, string_make("b"));
    Value text(MTP_DATATYPE_STR);
    stringbuffer_set(text.v.str, "Camera");
    Value nothing(MTP_DATATYPE_UINT128);

    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA));
    for (Value* value : {&i, &u, &big, &array, &wide, &list, &text, &nothing})
    {
        mtp_datavalue_print(value->v);
        log_print("|");
    }
    log_unlock();
    std::vector<std::string> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    const std::string& line = lines.back();
    EXPECT_NE(line.find("] -333|4294967295|-1099511627776|1, 255, |1099511627776, |a, b, |Camera||"),
              std::string::npos)
        << line;
}

// --- property forms -----------------------------------------------------------------------

namespace
{
struct Form
{
    mtp_dataset_t d;
    Form(u32 form, u32 datatype) { mtp_dataset_initialise(d, form, datatype); }
    ~Form() { mtp_dataset_release(d); }
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;
};

struct RangeCase
{
    const char* name;
    u16 datatype;
    i64 min, max, step;
    bool ok;
    std::vector<i64> values;  // checked when ok and no count is given
    u64 count;                // expected number of values
    const char* log;          // a line the case must log, or null
};
} // namespace

TEST(MtpDataset, RangeExpandsStepByStepWithinTheType)
{
    const RangeCase cases[] = {
        {"UINT8 1 to 5 step 2", ptpsim::kUint8, 1, 5, 2, true, {1, 3, 5}, 3, nullptr},
        {"min above max gives nothing", ptpsim::kUint8, 5, 1, 1, true, {}, 0, nullptr},
        {"a step that would carry past 255", ptpsim::kUint8, 250, 255, 2, true, {250, 252, 254}, 3, nullptr},
        {"the whole of UINT8", ptpsim::kUint8, 0, 255, 1, true, {}, 256, nullptr},
        {"the whole of INT8", ptpsim::kInt8, -128, 127, 1, true, {}, 256, nullptr},
        {"signed compares signed", ptpsim::kInt16, -5, 5, 5, true, {-5, 0, 5}, 3, nullptr},
        {"exposure bias in thirds", ptpsim::kInt16, -1000, 1000, 333, true, {-1000, -667, -334, -1, 332, 665, 998},
         7, nullptr},
        {"ISO 100 to 25600 step 100", ptpsim::kUint16, 100, 25600, 100, true, {}, 256, nullptr},
        {"one value, step 0", ptpsim::kUint16, 7, 7, 0, true, {7}, 1, nullptr},
        {"INT64 near its top", ptpsim::kInt64, INT64_MAX - 2, INT64_MAX, 2, true, {INT64_MAX - 2, INT64_MAX}, 2,
         nullptr},
        {"step 0 never ends", ptpsim::kUint32, 0, 10, 0, false, {}, 0, "Invalid step for dataset range: UINT32"},
        {"negative step never ends", ptpsim::kInt16, 0, 10, -1, false, {}, 0,
         "Invalid step for dataset range: INT16"},
        {"0 to 0xFFFFFFFF step 1 is capped", ptpsim::kUint32, 0, 0xFFFFFFFF, 1, true, {},
         MTP_DATASET_RANGE_MAX_VALUES, "only the first 65536 values kept"},
        {"the whole of UINT64 is capped", ptpsim::kUint64, 0, -1, 1, true, {}, MTP_DATASET_RANGE_MAX_VALUES,
         "only the first 65536 values kept"},
        {"exactly the cap is kept whole", ptpsim::kUint32, 0, 65535, 1, true, {}, 65536, nullptr},
    };
    for (const RangeCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        LogCapture log;
        ptpsim::DevicePropDesc desc;
        desc.datatype = c.datatype;
        desc.form = ptpsim::kFormRange;
        desc.min = ptpsim::Value::integer(c.min);
        desc.max = ptpsim::Value::integer(c.max);
        desc.step = ptpsim::Value::integer(c.step);
        ptpsim::Encoded encoded = ptpsim::encode_devicepropdesc(desc);
        Bytes range(encoded.bytes.begin() + static_cast<long>(encoded.offsets[ptpsim::kFormData]),
                    encoded.bytes.end());

        Form form(MTP_DATASETFORM_RANGE, c.datatype);
        u64 cursor = 0;
        EXPECT_EQ(mtp_dataset_parse(form.d, view(range), cursor), c.ok);
        EXPECT_EQ(cursor, range.size());
        if (c.log)
        {
            EXPECT_TRUE(log.Contains(c.log));
        }
        else
        {
            EXPECT_TRUE(log.Lines().empty());
        }
        if (!c.ok)
            continue;
        EXPECT_EQ(mtp_datavalue_num_elements(form.d.values), c.count);
        if (!c.values.empty())
        {
            EXPECT_EQ(elements_of(form.d.values), c.values);
        }
        if (c.count > 1)
        {
            // Every value lies in the range and the steps are even.
            std::vector<i64> all = elements_of(form.d.values);
            EXPECT_EQ(all.front(), c.min);
            EXPECT_EQ(all[1] - all[0], c.step);
        }
    }
}

TEST(MtpDataset, RangeFailuresNameTheMissingPartAndNonIntegersAreRefused)
{
    LogCapture log;
    Form form(MTP_DATASETFORM_RANGE, MTP_DATATYPE_UINT16);
    struct Case
    {
        Bytes bytes;
        const char* log;
    };
    const Case cases[] = {
        {Bytes{1}, "Failed to extract MTP dataset: min_value"},
        {Encoder().u16(1).u8(2).take(), "Failed to extract MTP dataset: max_value"},
        {Encoder().u16(1).u16(2).take(), "Failed to extract MTP dataset: step"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.log);
        log.Clear();
        u64 cursor = 0;
        EXPECT_FALSE(mtp_dataset_parse(form.d, view(c.bytes), cursor));
        EXPECT_TRUE(log.Contains(c.log));
    }

    Form text(MTP_DATASETFORM_RANGE, MTP_DATATYPE_STR);
    Bytes strings = Encoder().str("a").str("z").str("b").take();
    u64 cursor = 0;
    log.Clear();
    EXPECT_FALSE(mtp_dataset_parse(text.d, view(strings), cursor));
    EXPECT_TRUE(log.Contains("Invalid type for dataset range: STR: "));
}

TEST(MtpDataset, EnumerationReadsItsCountedValues)
{
    {
        SCOPED_TRACE("UINT16 f-numbers");
        Form form(MTP_DATASETFORM_ENUMERATION, MTP_DATATYPE_UINT16);
        Bytes bytes = Encoder().u16(3).u16(280).u16(400).u16(560).take();
        u64 cursor = 0;
        ASSERT_TRUE(mtp_dataset_parse(form.d, view(bytes), cursor));
        EXPECT_EQ(elements_of(form.d.values), (std::vector<i64>{280, 400, 560}));
        EXPECT_EQ(cursor, bytes.size());
    }
    {
        SCOPED_TRACE("count 0");
        Form form(MTP_DATASETFORM_ENUMERATION, MTP_DATATYPE_UINT8);
        Bytes bytes = Encoder().u16(0).take();
        u64 cursor = 0;
        ASSERT_TRUE(mtp_dataset_parse(form.d, view(bytes), cursor));
        EXPECT_EQ(mtp_datavalue_num_elements(form.d.values), 0u);
    }
    {
        SCOPED_TRACE("STR image sizes");
        Form form(MTP_DATASETFORM_ENUMERATION, MTP_DATATYPE_STR);
        Bytes bytes = Encoder().u16(2).str("6000x4000").str("3984x2656").take();
        u64 cursor = 0;
        ASSERT_TRUE(mtp_dataset_parse(form.d, view(bytes), cursor));
        EXPECT_EQ(form.d.values.datatype, MTP_DATATYPE_ASTR);
        EXPECT_EQ(strings_of(form.d.values.astr), (std::vector<std::string>{"6000x4000", "3984x2656"}));
    }
    {
        SCOPED_TRACE("count past the data, missing count, other forms");
        LogCapture log;
        Form form(MTP_DATASETFORM_ENUMERATION, MTP_DATATYPE_UINT16);
        Bytes bytes = Encoder().u16(0xFFFF).u16(1).take();
        u64 cursor = 0;
        EXPECT_FALSE(mtp_dataset_parse(form.d, view(bytes), cursor));
        Bytes none = Bytes{1};
        cursor = 0;
        EXPECT_FALSE(mtp_dataset_parse(form.d, view(none), cursor));
        EXPECT_TRUE(log.Lines().empty()) << "the DevicePropDesc reader logs these";
        Form other(MTP_DATASETFORM_DATETIME, MTP_DATATYPE_STR);
        cursor = 0;
        EXPECT_FALSE(mtp_dataset_parse(other.d, view(bytes), cursor));
        Form nothing(MTP_DATASETFORM_NONE, MTP_DATATYPE_UINT16);
        cursor = 0;
        EXPECT_TRUE(mtp_dataset_parse(nothing.d, view(bytes), cursor));
        EXPECT_EQ(cursor, 0u);
    }
}
