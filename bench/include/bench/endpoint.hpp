#ifndef BENCH_ENDPOINT_HPP
#define BENCH_ENDPOINT_HPP

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <variant>

namespace bench {

// Where a store daemon listens: a TCP endpoint (an IPv4 or IPv6 address and
// a port) or the path of a UNIX-domain stream socket.
class endpoint {
public:
    using tcp_endpoint = boost::asio::ip::tcp::endpoint;

    endpoint() = default;  // the unspecified IPv4 address, port 0
    endpoint(const tcp_endpoint& tcp) : where_(tcp) {}
    endpoint(const boost::asio::ip::address& address, std::uint16_t port)
        : where_(tcp_endpoint(address, port)) {}
    static endpoint unix_socket(std::string path);

    bool is_unix_socket() const noexcept { return where_.index() == 1; }
    // The TCP endpoint; throws std::bad_variant_access for a UNIX socket.
    const tcp_endpoint& tcp() const { return std::get<0>(where_); }
    // The socket's path; throws std::bad_variant_access for a TCP endpoint.
    const std::string& path() const { return std::get<1>(where_); }

    friend bool operator==(const endpoint& a, const endpoint& b) { return a.where_ == b.where_; }
    friend bool operator!=(const endpoint& a, const endpoint& b) { return !(a == b); }

private:
    std::variant<tcp_endpoint, std::string> where_;
};

// The endpoint as the console and the reports show it, in the form the
// command line takes: "address:port" for IPv4, "[address]:port" for IPv6
// ("%scope" inside the brackets when set), "unix:PATH" for a UNIX socket.
std::string endpoint_text(const endpoint& where);

// Writes endpoint_text (this is how the help shows the default).
std::ostream& operator<<(std::ostream& out, const endpoint& where);

// The endpoint grammar of the command line:
// - "unix:PATH": a UNIX socket, when PATH does not start with a digit (a
//   digit reads as a host named "unix" and a port, below). PATH must fit a
//   socket address.
// - "[IPv6-address]:port", nothing after the port.
// - "host:port": a numeric IPv4 address, or a name resolved now (its first
//   address, preferring the families the machine has addresses of); the host
//   holds no ':' and no byte above 127, the port is decimal, at most 65535,
//   and anything after its digits is ignored.
// A text outside the grammar gives EINVAL; a name that does not resolve,
// the resolver's error.
std::pair<endpoint, boost::system::error_code> parse_endpoint(const std::string& text);

}  // namespace bench

#endif
