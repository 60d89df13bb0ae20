// The process's special folders on Linux (home, per-user data, pictures,
// temporary, working, executable and resources folders), fresh temporary file
// names and the listing of a folder's files. Each call fills a record that the
// caller owns, in normal form; an unknown folder leaves it empty. The Qt-based
// pictures location is in core_filename_qt.h.
#pragma once

#include "orvo/core/core_filename.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
// --- special folders (false when the folder is unknown: the record is empty) -----------
// $HOME when set and not empty.
bool dir_get_home(dirname_t& dirname);
// Per-user application data: $XDG_DATA_HOME when it is absolute, else the
// home folder's ".local/share" (relative to the working folder without a
// home). The application adds its own folder below it.
bool dir_get_data(dirname_t& dirname);
// Pictures: $XDG_PICTURES_DIR when it is absolute, else the home folder's
// "Pictures". The application adds its own folder below it.
bool dir_get_pictures(dirname_t& dirname);
// Where installed programs live ("/usr/bin"): a starting point for choosing one.
bool dir_get_apps(dirname_t& dirname);
// The system's temporary folder ($TMPDIR and friends, else /tmp).
bool dir_get_temp(dirname_t& dirname);
bool dir_get_current(dirname_t& dirname);
// Changes the process-wide working folder; a failure is ignored.
void dir_set_current(const string_t& path);
// The running executable and its folder.
bool file_get_exe(filename_t& filename);
bool dir_get_exe(dirname_t& dirname);
// The application's resources: "resources" beside the executable when that
// folder exists, else "<prefix>/share/lumivane" where the prefix is the parent
// of the executable's folder (/usr for /usr/bin/lumivane).
bool dir_get_resource(dirname_t& dirname);
// A fresh name "orvo-xxxx-xxxx-xxxx-xxxx" in the temporary folder; the file
// is not created. Empty (false) when no name can be made.
bool file_get_temp(filename_t& filename);
// Called first by the program's entry point. Qt on Linux finds its plug-ins
// from its own installation (and QT_PLUGIN_PATH), so its paths are left as
// they are.
void set_qtplugin_path();

// --- listing -------------------------------------------------------------------------------
// Appends every entry of the folder that is not a folder (files, links to
// files, broken links, special files) as a filename_t; a sorted vector keeps
// the strcmp order of full paths. The vector owns the records it receives
// (release each, then the vector). False when the path is not a folder;
// otherwise true when the vector holds at least one record.
bool dir_find_files(vector_t<filename_t>& files, const dirname_t& directory);
// Releases every record and the vector.
void dir_release_files(vector_t<filename_t>& files);
} // namespace orvo
