#pragma once
// Client addresses as the server keys and filters them: every address as 16
// bytes, an IPv4 address as its IPv4-mapped IPv6 form, so that a dual-stack
// socket's clients and a plain IPv4 socket's clients compare alike.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct sockaddr;

namespace velmario::server {

using Address = std::array<std::uint8_t, 16>;

// The address of an IPv4 or IPv6 socket address; nothing for another family.
std::optional<Address> addressOf(const sockaddr& address);
// "192.0.2.1" for a mapped IPv4 address, "2001:db8::1" otherwise.
std::string addressText(const Address& address);
// Whether the address is an IPv4 address (in its mapped form).
bool isIpv4(const Address& address);
// The first `bits` bits of the address, the rest zero.
Address leadingBits(const Address& address, unsigned bits);

struct AddressHash {
    std::size_t operator()(const Address& a) const noexcept;
};

// A network: an address and how many leading bits of it count.
struct Cidr {
    Address network{};
    unsigned prefix = 0; // of the 128 bits

    // "10.0.0.0/8", "2001:db8::/32", or one address ("127.0.0.1", "::1").
    static std::optional<Cidr> parse(std::string_view text);
    bool contains(const Address& address) const;
};

} // namespace velmario::server
