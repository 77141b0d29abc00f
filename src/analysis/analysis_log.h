#pragma once

#include <QLoggingCategory>

namespace corvex::analysis {

/// The analysis layer's log ("corvex.analysis"): it never writes to standard
/// output, which belongs to the tools (`corvex analyse` prints JSON there).
Q_DECLARE_LOGGING_CATEGORY(lcAnalysis)

} // namespace corvex::analysis
