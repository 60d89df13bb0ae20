// QString and QColor bridges of the foundation's text and colour types.
#include "orvo/core/core_string_qt.h"

#include <QByteArray>
#include <QColor>
#include <QString>

namespace orvo
{
bool stringbuffer_set(stringbuffer_t& buffer, const QString& text)
{
    QByteArray utf8 = text.toUtf8();
    return stringbuffer_set(buffer, string_make(utf8.constData()));
}

bool stringbuffer_append(stringbuffer_t& buffer, const QString& text)
{
    QByteArray utf8 = text.toUtf8();
    return stringbuffer_append(buffer, string_make(utf8.constData()));
}

void rgba_set(rgba_t& colour, const QColor& source)
{
    colour.r = static_cast<float>(source.redF());
    colour.g = static_cast<float>(source.greenF());
    colour.b = static_cast<float>(source.blueF());
    colour.a = static_cast<float>(source.alphaF());
}

void rgba_to_QColor(QColor& colour, const rgba_t& source)
{
    colour.setRgbF(source.r, source.g, source.b, source.a);
}
} // namespace orvo
