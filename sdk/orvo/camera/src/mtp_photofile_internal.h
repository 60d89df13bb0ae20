// Internals of the photo-file module shared by its two sources and its tests:
// a photo's name split into folder, stem and extension with its numbered
// candidates, and how a finished temporary file is published under one of
// them. Publishing is an exclusive rename; file systems without one (FAT
// drives, some network shares) fall back to a hard link, then to an
// exclusively created placeholder that the rename replaces. Tests force each
// way to show that all of them keep concurrent savers apart.
#pragma once

#include "orvo/core/core_filename.h"

#include <string>

namespace orvo
{
// A photo's name made safe: the folder in normal form, and one component of
// it split into stem and extension (with its dot; the file type's when given).
struct mtp_photoname_t
{
    std::string folder;
    std::string stem;
    std::string extension;
};

// False (logged) for an empty folder. A name without a stem gets one, a name
// too long for the file system is shortened (see mtp_find_filename).
bool mtp_photoname_prepare(mtp_photoname_t& out, const string_t& folder, const string_t& file_type,
                           const string_t& name);
// "stem.ext" for suffix 0, "stem_3.ext" for suffix 3; the path adds the folder.
std::string mtp_photoname_candidate(const mtp_photoname_t& name, i32 suffix);
std::string mtp_photoname_path(const mtp_photoname_t& name, i32 suffix);
// The first suffix from `first` whose path no regular file holds; -1 past
// MTP_MAX_UNIQUE_SUFFIX.
i32 mtp_photoname_first_free(const mtp_photoname_t& name, i32 first);
// Sets the target to the candidate's path and writes its file name into name.
bool mtp_photoname_finish(const mtp_photoname_t& name, i32 suffix, stringbuffer_t& out_name, filename_t& target);

enum mtp_publish_mode_t : u32
{
    MTP_PUBLISH_AUTO = 0,        // rename without replacing, falling back as the file system requires
    MTP_PUBLISH_LINK = 1,        // hard link, then remove the temporary name
    MTP_PUBLISH_PLACEHOLDER = 2, // exclusive empty file, then rename over it
};

// Process-wide; for tests.
void mtp_photofile_set_publish_mode(mtp_publish_mode_t mode);

// Publishes the finished temporary file, which lies in the name's folder,
// under the first free candidate, then syncs the folder. On failure (logged)
// the temporary file is removed. The name used comes back in name and target.
bool mtp_publish_unique(const std::string& temporary, const mtp_photoname_t& parts, stringbuffer_t& name,
                        filename_t& target);

// Removes a streamed file that was never published and empties the path.
void mtp_photofile_remove_partial(stringbuffer_t& partial);

// --- seams for tests ---------------------------------------------------------------------
// Writes of photo files (saved from memory or streamed) into this folder (in
// normal form) fail with ENOSPC once a file passes `after_bytes`, as a disk
// that fills up does. An empty folder turns the fault off. Process-wide.
void mtp_photofile_set_write_fault(const std::string& folder, u64 after_bytes);
// Called with each folder synced (after a new entry in it), before the sync
// returns. Null turns it off. Process-wide.
typedef void (*mtp_photofile_sync_observer_t)(const std::string& folder, void* user);
void mtp_photofile_set_sync_observer(mtp_photofile_sync_observer_t observer, void* user);
} // namespace orvo
