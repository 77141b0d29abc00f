#pragma once

#include <QLoggingCategory>

namespace corvex::preview_link {

/// The preview link's log ("corvex.preview_link").
Q_DECLARE_LOGGING_CATEGORY(lcPreviewLink)

} // namespace corvex::preview_link
