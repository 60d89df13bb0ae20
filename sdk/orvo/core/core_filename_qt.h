// QString forms of the path setters and the pictures folder as Qt locates it.
// Kept apart from core_filename.h so that only Qt code pulls in Qt (library
// orvo_core_qt).
#pragma once

#include "orvo/core/core_filename.h"

class QString;

namespace orvo
{
// The text is converted to UTF-8 (up to its first zero) and set as a string_t.
bool filename_set(filename_t& filename, const QString& path);
bool dirname_set(dirname_t& dirname, const QString& path);
// The platform's standard pictures location (QStandardPaths, which also reads
// the user's XDG folder settings); dir_get_pictures when Qt knows none.
bool dir_get_pictures_qt(dirname_t& dirname);
} // namespace orvo
