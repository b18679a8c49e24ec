#ifndef KVTEST_FAKE_CLUSTER_HPP
#define KVTEST_FAKE_CLUSTER_HPP

// Several ranks of a run in one process, talking over queues: each rank is a
// bench::cluster as an MPI launch would give it. The steps that every rank
// takes together (agree, broadcast, gather, sum_before, end) wait until all
// have taken them, so each rank takes them on a thread of its own; the steps
// of the pass never wait, so one thread may turn several ranks in turn.

#include <bench/cluster/cluster.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace kvtest {

class fake_ranks {
public:
    explicit fake_ranks(std::uint32_t size);
    ~fake_ranks();

    fake_ranks(const fake_ranks&) = delete;
    fake_ranks& operator=(const fake_ranks&) = delete;

    bench::cluster& operator[](std::uint32_t rank);
    std::uint32_t size() const noexcept;

    // The signal of the notice of stop that rank 0 gave, 0 while it gave none.
    int notice() const;

    struct hub;

private:
    std::shared_ptr<hub> hub_;
    std::vector<std::unique_ptr<bench::cluster>> ranks_;
};

}  // namespace kvtest

#endif
