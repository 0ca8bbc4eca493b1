#include "http/trustedproxies.h"

#include <arpa/inet.h>
#include <cstring>

namespace tvr::server::http {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

bool TrustedProxies::parse(std::string_view text, int *family, std::array<unsigned char, 16> *bytes)
{
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return false;
    const std::string copy(text);
    bytes->fill(0);
    if (inet_pton(AF_INET, copy.c_str(), bytes->data()) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, copy.c_str(), bytes->data()) == 1) {
        *family = AF_INET6;
        return true;
    }
    return false;
}

bool TrustedProxies::add(std::string_view entry)
{
    Range range;
    const size_t slash = entry.find('/');
    if (!parse(entry.substr(0, slash), &range.family, &range.bytes))
        return false;
    const int maxBits = range.family == AF_INET ? 32 : 128;
    range.bits = maxBits;
    if (slash != std::string_view::npos) {
        const std::string_view bits = entry.substr(slash + 1);
        if (bits.empty() || bits.size() > 3)
            return false;
        int value = 0;
        for (char c : bits) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > maxBits)
            return false;
        range.bits = value;
    }
    m_ranges.push_back(range);
    return true;
}

bool TrustedProxies::contains(std::string_view address) const
{
    int family = 0;
    std::array<unsigned char, 16> bytes{};
    if (!parse(trimmed(address), &family, &bytes))
        return false;
    for (const Range &range : m_ranges) {
        if (range.family != family)
            continue;
        const int whole = range.bits / 8;
        const int rest = range.bits % 8;
        if (std::memcmp(range.bytes.data(), bytes.data(), size_t(whole)) != 0)
            continue;
        if (rest == 0)
            return true;
        const auto mask = static_cast<unsigned char>(0xff << (8 - rest));
        if ((range.bytes[size_t(whole)] & mask) == (bytes[size_t(whole)] & mask))
            return true;
    }
    return false;
}

std::string TrustedProxies::clientAddress(const std::string &peer, std::string_view forwardedFor) const
{
    if (m_ranges.empty() || forwardedFor.empty() || !contains(peer))
        return peer;
    std::string client = peer;
    // From the right: each hop appended the address it saw.
    while (!forwardedFor.empty()) {
        const size_t comma = forwardedFor.rfind(',');
        const std::string_view entry =
            trimmed(comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
        forwardedFor = comma == std::string_view::npos ? std::string_view() : forwardedFor.substr(0, comma);
        int family = 0;
        std::array<unsigned char, 16> bytes{};
        if (!parse(entry, &family, &bytes))
            break;
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(family, bytes.data(), text, sizeof text);
        client = text;
        if (!contains(client))
            break;
    }
    return client;
}

} // namespace tvr::server::http
