#ifndef BENCH_CLUSTER_CLUSTER_HPP
#define BENCH_CLUSTER_CLUSTER_HPP

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The processes (ranks) that run one benchmark together, and the few ways
// they talk: steps that every rank takes together before and after the pass,
// and, during the pass, messages to rank 0 and meetings of all ranks that
// never block the caller. A kvbench started without an MPI launcher is a
// cluster of one rank by itself, where every step is immediate.
//
// Only one thread of a rank uses the cluster at a time: the main thread
// before and after the pass, the rank's writer thread during it.
class cluster {
public:
    virtual ~cluster() = default;

    // True when an MPI launcher started this process, even as a single rank.
    virtual bool launched() const noexcept = 0;
    virtual std::uint32_t rank() const noexcept = 0;
    virtual std::uint32_t size() const noexcept = 0;

    // Steps every rank takes, in the same order. Each returns once every
    // rank has taken it; the wait sleeps rather than spins, so that it takes
    // no processor time from ranks on the same machine that are still timing
    // their steps.
    //
    // The largest status given by any rank.
    virtual int agree(int status) = 0;
    // Rank 0's bytes, on every rank.
    virtual std::string broadcast(const std::string& bytes) = 0;
    // On rank 0, every rank's bytes in rank order; elsewhere nothing.
    virtual std::vector<std::string> gather(const std::string& bytes) = 0;
    // The sum of the values of the ranks before this one.
    virtual std::uint64_t sum_before(std::uint64_t value) = 0;
    // The last step: every rank returns rank 0's status, and the cluster
    // ends (rank 0 gives the notice of stop below, with 0, to the ranks it
    // has not given it, and every rank takes its notice). A cluster
    // destroyed before this step ends every rank at once (the launcher
    // aborts the run), so that no rank waits for one that left early.
    virtual int end(int status) = 0;

    // During the pass; none of these waits.
    //
    // Sends a message to rank 0 (not from rank 0). Messages of one rank
    // arrive in the order they were sent.
    virtual void send(std::string message) = 0;
    // True once every message sent has left this rank.
    virtual bool all_sent() = 0;
    // On rank 0: the next message that arrived from another rank, with the
    // sender's rank.
    virtual std::optional<std::pair<std::uint32_t, std::string>> receive() = 0;
    // A meeting of all ranks: begin it, then ask whether every rank has
    // begun it. One meeting at a time.
    virtual void begin_meeting() = 0;
    virtual bool meeting_held() = 0;
    // The notice of a stop: rank 0 gives every other rank the signal that
    // stops the run, once (later calls do nothing); another rank asks
    // whether it has come, and gets the signal, or 0 while none came.
    virtual void notify_stop(int signal) = 0;
    virtual int stop_notice() = 0;
};

// The cluster this process belongs to: the MPI ranks of the run when the
// build has MPI and an MPI launcher started the process, else a cluster of
// one rank. Call it before any thread is started.
std::unique_ptr<cluster> join_cluster();

// A cluster of this process alone.
std::unique_ptr<cluster> single_process_cluster();

}  // namespace bench

#endif
