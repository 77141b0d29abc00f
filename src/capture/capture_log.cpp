#include "capture/capture_log.h"

namespace corvex::capture {

Q_LOGGING_CATEGORY(lcCapture, "corvex.capture")

} // namespace corvex::capture
