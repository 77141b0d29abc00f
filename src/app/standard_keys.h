#pragma once

#include <QKeySequence>
#include <QList>

namespace corvex::app {

/// The desktop's keys for a standard action, or `fallback` when its theme
/// gives none (some themes leave Quit or Refresh without a key).
QList<QKeySequence> standardShortcuts(QKeySequence::StandardKey key, const QKeySequence& fallback);

} // namespace corvex::app
