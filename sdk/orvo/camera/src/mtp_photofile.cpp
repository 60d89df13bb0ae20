// Photo file names (the unique target of a photo in a folder), the content hash
// of a photo and the download rate. Names come from the camera and from the
// user's filename expression: they are sanitised into one component of the
// folder before any path is built, so a photo never lands outside its folder.
// Saving lives in mtp_photofile_save.cpp.
#include "orvo/camera/mtp_photofile.h"

#include "orvo/camera/src/mtp_photofile_internal.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_hash.h"
#include "orvo/core/core_log.h"

#include <boost/filesystem/path.hpp>

#include <cstring>
#include <string>

namespace orvo
{
namespace
{
std::string text_of(const string_t& text)
{
    if (!text.length || !text.str)
        return std::string();
    const void* zero = std::memchr(text.str, 0, text.length);
    u64 length = zero ? static_cast<u64>(static_cast<const char*>(zero) - text.str) : text.length;
    return std::string(text.str, length);
}

// The longest prefix of text, at most `limit` bytes, that ends on a whole
// UTF-8 sequence.
u64 utf8_cut(const std::string& text, u64 limit)
{
    if (text.size() <= limit)
        return text.size();
    u64 n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

// Bytes of the longest counter a candidate may carry: "_" and the digits.
u64 counter_bytes()
{
    return 1 + std::to_string(MTP_MAX_UNIQUE_SUFFIX).size();
}

// Splits a sanitised component into stem and extension. Leading dots would
// hide the file: they are dropped, and what follows the last dot of such a
// name is its extension (".jpg" is an extension without a stem, ".hidden" too).
void split_name(const std::string& component, std::string& stem, std::string& extension)
{
    size_t lead = component.find_first_not_of('.');
    if (lead == std::string::npos)
    {
        stem.clear();
        extension.clear();
        return;
    }
    std::string rest = component.substr(lead);
    size_t dot = rest.rfind('.');
    if (dot == std::string::npos)
    {
        stem = lead ? std::string() : rest;
        extension = lead ? "." + rest : std::string();
        return;
    }
    stem = rest.substr(0, dot);
    extension = rest.substr(dot);
}

double elapsed_ms(const timer_t& timer)
{
    return static_cast<double>(timer_elapsed(timer)) / 1000.0;
}
} // namespace

bool mtp_photoname_prepare(mtp_photoname_t& out, const string_t& folder, const string_t& file_type,
                           const string_t& name)
{
    std::string folder_text = text_of(folder);
    std::string name_text = text_of(name);
    dirname_t dir;
    dirname_initialise(dir);
    // An empty folder would turn the photo's path into one relative to the
    // working folder (or, joined as text, into one at the root): refuse it.
    bool ok = !folder_text.empty() && dirname_set(dir, string_make(folder_text.c_str()));
    if (ok)
        out.folder.assign(dir.path.str, dir.path.length);
    dirname_release(dir);
    if (!ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to find file name for photo: %s - no folder",
                   name_text.c_str());
        return false;
    }

    // One component of the folder: no separator, no leading "..".
    std::string component = name_text;
    filename_sanitise_name(component);
    split_name(component, out.stem, out.extension);
    std::string type = text_of(file_type);
    if (!type.empty())
    {
        filename_sanitise_name(type);
        out.extension = type[0] == '.' ? type : "." + type;
    }
    // Every photo must be saved: a name without a stem ("", ".", ".jpg",
    // ".hidden") gets one, and a name longer than the file system takes is
    // shortened, keeping its extension and room for the counter ("_100000").
    if (out.stem.empty())
    {
        out.stem = MTP_PHOTO_DEFAULT_STEM;
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo name without a stem: \"%s\" saved as %s%s",
                   name_text.c_str(), out.stem.c_str(), out.extension.c_str());
    }
    if (out.extension.size() > MTP_PHOTO_MAX_EXTENSION_BYTES)
        out.extension.resize(utf8_cut(out.extension, MTP_PHOTO_MAX_EXTENSION_BYTES));
    const u64 room = MTP_PHOTO_MAX_NAME_BYTES - counter_bytes() - out.extension.size();
    if (out.stem.size() > room)
    {
        out.stem.resize(utf8_cut(out.stem, room));
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo name too long for the file system, shortened to: %s%s",
                   out.stem.c_str(), out.extension.c_str());
    }
    return true;
}

