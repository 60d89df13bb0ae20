// The sample block timerlog_t, the per-thread CSV profile log and its
// analyser. A profile file is untrusted input when read back: every line is
// parsed by hand with range checks, and scopes are matched with an explicit
// stack so that deep or broken nesting cannot exhaust the thread's stack.
#include "orvo/core/core_profile.h"
#include "orvo/core/core_folders.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_thread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <string>
#include <vector>

namespace orvo
{
const char* const PROFILELOG_HEADER = "stacklevel,type,microseconds,linenumber,filename,label\n";

namespace
{
// Longest file name and label a record may hold.
const u64 PROFILE_FIELD_MAX = 1024;
const u64 PROFILE_SAMPLE_ROOM = 100;

pthread_key_t profile_key;
std::atomic<bool> profile_key_valid(false);

// --- analysis records ---------------------------------------------------------------

struct profileitem_t
{
    std::string filename;
    std::string label;
    i32 linenumber;
    long count;
    vector_t<u64> inclusive;
    vector_t<u64> exclusive;
};

struct profilekey_t
{
    const char* filename;
    i32 linenumber;
};

struct profilerecord_t
{
    u32 stacklevel;
    char type;
    u64 microseconds;
    i32 linenumber;
    std::string filename;
    std::string label;
};

// An open scope: its first record and the inclusive time of its children.
struct openscope_t
{
    profilerecord_t opening;
    u64 children;
};
} // namespace

template <>
struct container_traits<profileitem_t*>
{
    typedef profilekey_t key_type;
    static key_type key(profileitem_t* const& item) { return key_type{item->filename.c_str(), item->linenumber}; }
    static int compare(const key_type& a, const key_type& b)
    {
        int order = std::strcmp(a.filename, b.filename);
        if (order)
            return order;
        return a.linenumber < b.linenumber ? -1 : (a.linenumber > b.linenumber ? 1 : 0);
    }
};

namespace
{
bool parse_unsigned(const char*& cursor, unsigned long long limit, unsigned long long& value)
{
    if (*cursor < '0' || *cursor > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(cursor, &end, 10);
    if (errno || value > limit)
        return false;
    cursor = end;
    return true;
}

bool parse_signed(const char*& cursor, i32& value)
{
    const char* digits = *cursor == '-' || *cursor == '+' ? cursor + 1 : cursor;
    if (*digits < '0' || *digits > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(cursor, &end, 10);
    if (errno || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    value = static_cast<i32>(parsed);
    cursor = end;
    return true;
}

bool expect_comma(const char*& cursor)
{
    if (*cursor != ',')
        return false;
    ++cursor;
    return true;
}

// One to PROFILE_FIELD_MAX bytes up to a stop byte.
bool parse_text(const char*& cursor, const char* stops, std::string& text)
{
    u64 length = std::strcspn(cursor, stops);
    if (length == 0 || length > PROFILE_FIELD_MAX)
        return false;
    text.assign(cursor, length);
    cursor += length;
    return true;
}

// "level,type,microseconds,line,filename,label"; false for anything else.
bool parse_record(const std::string& line, profilerecord_t& record)
{
    const char* cursor = line.c_str();
    unsigned long long level = 0, microseconds = 0;
    if (!parse_unsigned(cursor, UINT32_MAX, level) || !expect_comma(cursor))
        return false;
    record.stacklevel = static_cast<u32>(level);
    record.type = *cursor;
    if (record.type != 'e' && record.type != 'x')
        return false;
    ++cursor;
    if (!expect_comma(cursor) || !parse_unsigned(cursor, ULLONG_MAX, microseconds) || !expect_comma(cursor) ||
        !parse_signed(cursor, record.linenumber) || !expect_comma(cursor) ||
        !parse_text(cursor, ",", record.filename) || !expect_comma(cursor) || !parse_text(cursor, ",", record.label))
        return false;
    record.microseconds = microseconds;
    return *cursor == 0; // a label that runs into another comma is no record
}

// A whole line without its line break; false at the end of the file.
bool read_line(FILE* file, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(file)) != EOF)
    {
        if (c == '\n')
            return true;
        line.push_back(static_cast<char>(c));
        // Far longer than any record can be: stop reading such a file.
        if (line.size() > 4 * PROFILE_FIELD_MAX)
            return true;
    }
    return !line.empty();
}

void item_release(profileitem_t* item)
{
    vector_release(item->inclusive);
    vector_release(item->exclusive);
    delete item;
}

profileitem_t* item_find_or_add(vector_t<profileitem_t*>& items, const profilerecord_t& opening)
{
    u64 index = 0;
    if (vector_search(items, profilekey_t{opening.filename.c_str(), opening.linenumber}, index))
        return items.data[index];
    profileitem_t* item = new (std::nothrow) profileitem_t();
    if (!item)
        return nullptr;
    item->filename = opening.filename;
    item->label = opening.label;
    item->linenumber = opening.linenumber;
    item->count = 0;
    vector_initialise(item->inclusive, PROFILE_SAMPLE_ROOM, false);
    vector_initialise(item->exclusive, PROFILE_SAMPLE_ROOM, false);
    if (!vector_insert(items, item))
    {
        item_release(item);
        return nullptr;
    }
    return item;
}

// Sorted ascending by the caller. The lower median: the middle sample of an
// odd count, the lower of the two middle ones of an even count.
u64 median(const vector_t<u64>& samples)
{
    return samples.data[(samples.count - 1) / 2];
}

bool append_duration(stringbuffer_t& out, u64 microseconds, stringbuffer_t& scratch)
{
    return time_print_units(microseconds, TIMEUNIT_MICROSECONDS, scratch) &&
           stringbuffer_appendf(out, "  %9s", scratch.str);
}

// The whole report is built before the log lock is taken: nothing that may
// log (an allocation) runs while it is held.
void report(vector_t<profileitem_t*>& items)
{
    if (!log_is_enabled(LOGLEVEL_INFO, LOGMODULE_GENERAL))
        return;
    stringbuffer_t text, scratch;
    stringbuffer_initialise(text);
    stringbuffer_initialise(scratch);
    bool ok =
        stringbuffer_set(text, "PROFILE RESULT\n| Statistics (in milliseconds):\n"
                               "|      Count  Inclusive  Exclusive        Min        Max      Line  Label (Filename)\n"
                               "|----------------------------------------------------------------------------------");
    for (u64 i = 0; ok && i < items.count; ++i)
    {
        profileitem_t* item = items.data[i];
        std::sort(item->inclusive.data, item->inclusive.data + item->inclusive.count);
        std::sort(item->exclusive.data, item->exclusive.data + item->exclusive.count);
        ok =
            stringbuffer_appendf(text, "\n| %10ld", item->count) &&
            append_duration(text, median(item->inclusive), scratch) &&
            append_duration(text, median(item->exclusive), scratch) &&
            append_duration(text, item->inclusive.data[0], scratch) &&
            append_duration(text, item->inclusive.data[item->inclusive.count - 1], scratch) &&
            stringbuffer_appendf(text, "  %8d  %s (%s)", item->linenumber, item->label.c_str(), item->filename.c_str());
    }
    ok = ok && stringbuffer_append(
                   text, "\n|----------------------------------------------------------------------------------\n\n");
    if (ok && log_lock(LOGLEVEL_INFO, LOGMODULE_GENERAL))
    {
        log_print(text);
        log_unlock();
    }
    stringbuffer_release(scratch);
    stringbuffer_release(text);
}

// Matches every closing record with the open scope of its level. Scopes
// left open when a shallower or same-level record arrives are dropped; a
// record that does not parse ends the reading.
void read_scopes(FILE* file, vector_t<profileitem_t*>& items)
{
    std::vector<openscope_t> scopes;
    std::string line;
    profilerecord_t record;
    while (read_line(file, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (!parse_record(line, record))
            break;
        bool closes = record.type == 'x';
        while (!scopes.empty() && (scopes.back().opening.stacklevel > record.stacklevel ||
                                   (!closes && scopes.back().opening.stacklevel == record.stacklevel)))
            scopes.pop_back();
        if (!closes)
        {
            scopes.push_back(openscope_t{record, 0});
            continue;
        }
        if (scopes.empty() || scopes.back().opening.stacklevel != record.stacklevel)
            continue; // closes nothing that is open
        u64 start = scopes.back().opening.microseconds;
        u64 inclusive = record.microseconds >= start ? record.microseconds - start : 0;
        u64 children = scopes.back().children;
        u64 exclusive = inclusive >= children ? inclusive - children : 0;
        profileitem_t* item = item_find_or_add(items, scopes.back().opening);
        scopes.pop_back();
        if (item && vector_insert(item->inclusive, inclusive))
        {
            if (vector_insert(item->exclusive, exclusive))
                ++item->count;
            else
                vector_remove(item->inclusive, item->inclusive.count - 1);
        }
        if (!scopes.empty())
            scopes.back().children += inclusive;
    }
}

void profilelog_free(profilelog_t* record)
{
    if (!record)
        return;
    filename_release(record->filename);
    heap_free(record->buffer, ORVO_HEAP_TAG);
    heap_free(record, ORVO_HEAP_TAG);
}

// A thread that ends with its profile log open: keep what it wrote.
void profilelog_thread_exit(void* pointer)
{
    profilelog_t* record = static_cast<profilelog_t*>(pointer);
    if (record->file)
    {
        profilelog_flush(*record);
        std::fclose(record->file);
    }
    profilelog_free(record);
}

// Writes `text` into the record, flushing first when it does not fit.
bool profilelog_put(profilelog_t& record, const char* text, u64 length)
{
    if (record.capacity - record.used < length && !profilelog_flush(record))
        return false;
    if (length > record.capacity)
        return false;
    std::memcpy(record.buffer + record.used, text, length);
    record.used += length;
    return true;
}

void append_field(std::string& line, const char* text)
{
    if (!text || !*text)
    {
        line += '?';
        return;
    }
    u64 length = std::min<u64>(std::strlen(text), PROFILE_FIELD_MAX);
    for (u64 i = 0; i < length; ++i)
    {
        char c = text[i];
        line += (c == ',' || c == '\n' || c == '\r') ? '_' : c;
    }
}
} // namespace

// --- timerlog_t ---------------------------------------------------------------------------

bool timerlog_initialise(timerlog_t& timerlog, u64 capacity, u32 unit)
{
    timerlog.num_samples = 0;
    timerlog.total = 0;
    timerlog.unit = static_cast<timeunit_t>(unit);
    timerlog.start = 0;
    timerlog.next = 0;
    timerlog.capacity = 0;
    timerlog.samples = nullptr;
    if (capacity == 0)
        return true;
    if (capacity > UINT64_MAX / sizeof(u32))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to allocate memory: %llu samples",
                   (unsigned long long)capacity);
        return false;
    }
    timerlog.samples = static_cast<u32*>(heap_alloc(capacity * sizeof(u32), alignof(u32), ORVO_HEAP_TAG));
    if (!timerlog.samples)
        return false;
    std::memset(timerlog.samples, 0, capacity * sizeof(u32));
    timerlog.capacity = capacity;
    return true;
}

void timerlog_release(timerlog_t& timerlog)
{
    heap_free(timerlog.samples, ORVO_HEAP_TAG);
    timerlog.samples = nullptr;
    timerlog.capacity = 0;
    timerlog.next = 0;
    timerlog.num_samples = 0;
    timerlog.total = 0;
}

// --- profilelog_t ---------------------------------------------------------------------------

bool profilelog_initialise()
{
    if (profile_key_valid.load(std::memory_order_acquire))
        return true;
    if (pthread_key_create(&profile_key, profilelog_thread_exit) != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to create profile log key");
        return false;
    }
    profile_key_valid.store(true, std::memory_order_release);
    return true;
}

void profilelog_release()
{
    if (!profile_key_valid.load(std::memory_order_acquire))
        return;
    // The calling thread's own record would otherwise be lost with the key.
    profilelog_close();
    profile_key_valid.store(false, std::memory_order_release);
    pthread_key_delete(profile_key);
}

profilelog_t* profilelog_current()
{
    if (!profile_key_valid.load(std::memory_order_acquire))
        return nullptr;
    return static_cast<profilelog_t*>(pthread_getspecific(profile_key));
}

bool profilelog_open()
{
    if (!profile_key_valid.load(std::memory_order_acquire))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to open profile log: not initialised");
        return false;
    }
    if (profilelog_current())
        return true;
    profilelog_t* record =
        static_cast<profilelog_t*>(heap_alloc(sizeof(profilelog_t), alignof(profilelog_t), ORVO_HEAP_TAG));
    if (!record)
        return false;
    record->buffer = static_cast<char*>(heap_alloc(PROFILELOG_BUFFER_SIZE, 1, ORVO_HEAP_TAG));
    record->capacity = record->buffer ? PROFILELOG_BUFFER_SIZE : 0;
    record->used = 0;
    record->file = nullptr;
    filename_initialise(record->filename);

