#include "preview_link/preview_link_log.h"

namespace corvex::preview_link {

Q_LOGGING_CATEGORY(lcUDPClient, "app.corvex.Studio.UDPClient")

} // namespace corvex::preview_link
