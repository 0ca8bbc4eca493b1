#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tvr::server::http {

// The balancers in front of the server (--trusted-proxy). Behind one, every connection comes
// from the balancer's address; the client's own address is then the one the balancer appended
// to X-Forwarded-For. That header is believed only on a connection from a trusted proxy:
// anyone else could write any address into it.
class TrustedProxies final
{
public:
    // Adds "ADDRESS" or "ADDRESS/BITS" (IPv4 or IPv6); false when it is neither.
    bool add(std::string_view entry);
    bool empty() const { return m_ranges.empty(); }
    bool contains(std::string_view address) const;

    // The client's address: the peer's own, unless the peer is trusted; then the last address
    // of X-Forwarded-For that is not itself a trusted proxy (those before it were written by
    // the client and prove nothing). A malformed entry ends the walk at the peer's address.
    std::string clientAddress(const std::string &peer, std::string_view forwardedFor) const;

private:
    struct Range
    {
        int family = 0; // AF_INET or AF_INET6
        std::array<unsigned char, 16> bytes{};
        int bits = 0;
    };
    static bool parse(std::string_view text, int *family, std::array<unsigned char, 16> *bytes);

    std::vector<Range> m_ranges;
};

} // namespace tvr::server::http
