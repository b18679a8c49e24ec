#include <bench/endpoint.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/spirit/include/qi.hpp>

#include <ostream>

#include <sys/socket.h>
#include <sys/un.h>

namespace bench {

namespace {

using boost::asio::ip::tcp;

boost::system::error_code invalid_argument() {
    return boost::system::errc::make_error_code(boost::system::errc::invalid_argument);
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The first address of the name. Names are resolved for the address
// families the machine has addresses of first, as they always were; a name
// that gives nothing then (one with only IPv6 addresses, on a machine whose
// only IPv6 address is the loopback) is resolved again for every family.
std::pair<boost::asio::ip::address, boost::system::error_code> resolve(const std::string& host) {
    boost::asio::io_context io;
    tcp::resolver resolver(io);
    boost::system::error_code error;
    auto results = resolver.resolve(host, "", tcp::resolver::address_configured, error);
    if (error || results.empty()) {
        boost::system::error_code again;
        auto any_family = resolver.resolve(host, "", tcp::resolver::flags(), again);
        if (!again && !any_family.empty()) {
            results = std::move(any_family);
            error.clear();
        } else if (!error) {
            error = again ? again : make_error_code(boost::asio::error::host_not_found);
        }
    }
    if (error) return {{}, error};
    return {results.begin()->endpoint().address(), {}};
}

}  // namespace

endpoint endpoint::unix_socket(std::string path) {
    endpoint where;
    where.where_ = std::move(path);
    return where;
}

std::string endpoint_text(const endpoint& where) {
    if (where.is_unix_socket()) return "unix:" + where.path();
    const auto& address = where.tcp().address();
    const std::string port = std::to_string(where.tcp().port());
    if (address.is_v6()) return "[" + address.to_string() + "]:" + port;
    return address.to_string() + ":" + port;
}

std::ostream& operator<<(std::ostream& out, const endpoint& where) {
    return out << endpoint_text(where);
}

std::pair<endpoint, boost::system::error_code> parse_endpoint(const std::string& text) {
    namespace qi = boost::spirit::qi;
    const qi::uint_parser<std::uint16_t, 10, 1, -1> port_number;

    static const std::string unix_prefix = "unix:";
    if (text.compare(0, unix_prefix.size(), unix_prefix) == 0 && text.size() > unix_prefix.size() &&
        !is_digit(text[unix_prefix.size()])) {
        std::string path = text.substr(unix_prefix.size());
        // A longer path would be cut short to name another socket.
        if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return {endpoint(), invalid_argument()};
        return {endpoint::unix_socket(std::move(path)), {}};
    }

    std::uint16_t port = 0;
    auto first = text.begin();
    if (!text.empty() && text.front() == '[') {
        // "[" IPv6 "]" ":" port, the whole text.
        std::string host;
        const bool matched =
            qi::parse(first, text.end(),
                      '[' >> qi::as_string[+(qi::ascii::char_ - ']')] >> "]:" >> port_number, host,
                      port);
        if (!matched || first != text.end()) return {endpoint(), invalid_argument()};
        boost::system::error_code error;
        const auto v6 = boost::asio::ip::make_address_v6(host, error);
        if (error) return {endpoint(), invalid_argument()};
        return {endpoint(v6, port), {}};
    }

    // host ":" port; the host is any 7-bit text without ':', the port a
    // decimal number that fits 16 bits. What follows the port is ignored.
    std::string host;
    const bool matched = qi::parse(
        first, text.end(), qi::as_string[+(qi::ascii::char_ - ':')] >> ':' >> port_number, host,
        port);
    if (!matched) return {endpoint(), invalid_argument()};

    boost::system::error_code error;
    const auto v4 = boost::asio::ip::make_address_v4(host, error);
    if (!error) return {endpoint(v4, port), {}};
    const auto [address, resolve_error] = resolve(host);
    if (resolve_error) return {endpoint(), resolve_error};
    return {endpoint(address, port), {}};
}

}  // namespace bench
