// The process-wide log_context(). Everything that runs under the log lock allocates
// with malloc directly and never logs: heap_alloc logs its failures, which
// would take the (non-recursive) log lock a second time.
#include "orvo/core/core_log.h"

#include "orvo/core/core_mutex.h"
#include "orvo/core/core_platform.h"
#include "orvo/core/core_time.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace orvo
{
const string_t loglevel_map[7] = {{"None", 4},  {"Info", 4},    {"Debug", 5},  {"Error", 5},
                                  {"Trace", 5}, {"Warning", 7}, {"Verbose", 7}};
const string_t logmodule_map[13] = {{"Unknown", 7},  {"App", 3},     {"Camera", 6},   {"Example", 7}, {"Font", 4},
                                    {"General", 7},  {"Graphics", 8}, {"Image", 5},   {"Message", 7}, {"Network", 7},
                                    {"Script", 6},   {"Test", 4},    {"Max", 3}};
const string_t utf8_bom = {"\xEF\xBB\xBF", 3};

namespace
{
// Enabled level bits per module; read by every logger without the lock.
std::atomic<u8> logstates[LOGMODULE_MAX];

struct logcontext_t
{
    std::atomic<log_handler_t> handler{nullptr};
    std::atomic<void*> user{nullptr};
    char* buffer = nullptr; // the reused line buffer; null while closed
    u64 buffer_size = 0;
    global_mutex_t lock;
    int open_count = 0;
    std::atomic<bool> open{false}; // mirrors buffer != null for lock-free readers
};

// Never destroyed: a thread abandoned at its stop limit may still log while
// the process exits, after static destructors have run, and must find the
// lock and the buffer where they were.
logcontext_t& log_context()
{
    static logcontext_t* context = new logcontext_t;
    return *context;
}

std::atomic<debug_handler_t> debug_handler{debug_default_handler};
std::atomic<void*> debug_user{nullptr};

void send(const char* text)
{
    log_handler_t handler = log_context().handler.load(std::memory_order_acquire);
    void* user = log_context().user.load(std::memory_order_acquire);
    string_t piece = string_make(text);
    if (handler)
        handler(piece, user);
    else
        log_default_handler(piece, user);
}

// Formats into the line buffer, growing it (result * 2 + 2) until the text
// fits. A failure to grow drops the text and says so through the handler.
void send_formatted(const char* format, va_list args)
{
    if (!log_context().buffer)
        return;
    va_list copy;
    va_copy(copy, args);
    int result = std::vsnprintf(log_context().buffer, static_cast<size_t>(log_context().buffer_size), format, copy);
    va_end(copy);
    while (result > 0 && static_cast<u64>(result) >= log_context().buffer_size)
    {
        u64 size = static_cast<u64>(result) * 2 + 2;
        char* grown = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
        if (!grown)
        {
            char note[96];
            std::snprintf(note, sizeof(note), "(line dropped: failed to allocate %llu bytes)",
                          static_cast<unsigned long long>(size));
            send(note);
            return;
        }
        std::free(log_context().buffer);
        log_context().buffer = grown;
        log_context().buffer_size = size;
        va_copy(copy, args);
        result = std::vsnprintf(log_context().buffer, static_cast<size_t>(log_context().buffer_size), format, copy);
        va_end(copy);
    }
    if (result > 0)
        send(log_context().buffer);
}

void print_formatted(const char* format, ...) ORVO_PRINTF_FORMAT(1, 2);
void print_formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    send_formatted(format, args);
    va_end(args);
}

u32 level_bit_position(u32 level)
{
    switch (level)
    {
    case LOGLEVEL_INFO: return 1;
    case LOGLEVEL_DEBUG: return 2;
    case LOGLEVEL_ERROR: return 3;
    case LOGLEVEL_TRACE: return 4;
    case LOGLEVEL_WARNING: return 5;
    case LOGLEVEL_VERBOSE: return 6;
    default: return 0;
    }
}
} // namespace