    const stringbuffer_t* name = thread_get_name();
    stringbuffer_t leaf;
    stringbuffer_initialise(leaf);
    dirname_t folder;
    dirname_initialise(folder);
    bool ok = record->buffer &&
              stringbuffer_format(leaf, "profilelog_%u_%s.csv", thread_get_index(), name ? name->str : "") &&
              dir_get_current(folder) && filename_set(record->filename, folder.path, leaf);
    dirname_release(folder);
    stringbuffer_release(leaf);
    if (ok)
    {
        record->file = std::fopen(record->filename.path.str, "wbe");
        if (!record->file)
        {
            int cause = errno;
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to open profile log: %s - %s",
                       record->filename.path.str, std::strerror(cause));
            ok = false;
        }
    }
    ok = ok && profilelog_put(*record, PROFILELOG_HEADER, std::strlen(PROFILELOG_HEADER));
    if (ok && pthread_setspecific(profile_key, record) != 0)
        ok = false;
    if (!ok)
    {
        if (record->file)
        {
            std::fclose(record->file);
            std::remove(record->filename.path.str);
        }
        profilelog_free(record);
    }
    return ok;
}

bool profilelog_write(profilelog_t& record, u32 stacklevel, char type, u64 microseconds, i32 linenumber,
                      const char* filename, const char* label)
{
    if (type != 'e' && type != 'x')
        return false;
    char numbers[96];
    std::snprintf(numbers, sizeof(numbers), "%u,%c,%llu,%d,", stacklevel, type, (unsigned long long)microseconds,
                  linenumber);
    std::string line(numbers);
    append_field(line, filename);
    line += ',';
    append_field(line, label);
    line += '\n';
    return profilelog_put(record, line.data(), line.size());
}

