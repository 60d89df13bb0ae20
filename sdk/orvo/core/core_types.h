// Fixed-width integer names used throughout the orvo library, and the small
// macros every module shares. Nothing here allocates or has state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo
{
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;
typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
} // namespace orvo

// Call-site tag handed to heap_alloc/heap_free: "file:line".
#define ORVO_STRINGIFY_(x) #x
#define ORVO_STRINGIFY(x) ORVO_STRINGIFY_(x)
#define ORVO_HEAP_TAG __FILE__ ":" ORVO_STRINGIFY(__LINE__)

#if defined(__GNUC__)
#define ORVO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORVO_PRINTF_FORMAT(fmt, args)
#endif
