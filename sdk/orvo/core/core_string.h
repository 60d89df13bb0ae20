// Text types of the foundation: the read-only UTF-8 view string_t, the owned,
// always zero-terminated stringbuffer_t, the code-point cursor utf8iterator_t,
// printf-style formatting, trimming and filtering by code-point predicates,
// and conversions to the standard library's strings. The Qt bridges live in
// core_string_qt.h so that this library does not need Qt.
#pragma once

#include "orvo/core/core_memory.h"

#include <cstdarg>
#include <string>

namespace orvo
{
// A view that owns nothing and is never null: empty_str stands for "".
struct string_t
{
    const char* str;
    u64 length;
};

extern const string_t empty_str;

// The view comes first (as the base), so a buffer is read wherever a string_t
// is expected. The view is empty_str or points at the storage, and the
// storage always holds a zero byte at the view's length.
struct stringbuffer_t : string_t
{
    memorybuffer_t storage;
};

struct utf8iterator_t
{
    u32 codepoint;
    u64 position; // byte offset of the current code point
    u64 step;     // byte length of the current sequence
    const char* text;
};

struct rgba_t
{
    float r;
    float g;
    float b;
    float a;
};

typedef bool (*codepoint_predicate_t)(u32 codepoint);
typedef u32 (*codepoint_mapper_t)(u32 codepoint);

// --- string_t helpers ------------------------------------------------------
// A view of a zero-terminated text; null gives empty_str.
string_t string_make(const char* text);
string_t string_make(const char* text, u64 length);
bool string_equal(const string_t& a, const string_t& b);
// Equal when only the case of ASCII letters differs; other bytes compare exactly.
bool string_equal_ignoring_ascii_case(const string_t& a, const string_t& b);
inline bool string_is_empty(const string_t& s)
{
    return s.length == 0;
}

// --- stringbuffer_t ------------------------------------------------------
void stringbuffer_initialise(stringbuffer_t& buffer);
void stringbuffer_release(stringbuffer_t& buffer);
// Empties the text and keeps the storage.
void stringbuffer_clear(stringbuffer_t& buffer);

// An empty source releases the buffer. False (buffer unchanged) when the
// storage cannot grow.
bool stringbuffer_set(stringbuffer_t& buffer, const string_t& text);
bool stringbuffer_set(stringbuffer_t& buffer, const char* text);
bool stringbuffer_set(stringbuffer_t& buffer, char c);
bool stringbuffer_set(stringbuffer_t& buffer, const std::string& text);
bool stringbuffer_set(stringbuffer_t& buffer, const std::wstring& text);
bool stringbuffer_copy(stringbuffer_t& destination, const stringbuffer_t& source);

bool stringbuffer_append(stringbuffer_t& buffer, const string_t& text);
bool stringbuffer_append(stringbuffer_t& buffer, const char* text);
bool stringbuffer_append(stringbuffer_t& buffer, char c);
bool stringbuffer_append(stringbuffer_t& buffer, const std::string& text);
bool stringbuffer_append(stringbuffer_t& buffer, const std::wstring& text);

// to takes the view and storage of from (its own storage freed first).
void stringbuffer_move(stringbuffer_t& from, stringbuffer_t& to);

// Direct writing: lock hands out room for n bytes (out is null for n == 0 on
// a buffer with no storage); unlock commits n bytes, or up to the first zero.
bool stringbuffer_lock(stringbuffer_t& buffer, u64 n, char*& out);
void stringbuffer_unlock(stringbuffer_t& buffer, u64 n);
void stringbuffer_unlock(stringbuffer_t& buffer);

// Replace the text with the formatted result. A failed allocation leaves the
// empty text and returns false.
bool stringbuffer_format(stringbuffer_t& buffer, const char* format, ...) ORVO_PRINTF_FORMAT(2, 3);
bool stringbuffer_formatv(stringbuffer_t& buffer, const char* format, va_list args);
// Append the formatted result; a failed allocation leaves the text as it was.
bool stringbuffer_appendf(stringbuffer_t& buffer, const char* format, ...) ORVO_PRINTF_FORMAT(2, 3);
bool stringbuffer_appendv(stringbuffer_t& buffer, const char* format, va_list args);

void stringbuffer_trim(stringbuffer_t& buffer, codepoint_predicate_t predicate);
void stringbuffer_trimleft(stringbuffer_t& buffer, codepoint_predicate_t predicate);
void stringbuffer_trimright(stringbuffer_t& buffer, codepoint_predicate_t predicate);
// Deletes every code point for which the predicate holds; an undecodable
// sequence ends the walk and is kept with everything after it.
void stringbuffer_remove(stringbuffer_t& buffer, codepoint_predicate_t predicate);
// Maps code points in place; only ASCII-to-ASCII changes are applied so the
// byte length never changes.
void stringbuffer_transform(stringbuffer_t& buffer, codepoint_mapper_t mapper);
// A byte count in the largest whole unit: "1023b", "1kb", "1mb", "1gb".
bool stringbuffer_print_num_bytes(stringbuffer_t& buffer, u64 num_bytes);

// --- predicates and mappers -------------------------------------------------
bool is_whitespace(u32 codepoint); // tab, line feed, carriage return, space
bool is_dot(u32 codepoint);
u32 invalid_to_underscore(u32 codepoint); // ' ' and ':' become '_'

// --- utf8iterator_t ---------------------------------------------------------
void utf8iterator_initialise(utf8iterator_t& iterator, const char* text);
// True with the next code point; false at the end or at a sequence that
// cannot be decoded, leaving the iterator unchanged.
bool utf8iterator_next(utf8iterator_t& iterator);

// Writes the UTF-8 form of a code point (below 0x110000) into out, which has
// room for 4 bytes; returns the number of bytes written.
u64 utf8_encode(u32 codepoint, char* out);

// --- conversions -------------------------------------------------------------
// The text up to its first zero byte, invalid UTF-8 sequences skipped.
void string_to_std(const string_t& text, std::string& out);
void string_to_std(const string_t& text, std::wstring& out);
} // namespace orvo
