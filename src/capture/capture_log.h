#pragma once

#include <QLoggingCategory>

namespace corvex::capture {

/// The capture layer's log ("corvex.capture").
Q_DECLARE_LOGGING_CATEGORY(lcCapture)

} // namespace corvex::capture
