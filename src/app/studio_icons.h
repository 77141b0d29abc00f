#pragma once

#include <QColor>
#include <QIcon>

namespace corvex::app {

/// The icons the studio's toolbars and buttons use, by what they mean.
enum class StudioIcon { Add, Delete, Logout, Find, Record, Stop, Refresh, Copy };

/// The freedesktop icon-theme name of an icon ("list-add", …).
QString themeIconName(StudioIcon icon);

/// The desktop theme's icon when it stands out on `background`; otherwise our
/// own, drawn in a colour that does. Without a background, the application
/// palette's window colour is assumed.
QIcon studioIcon(StudioIcon icon, const QColor& background = {});

/// Our own drawing of the icon in `foreground` (the record dot stays red).
QIcon drawnIcon(StudioIcon icon, const QColor& foreground);

/// How far the icon's drawn pixels are in lightness from `background`, 0 to 1
/// (0 for an empty icon). Below about a third an icon is hard to make out.
double iconContrast(const QIcon& icon, const QColor& background);

} // namespace corvex::app