bool log_open()
{
    if (!mutex_lock(log_context().lock))
        return false;
    if (++log_context().open_count > 1)
    {
        mutex_unlock(log_context().lock);
        return true;
    }
    log_context().buffer = static_cast<char*>(std::malloc(LOG_INITIAL_BUFFER_SIZE));
    if (!log_context().buffer)
    {
        std::fputs("ERROR: Failed to allocate log buffer\n", stdout);
        std::fflush(stdout);
        mutex_unlock(log_context().lock);
        return false;
    }
    log_context().buffer_size = LOG_INITIAL_BUFFER_SIZE;
    log_context().open.store(true, std::memory_order_release);
    log_context().user.store(nullptr, std::memory_order_release);
    log_context().handler.store(log_default_handler, std::memory_order_release);
    for (u32 module = 0; module < LOGMODULE_MAX; ++module)
        logstates[module].store(LOG_DEFAULT_LEVELS, std::memory_order_relaxed);
    std::fputs(utf8_bom.str, stdout);
    std::fflush(stdout);
    log_print_header(LOGLEVEL_INFO, LOGMODULE_GENERAL);
    print_formatted("Log opened: linux %s %s\n", platform_architecture(), platform_compiler());
    mutex_unlock(log_context().lock);
    return true;
}

void log_close()
{
    if (!mutex_lock(log_context().lock))
        return;
    if (log_context().open_count == 0 || --log_context().open_count > 0)
    {
        mutex_unlock(log_context().lock);
        return;
    }
    if (log_context().buffer)
    {
        log_print_header(LOGLEVEL_INFO, LOGMODULE_GENERAL);
        send("Log closed\n");
        std::free(log_context().buffer);
    }
    log_context().open.store(false, std::memory_order_release);
    log_context().buffer = nullptr;
    log_context().buffer_size = 0;
    log_context().open_count = 0;
    log_context().user.store(nullptr, std::memory_order_release);
    log_context().handler.store(nullptr, std::memory_order_release);
    mutex_unlock(log_context().lock);
}

bool log_is_open()
{
    return log_context().open.load(std::memory_order_acquire);
}

u64 log_buffer_size()
{
    if (!mutex_lock(log_context().lock))
        return 0;
    u64 size = log_context().buffer_size;
    mutex_unlock(log_context().lock);
    return size;
}

void log_set_handler(log_handler_t handler, void* user)
{
    // Handlers run only under the log lock, so installing under it swaps the
    // pair as one and waits for a line that is still in the old handler; no
    // thread calls the old handler once this has returned.
    logcontext_t& context = log_context();
    bool locked = mutex_lock(context.lock);
    context.user.store(handler ? user : nullptr, std::memory_order_release);
    context.handler.store(handler ? handler : log_default_handler, std::memory_order_release);
    if (handler)
        handler(utf8_bom, user);
    if (locked)
        mutex_unlock(context.lock);
}

void log_default_handler(const string_t& text, void*)
{
    std::fputs(text.str, stdout);
    std::fflush(stdout);
}

void log_enable(u32 level, u32 module, bool on)
{
    if (module >= LOGMODULE_MAX)
        return;
    u8 bits = static_cast<u8>(level);
    if (on)
        logstates[module].fetch_or(bits, std::memory_order_relaxed);
    else
        logstates[module].fetch_and(static_cast<u8>(~bits), std::memory_order_relaxed);
}

bool log_is_enabled(u32 level, u32 module)
{
    return module < LOGMODULE_MAX && (logstates[module].load(std::memory_order_relaxed) & level) != 0;
}

string_t loglevel_to_str(u32 level)
{
    return loglevel_map[level_bit_position(level)];
}

string_t logmodule_to_str(u32 module)
{
    return module <= LOGMODULE_MAX ? logmodule_map[module] : logmodule_map[LOGMODULE_UNKNOWN];
}

u32 loglevel_from_str(const string_t& text)
{
    for (u32 position = 1; position < 7; ++position)
    {
        if (string_equal(text, loglevel_map[position]))
            return 1u << (position - 1);
    }
    return LOGLEVEL_NONE;
}

u32 logmodule_from_str(const string_t& text)
{
    for (u32 module = 0; module < LOGMODULE_MAX; ++module)
    {
        if (string_equal(text, logmodule_map[module]))
            return module;
    }
    return LOGMODULE_UNKNOWN;
}

bool log_lock(u32 level, u32 module)
{
    if (!log_is_enabled(level, module))
        return false;
    if (!mutex_lock(log_context().lock))
        return false;
    if (!log_context().buffer)
    {
        mutex_unlock(log_context().lock);
        return false;
    }
    log_print_header(level, module);
    return true;
}

