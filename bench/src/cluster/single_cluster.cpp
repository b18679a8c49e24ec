#include <bench/cluster/cluster.hpp>

#include <stdexcept>

namespace bench {

namespace {

// This process alone: every step is immediate, and there is no one to send to.
class single_cluster final : public cluster {
public:
    bool launched() const noexcept override { return false; }
    std::uint32_t rank() const noexcept override { return 0; }
    std::uint32_t size() const noexcept override { return 1; }

    int agree(int status) override { return status; }
    std::string broadcast(const std::string& bytes) override { return bytes; }
    std::vector<std::string> gather(const std::string& bytes) override { return {bytes}; }
    std::uint64_t sum_before(std::uint64_t) override { return 0; }
    int end(int status) override { return status; }

    void send(std::string) override {
        throw std::logic_error("rank 0 has no rank 0 to send to");
    }
    bool all_sent() override { return true; }
    std::optional<std::pair<std::uint32_t, std::string>> receive() override { return {}; }
    void begin_meeting() override {}
    bool meeting_held() override { return true; }
    void notify_stop(int) override {}
    int stop_notice() override { return 0; }
};

}  // namespace

std::unique_ptr<cluster> single_process_cluster() { return std::make_unique<single_cluster>(); }

#ifndef KVBENCH_WITH_MPI
std::unique_ptr<cluster> join_cluster() { return single_process_cluster(); }
#endif

}  // namespace bench
