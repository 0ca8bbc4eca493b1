namespace tvr::server {
const char *version() { return "1.0.0"; }
} // namespace tvr::server