void log_unlock()
{
    send("\n");
    mutex_unlock(log_context().lock);
}

void log_print_header(u32 level, u32 module)
{
    if (!log_context().buffer)
        return;
    i64 now = time_get_wallclock();
    time_t seconds = static_cast<time_t>(now / 1000000);
    int milliseconds = static_cast<int>((now % 1000000) / 1000);
    struct tm fields;
    int hour = 0, minute = 0, second = 0;
    if (localtime_r(&seconds, &fields))
    {
        hour = fields.tm_hour;
        minute = fields.tm_min;
        second = fields.tm_sec;
    }
    else
        milliseconds = 0;
    print_formatted("[%02d:%02d:%02d.%03d %8.8s %8.8s] ", hour, minute, second, milliseconds,
                    logmodule_to_str(module).str, loglevel_to_str(level).str);
}

void log_writef(u32 level, u32 module, const char* format, ...)
{
    if (!log_lock(level, module))
        return;
    va_list args;
    va_start(args, format);
    send_formatted(format, args);
    va_end(args);
    log_unlock();
}

void log_write(u32 level, u32 module, const char* text)
{
    if (!log_lock(level, module))
        return;
    send(text ? text : "");
    log_unlock();
}

void log_print(const char* text)
{
    send(text ? text : "");
}

void log_print(const string_t& text)
{
    // Pieces reach the handler zero-terminated; a view may not be.
    if (text.length == 0)
    {
        send("");
        return;
    }
    print_formatted("%.*s", static_cast<int>(text.length), text.str);
}

void log_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    send_formatted(format, args);
    va_end(args);
}

void log_printv(const char* format, va_list args)
{
    send_formatted(format, args);
}

void log_print(const unsigned char* bytes, u64 num_bytes)
{
    print_formatted("%llu bytes\n", static_cast<unsigned long long>(num_bytes));
    for (u64 row = 0; row < num_bytes; row += 16)
    {
        char line[96];
        int at = std::snprintf(line, sizeof(line), "%08llx ", static_cast<unsigned long long>(row));
        for (u64 i = 0; i < 16; ++i)
        {
            if (i == 8)
                line[at++] = ' ';
            if (row + i < num_bytes)
                at += std::snprintf(line + at, sizeof(line) - at, " %02X", bytes[row + i]);
            else
                at += std::snprintf(line + at, sizeof(line) - at, "   ");
        }
        line[at++] = ' ';
        line[at++] = ' ';
        line[at++] = '|';
        for (u64 i = 0; i < 16 && row + i < num_bytes; ++i)
        {
            unsigned char c = bytes[row + i];
            line[at++] = (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
        }
        line[at++] = '|';
        line[at++] = '\n';
        line[at] = 0;
        send(line);
    }
}

int printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = std::vprintf(format, args);
    va_end(args);
    return result;
}

int snprintf(char* buffer, u64 size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = std::vsnprintf(buffer, static_cast<size_t>(size), format, args);
    va_end(args);
    return result;
}

void debug_set_handler(debug_handler_t handler, void* user)
{
    debug_user.store(handler ? user : nullptr, std::memory_order_release);
    debug_handler.store(handler ? handler : debug_default_handler, std::memory_order_release);
}

void debug_assert(bool condition, const char* text)
{
    if (condition)
        return;
    debug_handler_t handler = debug_handler.load(std::memory_order_acquire);
    handler(string_make(text), debug_user.load(std::memory_order_acquire));
}

void debug_default_handler(const string_t& text, void*)
{
    debug_print(text.str);
    platform_debugger_break();
}

void debug_print(const char* text)
{
    std::fputs(text ? text : "", stdout);
    std::fflush(stdout);
}

void debug_break()
{
    platform_debugger_break();
}

bool debug_is_attached()
{
    return platform_debugger_attached();
}

void debug_enable_bugsplat(const char*, const char*, const char*, const char*, const char*) {}
void debug_disable_bugsplat() {}
void debug_bugsplat_details(const char*, const char*) {}
void debug_enable_minidump(const char*) {}
void debug_enable_msvc(bool) {}
} // namespace orvo
