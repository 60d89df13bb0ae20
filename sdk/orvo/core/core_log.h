// The one process-wide log. A line is a header (local time, module, level),
// one or more text pieces and "\n", handed in pieces to one output handler
// while the log lock is held, so lines of different threads never interleave.
// The log lock is the innermost lock of the program: a handler must neither
// log nor take a lock that a logger may hold. Also the plain printf wrappers
// and the debugging hooks.
#pragma once

#include "orvo/core/core_string.h"

#include <cstdarg>

namespace orvo
{
enum loglevel_t : u32
{
    LOGLEVEL_NONE = 0,
    LOGLEVEL_INFO = 1,
    LOGLEVEL_DEBUG = 2,
    LOGLEVEL_ERROR = 4,
    LOGLEVEL_TRACE = 8,
    LOGLEVEL_WARNING = 16,
    LOGLEVEL_VERBOSE = 32,
};

enum logmodule_t : u32
{
    LOGMODULE_UNKNOWN = 0,
    LOGMODULE_APP,
    LOGMODULE_CAMERA,
    LOGMODULE_EXAMPLE,
    LOGMODULE_FONT,
    LOGMODULE_GENERAL,
    LOGMODULE_GRAPHICS,
    LOGMODULE_IMAGE,
    LOGMODULE_MESSAGE,
    LOGMODULE_NETWORK,
    LOGMODULE_SCRIPT,
    LOGMODULE_TEST,
    LOGMODULE_MAX, // the count, not a module
};

// Info, Error and Warning: what every module writes after the first open.
const u8 LOG_DEFAULT_LEVELS = LOGLEVEL_INFO | LOGLEVEL_ERROR | LOGLEVEL_WARNING;
const u64 LOG_INITIAL_BUFFER_SIZE = 2048;

typedef void (*log_handler_t)(const string_t& text, void* user);
typedef void (*debug_handler_t)(const string_t& text, void* user);

extern const string_t loglevel_map[7];   // by bit position: "None", "Info", ...
extern const string_t logmodule_map[13]; // by module: "Unknown", "App", ...
extern const string_t utf8_bom;

// --- opening and configuration ------------------------------------------------
// Counted: only the first call sets up; the matching last close tears down.
bool log_open();
void log_close();
bool log_is_open();
// Installs a handler and its user pointer together (null restores
// log_default_handler); a non-null handler is sent the byte-order mark at once.
// Waits for a line being written: once this returns, the old handler is never
// called again. Must not be called from inside a handler.
void log_set_handler(log_handler_t handler, void* user);
void log_default_handler(const string_t& text, void* user);
void log_enable(u32 level, u32 module, bool on);
// True when a line of this level would be written for this module.
bool log_is_enabled(u32 level, u32 module);
// Size in bytes of the reused line buffer; 0 while closed.
u64 log_buffer_size();

string_t loglevel_to_str(u32 level);
string_t logmodule_to_str(u32 module);
u32 loglevel_from_str(const string_t& text);
u32 logmodule_from_str(const string_t& text);

// --- writing lines ---------------------------------------------------------------
void log_writef(u32 level, u32 module, const char* format, ...) ORVO_PRINTF_FORMAT(3, 4);
void log_write(u32 level, u32 module, const char* text);
// Begins a line of several pieces: false (nothing written, no lock held) when
// the level is disabled, the lock cannot be taken or the log is closed.
bool log_lock(u32 level, u32 module);
// Only the holder of a begun line calls these.
void log_print(const char* text);
void log_print(const string_t& text);
void log_printf(const char* format, ...) ORVO_PRINTF_FORMAT(1, 2);
void log_printv(const char* format, va_list args);
void log_print(const unsigned char* bytes, u64 num_bytes); // hex dump
void log_print_header(u32 level, u32 module);
// Ends the begun line with "\n" and releases the lock.
void log_unlock();

// --- plain output ------------------------------------------------------------------
int printf(const char* format, ...) ORVO_PRINTF_FORMAT(1, 2);
int snprintf(char* buffer, u64 size, const char* format, ...) ORVO_PRINTF_FORMAT(3, 4);

// --- debugging hooks ----------------------------------------------------------------
void debug_set_handler(debug_handler_t handler, void* user);
void debug_assert(bool condition, const char* text);
// Prints the text, then breaks into a debugger if one is attached.
void debug_default_handler(const string_t& text, void* user);
void debug_print(const char* text);
void debug_break();
bool debug_is_attached();
// Crash-report hooks; this platform has no crash reporter, so they do nothing.
void debug_enable_bugsplat(const char* database, const char* application, const char* version,
                           const char* description, const char* path);
void debug_disable_bugsplat();
void debug_bugsplat_details(const char* user, const char* email);
void debug_enable_minidump(const char* path);
void debug_enable_msvc(bool on);
} // namespace orvo
