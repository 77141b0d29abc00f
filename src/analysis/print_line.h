#pragma once

#include <string_view>

namespace corvex::analysis {

/// Writes one plain line on standard output, in one piece even when capture
/// threads print at the same time. Diagnostics of the frame and audio paths go
/// here rather than to the log.
void printLine(std::string_view line);

} // namespace corvex::analysis
