// Interning a Qt string as a string id. Kept apart from core_stringid.h so that
// only Qt code pulls in Qt; it belongs to orvo_core_qt.
#pragma once

#include "orvo/core/core_stringid.h"

class QString;

namespace orvo
{
// The text converted to UTF-8 (up to its first zero, as the QString bridge of
// the text buffers does) and interned; the caller owns the one reference of
// the returned id and drops it with stringid_release. A failure gives the
// empty id (logged by stringid_resolve).
stringid_t stringid_construct(const QString& text);
} // namespace orvo
