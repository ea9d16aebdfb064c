#include "address.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>

namespace velmario::server {
namespace {

constexpr Address mapped(const std::uint8_t (&v4)[4])
{
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, v4[0], v4[1], v4[2], v4[3]};
}

} // namespace

bool isIpv4(const Address& address)
{
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(address.data(), prefix, sizeof prefix) == 0;
}

Address leadingBits(const Address& address, unsigned bits)
{
    Address kept = address;
    for (unsigned bit = bits; bit < 128; ++bit)
        kept[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    return kept;
}

std::optional<Address> addressOf(const sockaddr& address)
{
    if (address.sa_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::uint8_t bytes[4];
        std::memcpy(bytes, &v4.sin_addr, 4);
        return mapped(bytes);
    }
    if (address.sa_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        Address a;
        std::memcpy(a.data(), &v6.sin6_addr, 16);
        return a;
    }
    return std::nullopt;
}

std::string addressText(const Address& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (isIpv4(address))
        inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
    else
        inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}

std::size_t AddressHash::operator()(const Address& a) const noexcept
{
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, a.data(), 8);
    std::memcpy(&low, a.data() + 8, 8);
    return std::hash<std::uint64_t>()(low * 0x9E3779B97F4A7C15ULL ^ high);
}

std::optional<Cidr> Cidr::parse(std::string_view text)
{
    const std::size_t slash = text.find('/');
    const std::string host(text.substr(0, slash));
    Cidr cidr;
    unsigned maxPrefix = 128;
    std::uint8_t v4[4];
    if (inet_pton(AF_INET, host.c_str(), v4) == 1) {
        cidr.network = mapped(v4);
        maxPrefix = 32;
    } else if (inet_pton(AF_INET6, host.c_str(), cidr.network.data()) != 1) {
        return std::nullopt;
    }
    unsigned prefix = maxPrefix;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || prefix > maxPrefix)
            return std::nullopt;
    }
    cidr.prefix = maxPrefix == 32 ? prefix + 96 : prefix;
    // Bits past the prefix do not count: "10.1.2.3/8" is 10.0.0.0/8.
    cidr.network = leadingBits(cidr.network, cidr.prefix);
    return cidr;
}

bool Cidr::contains(const Address& address) const
{
    const unsigned whole = prefix / 8;
    if (std::memcmp(network.data(), address.data(), whole) != 0)
        return false;
    const unsigned rest = prefix % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<std::uint8_t>(0xFFu << (8 - rest));
    return (network[whole] & mask) == (address[whole] & mask);
}

} // namespace velmario::server
