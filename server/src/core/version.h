#pragma once

namespace tvr::server {
// The release this server was built as (the same number as the client and the packages).
const char *version();
} // namespace tvr::server
