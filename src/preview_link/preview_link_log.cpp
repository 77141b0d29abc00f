#include "preview_link/preview_link_log.h"

namespace corvex::preview_link {

Q_LOGGING_CATEGORY(lcPreviewLink, "corvex.preview_link")

} // namespace corvex::preview_link
