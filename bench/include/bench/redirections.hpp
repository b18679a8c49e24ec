#ifndef BENCH_REDIRECTIONS_HPP
#define BENCH_REDIRECTIONS_HPP

#include <cstdint>

namespace bench {

// How often a store that spans servers (a Redis Cluster) sent a request on
// to another server: MOVED (the slot lives elsewhere now) and ASK (the key is
// being migrated; asked once on the other node).
struct redirection_counts {
    std::uint64_t moved = 0;
    std::uint64_t ask = 0;

    redirection_counts& operator+=(const redirection_counts& other) noexcept {
        moved += other.moved;
        ask += other.ask;
        return *this;
    }
    friend redirection_counts operator-(const redirection_counts& a,
                                        const redirection_counts& b) noexcept {
        return {a.moved - b.moved, a.ask - b.ask};
    }
    friend bool operator==(const redirection_counts& a, const redirection_counts& b) noexcept {
        return a.moved == b.moved && a.ask == b.ask;
    }
};

}  // namespace bench

#endif
