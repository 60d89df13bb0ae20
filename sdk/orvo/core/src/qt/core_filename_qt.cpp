// QString bridges of the path records and the Qt-located pictures folder.
#include "orvo/core/core_filename_qt.h"
#include "orvo/core/core_folders.h"
#include "orvo/core/core_string_qt.h"

#include <QStandardPaths>
#include <QString>

namespace orvo
{
bool filename_set(filename_t& filename, const QString& path)
{
    stringbuffer_t text;
    stringbuffer_initialise(text);
    bool ok = stringbuffer_set(text, path);
    ok = ok && filename_set(filename, static_cast<const string_t&>(text));
    if (!ok)
        filename_clear(filename);
    stringbuffer_release(text);
    return ok;
}

bool dirname_set(dirname_t& dirname, const QString& path)
{
    stringbuffer_t text;
    stringbuffer_initialise(text);
    bool ok = stringbuffer_set(text, path);
    ok = ok && dirname_set(dirname, static_cast<const string_t&>(text));
    if (!ok)
        dirname_clear(dirname);
    stringbuffer_release(text);
    return ok;
}

bool dir_get_pictures_qt(dirname_t& dirname)
{
    QString location = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!location.isEmpty() && dirname_set(dirname, location))
        return true;
    return dir_get_pictures(dirname);
}
} // namespace orvo
