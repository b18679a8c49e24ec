// The endpoint grammar of --daemon: "host:port", "[IPv6]:port" and
// "unix:PATH". Whatever the text, it gives an endpoint or an error code,
// never an exception, and an endpoint it gives reads back from its console
// text (which is written in the form the command line takes) as the same
// endpoint. Names are resolved by the offline resolver of the fuzz targets.

#include "targets.hpp"

#include <bench/endpoint.hpp>

#include <string>

namespace kvfuzz {

int endpoint(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto [parsed, error] = bench::parse_endpoint(text);
    if (error) return 0;
    const auto [again, again_error] = bench::parse_endpoint(bench::endpoint_text(parsed));
    require(!again_error && again == parsed, "an endpoint does not read back from its text");
    return 0;
}

}  // namespace kvfuzz
