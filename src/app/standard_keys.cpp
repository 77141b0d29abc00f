#include "app/standard_keys.h"

namespace corvex::app {

QList<QKeySequence> standardShortcuts(QKeySequence::StandardKey key, const QKeySequence& fallback)
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (keys.isEmpty())
        keys.append(fallback);
    return keys;
}

} // namespace corvex::app
