#include "areas.h"

namespace tvr::server {

Area devArea()
{
    return Area{"dev", {}};
}

} // namespace tvr::server
