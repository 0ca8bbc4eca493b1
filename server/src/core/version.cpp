#include "core/version.h"

#ifndef TVR_SERVER_VERSION
#define TVR_SERVER_VERSION "0.0.0"
#endif

namespace tvr::server {
const char *version()
{
    return TVR_SERVER_VERSION;
}
} // namespace tvr::server
