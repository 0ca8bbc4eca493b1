#pragma once

#include <QString>

// Certificate authorities the client trusts besides the system's: a company's own CA, or the one
// a test made for its server. The PEM file comes from TVR_CA_FILE, else from the settings key
// "network/caFile". Its certificates join the process's default TLS configuration, which every
// connection uses (the access manager and the chunk connections alike). Nothing else is relaxed:
// a certificate that none of these authorities vouch for stays a failed connection.
namespace TrustedCa {

// The configured file, or empty when none is configured.
QString configuredFile();

// Trusts the certificates of the configured file. Returns an empty text when that worked or none is
// configured, else why not, in words for the user.
QString installConfigured();

// Trusts the certificates of `path` (PEM, one or more). Returns an empty text or why not.
QString installFile(const QString &path);

} // namespace TrustedCa
