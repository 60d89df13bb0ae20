// Bridges between the foundation's text and colour types and Qt's QString and
// QColor. Kept apart from core_string.h so that only Qt code pulls in Qt.
#pragma once

#include "orvo/core/core_string.h"

class QString;
class QColor;

namespace orvo
{
// QString is converted with Qt's UTF-8 encoder and used up to its first zero.
bool stringbuffer_set(stringbuffer_t& buffer, const QString& text);
bool stringbuffer_append(stringbuffer_t& buffer, const QString& text);
// Colours as floats from 0 to 1.
void rgba_set(rgba_t& colour, const QColor& source);
void rgba_to_QColor(QColor& colour, const rgba_t& source);
} // namespace orvo
