// The nox stand-in's RESP reader. The first two bytes choose the capacity of
// the payload sink and the way the rest is split; the rest is the stream.
// Fed in those pieces (payload bytes going straight into the sink through
// its window where it offers one, as the library's reads do) and one byte at
// a time, the reader must come to the same reply, failure and number of
// bytes taken as when it is fed the stream in one piece.

#include "targets.hpp"

#include <resp_reader.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kvfuzz {

namespace {

using nox_api::detail::reply;
using reader_type = nox_api::detail::resp_reader;

struct outcome {
    reader_type::progress state;
    std::string failure;
    std::size_t taken = 0;
    reply result;
    std::string sink;  // the payload as stored
};

bool same(const outcome& a, const outcome& b) {
    const reply& x = a.result;
    const reply& y = b.result;
    return a.state == b.state && a.failure == b.failure && a.taken == b.taken &&
           x.type == y.type && x.integer == y.integer && x.length == y.length &&
           x.stored == y.stored && x.text_length == y.text_length &&
           std::memcmp(x.text, y.text, sizeof x.text) == 0 && a.sink == b.sink;
}

// Feeds `stream` in pieces of the sizes `next_piece` gives (0: the rest in
// one piece), using the payload window when `direct` says so for a piece.
template <typename Pieces>
outcome feed(const char* stream, std::size_t size, std::size_t capacity, Pieces next_piece) {
    std::vector<char> sink(capacity);
    reader_type reader;
    reader.start(capacity ? sink.data() : nullptr, capacity);
    outcome out;
    std::size_t at = 0;
    while (at < size && reader.state() == reader_type::progress::incomplete) {
        bool direct = false;
        std::size_t piece = next_piece(direct);
        if (piece == 0 || piece > size - at) piece = size - at;
        std::size_t room = 0;
        char* window = direct ? reader.payload_window(room) : nullptr;
        if (window != nullptr) {
            const std::size_t written = std::min(room, piece);
            std::memcpy(window, stream + at, written);
            reader.payload_written(written);
            at += written;
            out.taken += written;
            piece -= written;
        }
        if (piece == 0) continue;
        const std::size_t taken = reader.feed(stream + at, piece);
        require(taken <= piece, "the reader took more than it was given");
        out.taken += taken;
        if (taken < piece) break;  // the reply ended or failed
        at += piece;
    }
    out.state = reader.state();
    if (out.state == reader_type::progress::failed) out.failure = reader.failure();
    out.result = reader.result();
    require(out.result.stored <= capacity, "more payload stored than the sink holds");
    out.sink.assign(sink.data(), out.result.stored);
    return out;
}

}  // namespace

int resp_reader(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t capacity = bytes[0] % 80;
    unsigned seed = bytes[1] | 1u;
    const char* stream = reinterpret_cast<const char*>(bytes + 2);
    const std::size_t length = size - 2;

    const outcome whole = feed(stream, length, capacity, [](bool&) { return std::size_t(0); });
    const outcome pieces = feed(stream, length, capacity, [&seed](bool& direct) {
        seed = seed * 1103515245u + 12345u;  // the C library's example generator
        direct = (seed >> 16) & 1;
        return std::size_t(1 + (seed >> 17) % 16);
    });
    const outcome bytewise = feed(stream, length, capacity, [](bool&) { return std::size_t(1); });
    require(same(whole, pieces), "fed in pieces, the reader came to another reply");
    require(same(whole, bytewise), "fed byte by byte, the reader came to another reply");
    return 0;
}

}  // namespace kvfuzz
