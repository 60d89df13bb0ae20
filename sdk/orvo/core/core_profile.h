// Timing aids beside the log: timerlog_t, a fixed array of timing samples,
// and profilelog_t, a per-thread profiling log written as CSV
// ("stacklevel,type,microseconds,linenumber,filename,label"), with the
// analyser that reads such a file back and writes a table of statistics
// into the log. Each thread owns its own profile log; nothing here is shared
// between threads except the key that finds a thread's record.
#pragma once

#include "orvo/core/core_filename.h"
#include "orvo/core/core_time.h"

#include <cstdio>

namespace orvo
{
// A block of capacity 32-bit samples in one unit. Only its setup and release
// are defined here; the fields are there for whoever samples into it.
struct timerlog_t
{
    u64 num_samples; // samples taken so far
    u64 total;       // sum of the samples taken
    timeunit_t unit; // unit of every sample
    u64 start;       // tick count when the current sample began
    u64 capacity;    // room in samples
    u64 next;        // where the next sample goes (a ring once it is full)
    u32* samples;
};

// The header line of every profile file.
extern const char* const PROFILELOG_HEADER;
// Size of the record buffer a profile log collects before it writes.
const u64 PROFILELOG_BUFFER_SIZE = 1048576;

struct profilelog_t
{
    char* buffer;  // PROFILELOG_BUFFER_SIZE bytes of pending records
    u64 capacity;
    u64 used;
    FILE* file;
    filename_t filename;
};

// --- timerlog_t -------------------------------------------------------------------------
// Zeroes the counters and allocates capacity samples (none for 0). False,
// logged, when the samples cannot be allocated; the record is then empty.
bool timerlog_initialise(timerlog_t& timerlog, u64 capacity, u32 unit);
void timerlog_release(timerlog_t& timerlog);

// --- profilelog_t --------------------------------------------------------------------------
// Create and delete the key that holds each thread's record. Call once at
// start-up and once at the end, while no thread has a profile log open.
bool profilelog_initialise();
void profilelog_release();
// Gives the calling thread a record and opens "profilelog_<index>_<name>.csv"
// (the thread's index and name) in the working folder, header written. True
// when the thread has a profile log afterwards (also when it already had one).
bool profilelog_open();
// The calling thread's record, or null.
profilelog_t* profilelog_current();
// Appends one record; type is 'e' (a scope is entered) or 'x' (it is left).
// Commas and line breaks in the texts would break the format and are
// replaced by '_'; an empty text is written as "?". The buffer is written to
// the file when it is full.
bool profilelog_write(profilelog_t& record, u32 stacklevel, char type, u64 microseconds, i32 linenumber,
                      const char* filename, const char* label);
// Writes the pending records to the file; false (logged) when that fails.
bool profilelog_flush(profilelog_t& record);
// Flushes and closes the calling thread's file, logs "Profile log saved: <path>",
// analyses it and frees the record.
void profilelog_close();
// Reads a profile file and writes its statistics into the log (level Info,
// module General): per scope of a file and line, the count and the median
// inclusive and exclusive times, the minimum and maximum inclusive times.
// False, logged, when the file cannot be opened or its header is not the
// profile header.
bool profilelog_analyse(const string_t& filename);
} // namespace orvo
