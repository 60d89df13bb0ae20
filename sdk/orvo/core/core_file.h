// Files as wholes: queries on a path (pathinfo_t), loading a whole file into
// filecontents_t, saving a block plainly or safely (a temporary file beside
// the target, synced, then renamed over it), and delete, rename, copy and
// folder creation. Paths are UTF-8 string_t texts; nothing here keeps state.
// Listings and the special folders live in core_folders.h.
#pragma once

#include "orvo/core/core_memory.h"
#include "orvo/core/core_string.h"

#include <cstdio>

namespace orvo
{
// What a path is. A path that cannot be queried reads as missing.
struct pathinfo_t
{
    bool exists;
    bool is_directory;
    u64 size;      // bytes; 0 for folders and when it cannot be read
    u64 timestamp; // modification time, seconds since 1970; 0 when unknown
};

// A whole file's bytes, followed by one zero byte not counted in the length.
struct filecontents_t
{
    memorybuffer_t buffer;
    u64 timestamp; // the file's modification time when it was loaded
};

// --- queries (a link is followed) -----------------------------------------------------
void path_getinfo(const string_t& path, pathinfo_t& info);
bool file_exists(const string_t& path); // exists and is not a folder
bool dir_exists(const string_t& path);
u64 file_num_bytes(const string_t& path);
u64 file_timestamp(const string_t& path); // 0 for folders
u64 dir_timestamp(const string_t& path);  // 0 for anything but a folder
// True for anything that is not a folder and for a folder without entries;
// false for a folder that cannot be read.
bool dir_is_empty(const string_t& path);

// --- file operations --------------------------------------------------------------------
// fopen of the path; the caller closes the stream. Null on failure (errno set).
FILE* file_open(const string_t& path, const string_t& mode);
// Writes the block to the path ("wb", or "ab" when appending). Every write,
// the flush and the close are checked; a failure is logged with the path and
// returns false. A truncating save that fails leaves a damaged file behind:
// use file_save_safe for anything that must survive.
bool file_save(const string_t& path, const memory_t& block, bool append);
// Writes the block to a new temporary file in the target's folder, syncs it,
// and renames it over the target (a link is followed to the file it names).
// On any failure the temporary file is removed, the target is untouched and
// false is returned. An existing target's permission bits are kept.
bool file_save_safe(const string_t& path, const memory_t& block);
// Removes a path that exists and is not a folder.
bool file_delete(const string_t& path);
// Renames a source that exists and is not a folder.
bool file_rename(const string_t& source, const string_t& target);
// Copies the source over the target through a temporary file beside it, so
// that a failed copy leaves the old target whole.
bool file_copy(const string_t& target, const string_t& source);
// Creates the folder and its missing parents. True only when a folder was
// created: false for an empty path, an existing folder and on failure.
bool dir_create(const string_t& path);

// --- filecontents_t -------------------------------------------------------------------------
void filecontents_initialise(filecontents_t& contents);
void filecontents_release(filecontents_t& contents);
bool filecontents_copy(filecontents_t& target, const filecontents_t& source);
void filecontents_move(filecontents_t& source, filecontents_t& target);
// The whole file. Fails for a missing path, a folder, an empty file, an open
// failure and a short read; the first form logs the cause and the path.
bool filecontents_load(filecontents_t& contents, const string_t& path);
bool filecontents_load_silent(filecontents_t& contents, const string_t& path);
} // namespace orvo
