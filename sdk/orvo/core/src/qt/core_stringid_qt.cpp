// stringid_construct: interning QString texts.
#include "orvo/core/core_stringid_qt.h"

#include <QByteArray>
#include <QString>

namespace orvo
{
stringid_t stringid_construct(const QString& text)
{
    QByteArray utf8 = text.toUtf8();
    stringid_t id = {empty_str};
    stringid_resolve(id, string_t{utf8.constData(), static_cast<u64>(utf8.size())});
    return id;
}
} // namespace orvo
