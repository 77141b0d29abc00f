#pragma once

namespace corvex {

/// What every program's --version reports and the packages made from this
/// build carry: the project's version, the date and the commit of the tree it
/// was built from ("0.1.0+git20261207.3633f83d1a2b", with ".modified" when the
/// tree had changes not committed).
const char* buildVersion();

} // namespace corvex
