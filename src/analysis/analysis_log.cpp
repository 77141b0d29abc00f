#include "analysis/analysis_log.h"

namespace corvex::analysis {

Q_LOGGING_CATEGORY(lcAnalysis, "corvex.analysis")

} // namespace corvex::analysis
