#ifndef BENCH_RUN_SILENT_STREAM_HPP
#define BENCH_RUN_SILENT_STREAM_HPP

#include <ostream>
#include <streambuf>

namespace bench {

namespace detail {
// A buffer that drops whatever is written to it. It holds no state, so one
// serves every silent stream of the process.
std::streambuf& discard_buffer() noexcept;
}  // namespace detail

// An output stream that drops what is written to it: where the console of a
// rank that prints nothing goes, and that of a thread whose output nobody
// reads. Each thread that writes to one has one of its own (a stream's
// formatting state is not safe to share).
class silent_stream : public std::ostream {
public:
    silent_stream() : std::ostream(&detail::discard_buffer()) {}
};

}  // namespace bench

#endif
