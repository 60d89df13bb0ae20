// Path records kept in one normal form: dirname_t (a folder) and filename_t
// (a path split into full path, folder, name, stem and extension). Every
// setter stores the weakly canonical path with '/' separators, so two records
// of the same place compare equal as text. Each record owns its buffers.
// Names taken as text are single components: a name never climbs out of the
// folder it is joined to. File-system queries and I/O live in core_file.h.
#pragma once

#include "orvo/core/core_string.h"
#include "orvo/core/core_vector.h"

#include <boost/filesystem/path.hpp>

#include <cstring>

namespace orvo
{
// A folder: "/a/b" (no trailing separator, no trailing "."); empty means none.
struct dirname_t
{
    stringbuffer_t path;
};

// A path and its four parts, all derived from `path`. An empty path means
// every part is empty.
struct filename_t
{
    stringbuffer_t path;      // full path in normal form
    dirname_t dir;            // the full path's parent
    stringbuffer_t name;      // last component with its extension: "LVP_0001.JPG"
    stringbuffer_t stem;      // name without the extension: "LVP_0001"
    stringbuffer_t extension; // with its dot: ".JPG"; empty when there is none
};

// --- normal form --------------------------------------------------------------
// The normal form of a path as text: backslashes become '/', the longest
// existing leading part is made canonical (absolute, links resolved) and the
// rest lexically normalised. A path none of whose parts exists stays relative.
// Empty when the path is empty or the file system reports an error.
std::string path_normalise(const boost::filesystem::path& path);
// The text up to its first zero byte as a Boost path.
boost::filesystem::path path_from_string(const string_t& text);

// Makes text that came from outside (a camera's object name, a barcode, a
// script, another computer) safe to use as one path component: every '/' and
// '\\' becomes '_' and a leading ".." becomes "__". True when anything was
// replaced. Never changes the length, so it cannot fail.
bool filename_sanitise_name(stringbuffer_t& name);
bool filename_sanitise_name(std::string& name);

// --- dirname_t ------------------------------------------------------------------
void dirname_initialise(dirname_t& dirname);
void dirname_release(dirname_t& dirname);
void dirname_clear(dirname_t& dirname);
bool dirname_copy(dirname_t& target, const dirname_t& source);
void dirname_move(dirname_t& source, dirname_t& target);

// The dirname becomes the normal form of the path, without a trailing "/.".
// False when the result is empty (or cannot be stored).
bool dirname_set(dirname_t& dirname, const string_t& path);
bool dirname_set(dirname_t& dirname, const char* path);
bool dirname_set(dirname_t& dirname, const boost::filesystem::path& path);
// Joins one component (sanitised as by filename_sanitise_name) and
// normalises. The Boost form joins a path the program built itself as is.
bool dirname_append(dirname_t& dirname, const string_t& component);
bool dirname_append(dirname_t& dirname, const char* component);
bool dirname_append(dirname_t& dirname, const boost::filesystem::path& component);

// --- filename_t -----------------------------------------------------------------
void filename_initialise(filename_t& filename);
void filename_release(filename_t& filename);
void filename_clear(filename_t& filename);
bool filename_copy(filename_t& target, const filename_t& source);
void filename_move(filename_t& source, filename_t& target);

// The record becomes the normal form of the path and its parts. A path whose
// normal form is empty, or whose stem is empty (".jpg"), leaves the record
// empty and returns false.
bool filename_set(filename_t& filename, const string_t& path);
bool filename_set(filename_t& filename, const char* path);
bool filename_set(filename_t& filename, const boost::filesystem::path& path);
// The folder joined with one name, which is sanitised first so that it stays
// inside the folder. The stem is not tested: ".jpg" gives an empty stem.
// False (the record emptied) for the names "" and ".", which would name the
// folder itself, and when the result is empty or cannot be stored.
bool filename_set(filename_t& filename, const string_t& directory, const string_t& name);

// Each replacement keeps the parts it does not name; the new name, stem and
// extension are sanitised like a name. On failure the record is unchanged;
// a name (or stem and extension) of "" or "." fails.
bool filename_replace_dir(filename_t& filename, const string_t& directory);
bool filename_replace_name(filename_t& filename, const string_t& name);
// The new stem with the present extension, whose letter case is kept.
bool filename_replace_stem(filename_t& filename, const string_t& stem);
// "CR2" and ".CR2" give the same result; an empty text removes the extension.
bool filename_replace_extension(filename_t& filename, const string_t& extension);

// Sorted vectors of file names keep the byte (strcmp) order of full paths.
template <>
struct container_traits<filename_t>
{
    typedef const char* key_type;
    static key_type key(const filename_t& element) { return element.path.str; }
    static int compare(key_type a, key_type b) { return std::strcmp(a, b); }
};
} // namespace orvo
