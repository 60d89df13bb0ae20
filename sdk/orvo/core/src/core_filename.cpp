// Normal form of paths and the dirname_t / filename_t records. Boost does the
// path arithmetic with error codes; the only file-system access is the
// status walk of weakly_canonical.
#include "orvo/core/core_filename.h"

#include <boost/filesystem/operations.hpp>

#include <string>

namespace fs = boost::filesystem;

namespace orvo
{
namespace
{
std::string to_std_text(const string_t& text)
{
    if (!text.length)
        return std::string();
    // A zero byte ends the text, as it would for every system call after us.
    const void* zero = std::memchr(text.str, 0, text.length);
    u64 length = zero ? static_cast<u64>(static_cast<const char*>(zero) - text.str) : text.length;
    return std::string(text.str, length);
}

void backslashes_to_slashes(std::string& text)
{
    for (char& c : text)
        if (c == '\\')
            c = '/';
}

// "/a/b/." -> "/a/b", "/." -> "/": a folder never ends in a separator.
void strip_trailing_dot(std::string& text)
{
    if (text.size() >= 2 && text[text.size() - 1] == '.' && text[text.size() - 2] == '/')
    {
        text.resize(text.size() - 2);
        if (text.empty())
            text = "/";
    }
}

bool set_text(stringbuffer_t& buffer, const std::string& text)
{
    return stringbuffer_set(buffer, string_make(text.data(), text.size()));
}

// Replaces separators, and a leading ".." when `dots` is set, by '_'.
bool sanitise(char* text, u64 length, bool dots)
{
    bool changed = false;
    for (u64 i = 0; i < length; ++i)
    {
        if (text[i] == '/' || text[i] == '\\')
        {
            text[i] = '_';
            changed = true;
        }
    }
    if (dots && length >= 2 && text[0] == '.' && text[1] == '.')
    {
        text[0] = '_';
        text[1] = '_';
        changed = true;
    }
    return changed;
}

std::string sanitised(const string_t& text, bool dots)
{
    std::string out = to_std_text(text);
    sanitise(&out[0], out.size(), dots);
    return out;
}

// "" and "." name the folder itself: joined to it they give a record of the
// folder, and a later name replacement would land in its parent.
bool names_a_file(const std::string& name)
{
    return !name.empty() && name != ".";
}

std::string dirname_text(const fs::path& path)
{
    std::string text = path_normalise(path);
    strip_trailing_dot(text);
    return text;
}

// Fills every part from a full path already in normal form. The record is
// only touched when every part could be stored.
bool filename_assign(filename_t& filename, const std::string& full)
{
    if (full.empty())
    {
        filename_clear(filename);
        return false;
    }
    fs::path path(full);
    std::string dir = path.parent_path().string();
    strip_trailing_dot(dir);
    filename_t built;
    filename_initialise(built);
    bool ok = set_text(built.path, full) && set_text(built.dir.path, dir) &&
              set_text(built.name, path.filename().string()) && set_text(built.stem, path.stem().string()) &&
              set_text(built.extension, path.extension().string());
    if (ok)
        filename_move(built, filename);
    filename_release(built);
    return ok;
}

bool dirname_assign(dirname_t& dirname, const std::string& text)
{
    if (text.empty())
    {
        dirname_clear(dirname);
        return false;
    }
    return set_text(dirname.path, text);
}
} // namespace

std::string path_normalise(const fs::path& path)
{
    // Backslashes turn into separators before the path is resolved, so that
    // "a\..\..\b" cannot leave ".." components behind in the stored text.
    std::string text = path.string();
    backslashes_to_slashes(text);
    if (text.empty())
        return text;
    boost::system::error_code error;
    fs::path canonical;
    try
    {
        canonical = fs::weakly_canonical(fs::path(text), error);
    }
    catch (const std::exception&)
    {
        return std::string();
    }
    if (error)
        return std::string();
    text = canonical.string();
    backslashes_to_slashes(text); // a resolved link may hold them too
    return text;
}

fs::path path_from_string(const string_t& text)
{
    return fs::path(to_std_text(text));
}

bool filename_sanitise_name(stringbuffer_t& name)
{
    if (!name.length || !name.storage.buf)
        return false;
    return sanitise(reinterpret_cast<char*>(name.storage.buf), name.length, true);
}

bool filename_sanitise_name(std::string& name)
{
    return !name.empty() && sanitise(&name[0], name.size(), true);
}

// --- dirname_t ----------------------------------------------------------------------

void dirname_initialise(dirname_t& dirname)
{
    stringbuffer_initialise(dirname.path);
}

void dirname_release(dirname_t& dirname)
{
    stringbuffer_release(dirname.path);
}

void dirname_clear(dirname_t& dirname)
{
    stringbuffer_clear(dirname.path);
}

bool dirname_copy(dirname_t& target, const dirname_t& source)
{
    return stringbuffer_copy(target.path, source.path);
}

void dirname_move(dirname_t& source, dirname_t& target)
{
    stringbuffer_move(source.path, target.path);
}

bool dirname_set(dirname_t& dirname, const string_t& path)
{
    return dirname_set(dirname, path_from_string(path));
}

bool dirname_set(dirname_t& dirname, const char* path)
{
    return dirname_set(dirname, string_make(path));
}

bool dirname_set(dirname_t& dirname, const fs::path& path)
{
    return dirname_assign(dirname, dirname_text(path));
}

bool dirname_append(dirname_t& dirname, const string_t& component)
{
    return dirname_append(dirname, fs::path(sanitised(component, true)));
}

bool dirname_append(dirname_t& dirname, const char* component)
{
    return dirname_append(dirname, string_make(component));
}

bool dirname_append(dirname_t& dirname, const fs::path& component)
{
    fs::path joined(to_std_text(dirname.path));
    joined /= component;
    return dirname_assign(dirname, dirname_text(joined));
}

// --- filename_t ---------------------------------------------------------------------

void filename_initialise(filename_t& filename)
{
    stringbuffer_initialise(filename.path);
    dirname_initialise(filename.dir);
    stringbuffer_initialise(filename.name);
    stringbuffer_initialise(filename.stem);
    stringbuffer_initialise(filename.extension);
}

void filename_release(filename_t& filename)
{
    stringbuffer_release(filename.path);
    dirname_release(filename.dir);
    stringbuffer_release(filename.name);
    stringbuffer_release(filename.stem);
    stringbuffer_release(filename.extension);
}

void filename_clear(filename_t& filename)
{
    stringbuffer_clear(filename.path);
    dirname_clear(filename.dir);
    stringbuffer_clear(filename.name);
    stringbuffer_clear(filename.stem);
    stringbuffer_clear(filename.extension);
}

bool filename_copy(filename_t& target, const filename_t& source)
{
    if (&target == &source)
        return true;
    filename_t built;
    filename_initialise(built);
    bool ok = stringbuffer_copy(built.path, source.path) && dirname_copy(built.dir, source.dir) &&
              stringbuffer_copy(built.name, source.name) && stringbuffer_copy(built.stem, source.stem) &&
              stringbuffer_copy(built.extension, source.extension);
    if (ok)
        filename_move(built, target);
    filename_release(built);
    return ok;
}

void filename_move(filename_t& source, filename_t& target)
{
    if (&source == &target)
        return;
    stringbuffer_move(source.path, target.path);
    dirname_move(source.dir, target.dir);
    stringbuffer_move(source.name, target.name);
    stringbuffer_move(source.stem, target.stem);
    stringbuffer_move(source.extension, target.extension);
}

bool filename_set(filename_t& filename, const string_t& path)
{
    if (!path.length)
    {
        filename_clear(filename);
        return false;
    }
    return filename_set(filename, path_from_string(path));
}

bool filename_set(filename_t& filename, const char* path)
{
    return filename_set(filename, string_make(path));
}

bool filename_set(filename_t& filename, const fs::path& path)
{
    std::string full = path_normalise(path);
    // A bare extension such as ".jpg" names no file of its own.
    if (full.empty() || fs::path(full).stem().empty())
    {
        filename_clear(filename);
        return false;
    }
    return filename_assign(filename, full);
}

bool filename_set(filename_t& filename, const string_t& directory, const string_t& name)
{
    std::string leaf = sanitised(name, true);
    if (!names_a_file(leaf))
    {
        filename_clear(filename);
        return false;
    }
    fs::path joined = path_from_string(directory);
    joined /= leaf;
    return filename_assign(filename, path_normalise(joined));
}

bool filename_replace_dir(filename_t& filename, const string_t& directory)
{
    fs::path joined = path_from_string(directory);
    joined /= to_std_text(filename.name);
    std::string full = path_normalise(joined);
    return !full.empty() && filename_assign(filename, full);
}

bool filename_replace_name(filename_t& filename, const string_t& name)
{
    std::string leaf = sanitised(name, true);
    if (!names_a_file(leaf))
        return false;
    fs::path joined(to_std_text(filename.dir.path));
    joined /= leaf;
    std::string full = path_normalise(joined);
    return !full.empty() && filename_assign(filename, full);
}

bool filename_replace_stem(filename_t& filename, const string_t& stem)
{
    std::string leaf = sanitised(stem, true) + to_std_text(filename.extension);
    if (!names_a_file(leaf))
        return false;
    fs::path joined(to_std_text(filename.dir.path));
    joined /= leaf;
    std::string full = path_normalise(joined);
    return !full.empty() && filename_assign(filename, full);
}

bool filename_replace_extension(filename_t& filename, const string_t& extension)
{
    // The extension may come from a camera's file type: it must not carry a
    // separator into the path. Boost adds the dot when it is missing.
    fs::path path(to_std_text(filename.path));
    path.replace_extension(fs::path(sanitised(extension, false)));
    std::string full = path_normalise(path);
    return !full.empty() && filename_assign(filename, full);
}
} // namespace orvo