bool profilelog_flush(profilelog_t& record)
{
    if (!record.used)
        return true;
    if (!record.file || std::fwrite(record.buffer, 1, record.used, record.file) != record.used ||
        std::fflush(record.file) != 0)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to write profile log: %s - %s", record.filename.path.str,
                   std::strerror(cause));
        record.used = 0;
        return false;
    }
    record.used = 0;
    return true;
}

void profilelog_close()
{
    profilelog_t* record = profilelog_current();
    if (!record)
        return;
    pthread_setspecific(profile_key, nullptr);
    bool saved = profilelog_flush(*record);
    if (std::fclose(record->file) != 0)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to write profile log: %s - %s", record->filename.path.str,
                   std::strerror(cause));
        saved = false;
    }
    record->file = nullptr;
    if (saved)
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_GENERAL, "Profile log saved: %s", record->filename.path.str);
        profilelog_analyse(record->filename.path);
    }
    profilelog_free(record);
}

bool profilelog_analyse(const string_t& filename)
{
    std::string path = path_from_string(filename).string();
    FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rbe");
    if (!file)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to open profile: %s", path.c_str());
        return false;
    }
    std::string line;
    if (!read_line(file, line) || line + "\n" != PROFILELOG_HEADER)
    {
        std::fclose(file);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Unregonised header in profile: %s", path.c_str());
        return false;
    }

    vector_t<profileitem_t*> items;
    vector_initialise(items, 16, true);
    try
    {
        read_scopes(file, items);
    }
    catch (const std::exception&)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to read profile: %s", path.c_str());
    }
    std::fclose(file);

    // Items exist only for closed scopes, so every one has a sample.
    report(items);

    for (u64 i = 0; i < items.count; ++i)
        item_release(items.data[i]);
    vector_release(items);
    return true;
}
} // namespace orvo
