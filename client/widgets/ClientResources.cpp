#include "ClientResources.h"

#include <QtGlobal>

#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerAll() {
    Q_INIT_RESOURCE(icons);
    Q_INIT_RESOURCE(about);
}

namespace kolvaro {

void initClientResources() {
    static std::once_flag once;
    std::call_once(once, registerAll);
}

} // namespace kolvaro