std::string mtp_photoname_candidate(const mtp_photoname_t& name, i32 suffix)
{
    std::string file = name.stem;
    if (suffix > 0)
        file += "_" + std::to_string(suffix);
    return file + name.extension;
}

std::string mtp_photoname_path(const mtp_photoname_t& name, i32 suffix)
{
    std::string path = name.folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + mtp_photoname_candidate(name, suffix);
}

i32 mtp_photoname_first_free(const mtp_photoname_t& name, i32 first)
{
    // A folder of the same name does not count: only a regular file holds a
    // name. The exclusive publishing settles any race this check leaves open.
    for (i32 suffix = first < 0 ? 0 : first; suffix <= MTP_MAX_UNIQUE_SUFFIX; ++suffix)
    {
        std::string path = mtp_photoname_path(name, suffix);
        if (!file_exists(string_make(path.c_str(), path.size())))
            return suffix;
    }
    return -1;
}

bool mtp_photoname_finish(const mtp_photoname_t& name, i32 suffix, stringbuffer_t& out_name, filename_t& target)
{
    std::string path = mtp_photoname_path(name, suffix);
    std::string file = mtp_photoname_candidate(name, suffix);
    filename_t built;
    filename_initialise(built);
    bool ok = filename_set(built, string_make(path.c_str(), path.size())) &&
              stringbuffer_set(out_name, string_make(file.c_str(), file.size()));
    if (ok)
        filename_move(built, target);
    else
        filename_clear(target);
    filename_release(built);
    return ok;
}

bool mtp_find_filename(const string_t& folder, const string_t& file_type, bool unique, stringbuffer_t& name,
                       filename_t& target)
{
    mtp_photoname_t parts;
    if (!mtp_photoname_prepare(parts, folder, file_type, name))
    {
        filename_clear(target);
        return false;
    }
    i32 suffix = unique ? mtp_photoname_first_free(parts, 0) : 0;
    if (suffix < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to find file name for photo: %s - folder full: %s",
                   text_of(name).c_str(), parts.folder.c_str());
        filename_clear(target);
        return false;
    }
    std::string wanted = text_of(name);
    if (!mtp_photoname_finish(parts, suffix, name, target))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to find file name for photo: %s", wanted.c_str());
        stringbuffer_set(name, string_make(wanted.c_str(), wanted.size()));
        return false;
    }
    return true;
}

bool mtp_compute_hash(stringbuffer_t& hash, const string_t& name, const memory_t& bytes)
{
    timer_t timer;
    timer_start(timer);
    bool ok = compute_hash(hash, bytes.data, bytes.num_bytes) && hash.length != 0;
    if (!ok)
    {
        stringbuffer_set(hash, empty_str);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to compute hash for photo: %.*s",
                   static_cast<int>(name.length), name.str);
        return false;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Computed hash in %.2f ms for photo: %.*s - %s", elapsed_ms(timer),
               static_cast<int>(name.length), name.str, hash.str);
    return true;
}

bool mtp_compute_hash(stringbuffer_t& hash, const string_t& name, const filename_t& file)
{
    filecontents_t contents;
    filecontents_initialise(contents);
    if (!filecontents_load_silent(contents, file.path))
    {
        filecontents_release(contents);
        stringbuffer_set(hash, empty_str);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to compute hash for photo: %.*s",
                   static_cast<int>(name.length), name.str);
        return false;
    }
    bool ok = mtp_compute_hash(hash, name, memorybuffer_view(contents.buffer));
    filecontents_release(contents);
    return ok;
}

float mtp_compute_download_rate(const timer_t& elapsed, u64 num_bytes)
{
    // A running timer whose ticks were never taken reads its elapsed time now.
    u64 ticks = elapsed.ticks;
    if (ticks == 0 && elapsed.start != 0)
        ticks = timer_elapsed(elapsed);
    // An in-memory transfer can finish within the clock's resolution; a rate
    // of infinity would then become the device's download rate.
    if (ticks == 0)
        ticks = 1;
    double milliseconds = static_cast<double>(ticks) / 1000.0;
    double megabytes = static_cast<double>(num_bytes) / 1048576.0;
    double rate = megabytes / (milliseconds / 1000.0);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Camera download performance: %.2f mbytes in %.2f ms (%.2f mbytes/sec)",
               megabytes, milliseconds, rate);
    return static_cast<float>(rate);
}
} // namespace orvo
