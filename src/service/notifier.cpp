#include "service/notifier.h"

namespace corvex::service {

Notifier& Notifier::instance()
{
    static Notifier notifier;
    return notifier;
}

} // namespace corvex::service
