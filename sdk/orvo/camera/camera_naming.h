// Photo naming: the file name of a photo computed from the user's filename
// expression (literal text with bracketed tokens such as [S4] or [D-]), and
// the optional validation expression that a whole name must match. The
// naming function is pure apart from reading the clock once; the grid and the
// options dialog's preview call it too. Every name it gives is one component
// that stays inside the folder it is saved in.
#pragma once

#include "orvo/core/core_string.h"

#include <regex.h>

namespace orvo
{
// Widths of padded tokens are clamped to this many characters either way.
const int PHOTO_NAME_MAX_WIDTH = 32;
// The longest argument of a token ([T%H.%M]) and the largest strftime result.
const u32 PHOTO_NAME_MAX_ARGUMENT = 40;
const u32 PHOTO_NAME_MAX_TIME_TEXT = 99;

// Replaces out with the name for a photo: the expression with its tokens
// expanded, then the extension (".JPG", may be empty) appended, then every
// space and ':' turned into '_'. Texts that come from outside (the token texts,
// camera name, serial, group, file name) cannot put a '/' or a leading ".."
// into the name. A failed allocation leaves that piece out (logged); the
// function always returns.
void photo_compute_filename(stringbuffer_t& out, const string_t& expression, const string_t& text_a,
                            const string_t& text_u, const string_t& text_z, const string_t& camera_name,
                            const string_t& serial, const string_t& group, const string_t& camera_file_name,
                            const string_t& extension, i32 camera_number, i32 sequence, i32 batch);

// The compiled validation expression (POSIX extended syntax). Zeroed or
// initialised, it holds nothing and every name is valid.
struct photo_validation_t
{
    bool compiled;
    regex_t regex;
};

void photo_validation_initialise(photo_validation_t& validation);
// Frees the compiled expression. Safe twice.
void photo_validation_release(photo_validation_t& validation);
// Compiles the text; an empty text holds nothing. A text that does not compile
// is logged ("Failed to compile filename validation: %s") and leaves the
// compiled expression as it was: false.
bool photo_validation_compile(photo_validation_t& validation, const string_t& text);
bool photo_validation_is_set(const photo_validation_t& validation);
// True when nothing is compiled or the expression matches the whole name.
bool photo_validation_match(const photo_validation_t& validation, const string_t& name);
} // namespace orvo
