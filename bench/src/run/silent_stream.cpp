#include <bench/run/silent_stream.hpp>

namespace bench::detail {

namespace {

class discard : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

std::streambuf& discard_buffer() noexcept {
    static discard buffer;
    return buffer;
}

}  // namespace bench::detail
