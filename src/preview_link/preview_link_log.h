#pragma once

#include <QLoggingCategory>

namespace corvex::preview_link {

/// The preview link's log: "<application id>.UDPClient".
Q_DECLARE_LOGGING_CATEGORY(lcUDPClient)

} // namespace corvex::preview_link
