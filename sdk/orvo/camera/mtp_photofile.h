// Photo files: the unique file name of a downloaded photo, saving its bytes so
// that no file is ever truncated or shared (a temporary file beside the target,
// synced, then published under a name no other file holds), the fallback
// folder, the content hash and the download rate. Works on a download task's
// texts and buffer and on the file system only; keeps no state of its own.
// Who downloads and when is mtp_download.h / mtp_context.h.
#pragma once

#include "orvo/core/core_filename.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_time.h"

#include <cstdio>

namespace orvo
{
struct mtp_downloadtask_t;

// The most numbered names ("_1", "_2", ...) tried for one photo before the
// folder counts as full.
const i32 MTP_MAX_UNIQUE_SUFFIX = 100000;
// A file name takes at most this many bytes (the usual file systems' limit).
// Longer photo names are shortened, keeping the extension (itself cut to
// MTP_PHOTO_MAX_EXTENSION_BYTES) and room for the longest counter.
const u64 MTP_PHOTO_MAX_NAME_BYTES = 255;
const u64 MTP_PHOTO_MAX_EXTENSION_BYTES = 32;
// The stem given to a name that has none ("", ".", ".jpg", ".hidden").
const char* const MTP_PHOTO_DEFAULT_STEM = "photo";

// The target of a photo: the name (sanitised so that it stays one component of
// the folder) with its extension replaced by the file type when that is not
// empty ("CR2" or ".CR2"). With unique, while a regular file holds the target
// (a folder of that name does not count), the stems "%s_%d" with 1, 2, ... are
// tried. Leading dots are dropped (no hidden photos); a name without a stem
// ("", ".", ".jpg", ".hidden") gets MTP_PHOTO_DEFAULT_STEM and a name too long
// for the file system is shortened (both logged), so every photo has a name.
// The final file name is written back into name. False (logged), with name
// unchanged and the target empty, for an empty folder or when no free name is
// found.
bool mtp_find_filename(const string_t& folder, const string_t& file_type, bool unique, stringbuffer_t& name,
                       filename_t& target);

// Saves bytes as a new file in the folder (created with its parents when
// missing) under the first name that no file holds, as mtp_find_filename
// counts: written to a temporary file beside it, synced, checked, and then
// published without replacing anything, so that two savers never share a name
// and a failure or crash never leaves a partial file under a photo's name. The
// name used comes back in name and target. False (logged) on any failure, with
// nothing left behind.
bool mtp_save_unique(const string_t& folder, const string_t& file_type, stringbuffer_t& name, const memory_t& bytes,
                     filename_t& target);

// Saves the task's bytes in its download folder, else in its fallback folder;
// on success the task's target, photo name (with any "_n" suffix) and hash are
// set. A task whose download streamed into a file has that file published
// under its unique name instead (no hash). True when one save succeeded.
bool mtp_save_photo(mtp_downloadtask_t& task);

// For a download that streams into its file: marks the task written to file
// and opens a new temporary file beside the unique target in the download
// folder, else in the fallback folder (the target is set). The caller writes
// and closes the stream; mtp_save_photo publishes it, and a task destroyed
// before that removes it. Null (logged) when neither folder can be written.
// A write or close that fails (a full disk) sets the task's file_write_failed;
// with file_fallback set the fallback folder is used from the start.
FILE* mtp_fopen_photo(mtp_downloadtask_t& task);

// Removes the hidden temporary files that a run which ended without
// finishing them (a crash, a power cut) left in the folder: only names of the
// form this module writes, and only of processes no longer running. Returns
// how many were removed (logged when any).
u32 mtp_photofile_sweep_temporaries(const string_t& folder);

// The content hash of the bytes (32 hex digits) into hash, timed and logged
// under the photo's name. False (logged) with an empty hash on failure.
bool mtp_compute_hash(stringbuffer_t& hash, const string_t& name, const memory_t& bytes);
// The same over a whole file's contents.
bool mtp_compute_hash(stringbuffer_t& hash, const string_t& name, const filename_t& file);

// MB/s (MiB per second) of a transfer of num_bytes that took elapsed.ticks
// microseconds; logged. A transfer too quick to measure counts as 1 µs.
float mtp_compute_download_rate(const timer_t& elapsed, u64 num_bytes);
} // namespace orvo
