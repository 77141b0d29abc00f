#include "analysis/print_line.h"

#include <cstdio>
#include <stdio.h> // flockfile (POSIX)

namespace corvex::analysis {

void printLine(std::string_view line)
{
    ::flockfile(stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ::funlockfile(stdout);
}

} // namespace corvex::analysis
