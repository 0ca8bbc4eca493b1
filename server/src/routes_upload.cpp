#include "areas.h"

namespace tvr::server {

Area uploadArea()
{
    return Area{"upload", {}};
}

} // namespace tvr::server
