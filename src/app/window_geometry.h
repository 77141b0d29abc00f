#pragma once

#include <QString>

class QWidget;

namespace corvex::settings {
class Store;
}

namespace corvex::app {

/// Gives `window` the size and place it had when it last closed (kept under
/// the settings key "windows/<name>/geometry") and keeps them again each
/// time it closes. Call before the window is shown; true when a remembered
/// geometry was restored, false when the window keeps the size it has.
bool rememberGeometry(QWidget& window, settings::Store& store, const QString& name);

} // namespace corvex::app
