// Linux special folders from the environment, /proc/self/exe and Boost, fresh
// temporary names, and folder listings into vectors of filename_t.
#include "orvo/core/core_folders.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_platform.h"

#include <boost/filesystem/operations.hpp>

#include <cstdlib>

namespace fs = boost::filesystem;

namespace orvo
{
namespace
{
// An environment folder counts only when it is absolute: the XDG rules say a
// relative value is to be ignored, and it would move with the working folder.
bool set_from_absolute_env(dirname_t& dirname, const char* variable)
{
    const char* value = std::getenv(variable);
    if (!value || value[0] != '/')
        return false;
    return dirname_set(dirname, value);
}
} // namespace

bool dir_get_home(dirname_t& dirname)
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
    {
        dirname_clear(dirname);
        return false;
    }
    return dirname_set(dirname, home);
}

bool dir_get_data(dirname_t& dirname)
{
    if (set_from_absolute_env(dirname, "XDG_DATA_HOME"))
        return true;
    dir_get_home(dirname);
    return dirname_append(dirname, ".local") && dirname_append(dirname, "share");
}

bool dir_get_pictures(dirname_t& dirname)
{
    if (set_from_absolute_env(dirname, "XDG_PICTURES_DIR"))
        return true;
    dir_get_home(dirname);
    return dirname_append(dirname, "Pictures");
}

bool dir_get_apps(dirname_t& dirname)
{
    return dirname_set(dirname, "/usr/bin");
}

bool dir_get_temp(dirname_t& dirname)
{
    boost::system::error_code error;
    fs::path temp = fs::temp_directory_path(error);
    if (error)
    {
        dirname_clear(dirname);
        return false;
    }
    return dirname_set(dirname, temp);
}

bool dir_get_current(dirname_t& dirname)
{
    boost::system::error_code error;
    fs::path current = fs::current_path(error);
    if (error)
    {
        dirname_clear(dirname);
        return false;
    }
    return dirname_set(dirname, current);
}

void dir_set_current(const string_t& path)
{
    boost::system::error_code ignored;
    fs::current_path(path_from_string(path), ignored);
}

bool file_get_exe(filename_t& filename)
{
    stringbuffer_t path;
    stringbuffer_initialise(path);
    bool ok = platform_executable_path(path);
    if (!ok)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to read executable path: %s", "/proc/self/exe");
    ok = ok && filename_set(filename, path);
    if (!ok)
        filename_clear(filename);
    stringbuffer_release(path);
    return ok;
}

bool dir_get_exe(dirname_t& dirname)
{
    filename_t exe;
    filename_initialise(exe);
    bool ok = file_get_exe(exe) && dirname_copy(dirname, exe.dir) && dirname.path.length;
    if (!ok)
        dirname_clear(dirname);
    filename_release(exe);
    return ok;
}

bool dir_get_resource(dirname_t& dirname)
{
    dirname_t exe;
    dirname_initialise(exe);
    bool ok = dir_get_exe(exe);
    if (ok)
    {
        // A build tree or an unpacked bundle keeps its resources beside the program.
        ok = dirname_copy(dirname, exe) && dirname_append(dirname, "resources");
        boost::system::error_code error;
        if (ok && !fs::is_directory(fs::path(dirname.path.str), error))
            ok = dirname_set(dirname, fs::path(exe.path.str).parent_path() / "share" / "lumivane");
    }
    if (!ok)
        dirname_clear(dirname);
    dirname_release(exe);
    return ok;
}

bool file_get_temp(filename_t& filename)
{
    filename_clear(filename);
    dirname_t temp;
    dirname_initialise(temp);
    bool ok = dir_get_temp(temp);
    if (ok)
    {
        boost::system::error_code error;
        fs::path unique = fs::unique_path(fs::path("orvo-%%%%-%%%%-%%%%-%%%%"), error);
        std::string name = unique.string();
        ok = !error && filename_set(filename, temp.path, string_make(name.c_str(), name.size()));
    }
    if (!ok)
        filename_clear(filename);
    dirname_release(temp);
    return ok;
}

void set_qtplugin_path()
{
    // Deliberately nothing: replacing Qt's library paths would hide the
    // platform plug-ins of the system's Qt installation.
}

bool dir_find_files(vector_t<filename_t>& files, const dirname_t& directory)
{
    fs::path folder = path_from_string(directory.path);
    boost::system::error_code error;
    if (folder.empty() || !fs::is_directory(fs::status(folder, error)))
        return false;
    fs::directory_iterator entry(folder, error);
    const fs::directory_iterator end;
    while (!error && entry != end)
    {
        boost::system::error_code status_error;
        // Following links: a link to a folder is a folder, a broken link is a file.
        if (entry->status(status_error).type() != fs::directory_file)
        {
            filename_t file;
            filename_initialise(file);
            // Each entry is one name inside the folder: a backslash would
            // become a separator in the record's normal form, so that
            // "x\..\..\y.jpg" names a file outside it. Such names are left
            // out, as are names with an empty stem (".hidden").
            const std::string name = entry->path().filename().string();
            if (name.find('\\') != std::string::npos)
            {
                log_writef(LOGLEVEL_WARNING, LOGMODULE_GENERAL, "Leaving out a file whose name holds a backslash: %s/%s",
                           folder.c_str(), name.c_str());
            }
            else if (!filename_set(file, entry->path()) || !vector_insert(files, file))
            {
                filename_release(file);
            }
        }
        entry.increment(error);
    }
    // The listing ends at the first entry that cannot be read.
    if (error)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_GENERAL, "Failed to list folder: %s - %s", folder.c_str(),
                   error.message().c_str());
    return files.count > 0;
}

void dir_release_files(vector_t<filename_t>& files)
{
    for (u64 i = 0; i < files.count; ++i)
        filename_release(files.data[i]);
    vector_release(files);
}
} // namespace orvo
