#include <bench/cluster/cluster.hpp>

#include <bench/detail/wait.hpp>

#include <mpi.h>

#include <climits>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <vector>

namespace bench {

namespace {

// Whether an MPI launcher started this process: Open MPI's mpirun sets
// OMPI_COMM_WORLD_SIZE, launchers through PMIx (Slurm's srun --mpi=pmix,
// prterun) PMIX_RANK, those through PMI PMI_RANK. Without one, MPI is not
// started at all: a plain start is a run of its own, as in a build without
// MPI.
bool started_by_launcher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}

// Waits for a request by testing it and sleeping in between, with no yields
// before the first sleep. The library's own blocking calls would spin on the
// processor, taking it from ranks on the same machine that are still timing
// their steps.
void wait_for(MPI_Request& request) {
    detail::backoff pause(0);
    for (;;) {
        int done = 0;
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
        if (done) return;
        pause();
    }
}

int byte_count(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX))
        throw std::length_error("message too long to send between ranks");
    return static_cast<int>(size);
}

// The ranks of a run started by an MPI launcher. Calls are serialized by the
// caller (one thread at a time), which is all the library is asked for. MPI
// errors end the whole run (the library's default handler aborts it).
class mpi_cluster final : public cluster {
public:
    mpi_cluster() {
        int provided = 0;
        MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided);
        if (provided < MPI_THREAD_SERIALIZED)
            throw std::runtime_error("the MPI library cannot be used from more than one thread");
        // A communicator of our own, so that nothing else's messages mix with ours.
        MPI_Comm_dup(MPI_COMM_WORLD, &comm_);
        int rank = 0, size = 0;
        MPI_Comm_rank(comm_, &rank);
        MPI_Comm_size(comm_, &size);
        rank_ = static_cast<std::uint32_t>(rank);
        size_ = static_cast<std::uint32_t>(size);
        // Every rank but 0 takes exactly one notice of stop, at the latest
        // in the last step.
        if (rank_ != 0)
            MPI_Irecv(&notice_, 1, MPI_INT, 0, stop_tag, comm_, &notice_request_);
    }

    ~mpi_cluster() override {
        // Leaving without the last step: the others would wait for this
        // rank forever, so the launcher ends them all.
        if (!ended_) MPI_Abort(MPI_COMM_WORLD, 1);
    }

    mpi_cluster(const mpi_cluster&) = delete;
    mpi_cluster& operator=(const mpi_cluster&) = delete;

    bool launched() const noexcept override { return true; }
    std::uint32_t rank() const noexcept override { return rank_; }
    std::uint32_t size() const noexcept override { return size_; }

    int agree(int status) override {
        int largest = status;
        MPI_Request request;
        MPI_Iallreduce(&status, &largest, 1, MPI_INT, MPI_MAX, comm_, &request);
        wait_for(request);
        return largest;
    }

    std::string broadcast(const std::string& bytes) override {
        std::uint64_t size = bytes.size();
        MPI_Request request;
        MPI_Ibcast(&size, 1, MPI_UINT64_T, 0, comm_, &request);
        wait_for(request);
        std::string shared = rank_ == 0 ? bytes : std::string(size, '\0');
        MPI_Ibcast(shared.data(), byte_count(shared.size()), MPI_BYTE, 0, comm_, &request);
        wait_for(request);
        return shared;
    }

    std::vector<std::string> gather(const std::string& bytes) override {
        std::uint64_t size = bytes.size();
        std::vector<std::uint64_t> sizes(rank_ == 0 ? size_ : 0);
        MPI_Request request;
        MPI_Igather(&size, 1, MPI_UINT64_T, sizes.data(), 1, MPI_UINT64_T, 0, comm_, &request);
        wait_for(request);

        std::vector<int> counts, offsets;
        std::string all;
        for (std::uint64_t each : sizes) {
            offsets.push_back(byte_count(all.size()));
            counts.push_back(byte_count(each));
            all.resize(all.size() + each);
        }
        byte_count(all.size());
        MPI_Igatherv(bytes.data(), byte_count(bytes.size()), MPI_BYTE, all.data(), counts.data(),
                     offsets.data(), MPI_BYTE, 0, comm_, &request);
        wait_for(request);

        std::vector<std::string> parts;
        for (std::size_t i = 0; i < sizes.size(); ++i)
            parts.push_back(all.substr(static_cast<std::size_t>(offsets[i]), sizes[i]));
        return parts;
    }

    std::uint64_t sum_before(std::uint64_t value) override {
        std::uint64_t sum = 0;
        MPI_Request request;
        MPI_Iexscan(&value, &sum, 1, MPI_UINT64_T, MPI_SUM, comm_, &request);
        wait_for(request);
        return rank_ == 0 ? 0 : sum;  // undefined on rank 0
    }

    int end(int status) override {
        if (rank_ == 0) notify_stop(0);
        MPI_Request request;
        MPI_Ibcast(&status, 1, MPI_INT, 0, comm_, &request);
        wait_for(request);
        for (outgoing& message : pending_) wait_for(message.request);
        pending_.clear();
        for (MPI_Request& notice : notices_) wait_for(notice);
        wait_for(notice_request_);
        MPI_Comm_free(&comm_);
        MPI_Finalize();
        ended_ = true;
        return status;
    }

    void send(std::string message) override {
        if (rank_ == 0) throw std::logic_error("rank 0 has no rank 0 to send to");
        const int count = byte_count(message.size());
        // The bytes stay where they are until the send is complete: a deque
        // never moves its elements when it grows at its ends.
        pending_.push_back({std::move(message), MPI_REQUEST_NULL});
        outgoing& last = pending_.back();
        MPI_Isend(last.bytes.data(), count, MPI_BYTE, 0, message_tag, comm_, &last.request);
    }

    bool all_sent() override {
        while (!pending_.empty()) {
            int done = 0;
            MPI_Test(&pending_.front().request, &done, MPI_STATUS_IGNORE);
            if (!done) return false;
            pending_.pop_front();
        }
        return true;
    }

    std::optional<std::pair<std::uint32_t, std::string>> receive() override {
        int arrived = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, message_tag, comm_, &arrived, &status);
        if (!arrived) return std::nullopt;
        int count = 0;
        MPI_Get_count(&status, MPI_BYTE, &count);
        std::string bytes(static_cast<std::size_t>(count), '\0');
        // One thread receives, so the message probed is the one received.
        MPI_Recv(bytes.data(), count, MPI_BYTE, status.MPI_SOURCE, message_tag, comm_,
                 MPI_STATUS_IGNORE);
        return std::make_pair(static_cast<std::uint32_t>(status.MPI_SOURCE), std::move(bytes));
    }

    void begin_meeting() override { MPI_Ibarrier(comm_, &meeting_); }

    bool meeting_held() override {
        if (meeting_ == MPI_REQUEST_NULL) return true;
        int done = 0;
        MPI_Test(&meeting_, &done, MPI_STATUS_IGNORE);
        return done != 0;
    }

    void notify_stop(int signal) override {
        if (rank_ != 0) throw std::logic_error("only rank 0 gives notice of a stop");
        if (!notices_.empty() || size_ == 1) return;
        notice_ = signal;
        notices_.assign(size_ - 1, MPI_REQUEST_NULL);
        for (std::uint32_t rank = 1; rank < size_; ++rank)
            MPI_Isend(&notice_, 1, MPI_INT, static_cast<int>(rank), stop_tag, comm_,
                      &notices_[rank - 1]);
    }

    int stop_notice() override {
        if (rank_ == 0) return 0;
        if (notice_request_ != MPI_REQUEST_NULL) {
            int done = 0;
            MPI_Test(&notice_request_, &done, MPI_STATUS_IGNORE);
            if (!done) return 0;
        }
        return notice_;
    }

private:
    static constexpr int message_tag = 1;
    static constexpr int stop_tag = 2;

    struct outgoing {
        std::string bytes;
        MPI_Request request;
    };

    MPI_Comm comm_ = MPI_COMM_NULL;
    std::uint32_t rank_ = 0;
    std::uint32_t size_ = 1;
    std::deque<outgoing> pending_;
    MPI_Request meeting_ = MPI_REQUEST_NULL;
    // The notice of stop: the signal, given by rank 0 (its sends) and taken
    // by every other rank (its receive).
    int notice_ = 0;
    std::vector<MPI_Request> notices_;
    MPI_Request notice_request_ = MPI_REQUEST_NULL;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<cluster> join_cluster() {
    if (!started_by_launcher()) return single_process_cluster();
    return std::make_unique<mpi_cluster>();
}

}  // namespace bench
