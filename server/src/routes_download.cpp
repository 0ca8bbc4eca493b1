#include "areas.h"

namespace tvr::server {

Area downloadArea()
{
    return Area{"download", {}};
}

} // namespace tvr::server
