#include "fake_cluster.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace kvtest {

struct fake_ranks::hub {
    explicit hub(std::uint32_t ranks) : size(ranks), meetings(ranks, 0) {}

    // The bytes every rank gave to its `step`-th step taken together, once
    // all have given theirs.
    std::vector<std::string> exchange(std::uint32_t rank, std::uint64_t step, std::string bytes) {
        std::unique_lock<std::mutex> lock(mutex);
        together& now = steps[step];
        now.bytes.resize(size);
        now.bytes[rank] = std::move(bytes);
        if (++now.given == size) all_given.notify_all();
        all_given.wait(lock, [&] { return now.given == size; });
        std::vector<std::string> all = now.bytes;
        if (++now.taken == size) steps.erase(step);
        return all;
    }

    struct together {
        std::vector<std::string> bytes;
        std::uint32_t given = 0;
        std::uint32_t taken = 0;
    };

    const std::uint32_t size;
    mutable std::mutex mutex;
    std::condition_variable all_given;
    std::map<std::uint64_t, together> steps;
    std::deque<std::pair<std::uint32_t, std::string>> to_rank_zero;
    std::vector<std::uint64_t> meetings;  // the meetings each rank has begun
    bool notice_given = false;
    int notice = 0;
};

namespace {

class fake_rank final : public bench::cluster {
public:
    fake_rank(fake_ranks::hub& hub, std::uint32_t rank) : hub_(hub), rank_(rank) {}

    bool launched() const noexcept override { return true; }
    std::uint32_t rank() const noexcept override { return rank_; }
    std::uint32_t size() const noexcept override { return hub_.size; }

    int agree(int status) override {
        int largest = status;
        for (const std::string& each : together(std::to_string(status)))
            largest = std::max(largest, std::stoi(each));
        return largest;
    }
    std::string broadcast(const std::string& bytes) override { return together(bytes).front(); }
    std::vector<std::string> gather(const std::string& bytes) override {
        std::vector<std::string> all = together(bytes);
        if (rank_ != 0) all.clear();
        return all;
    }
    std::uint64_t sum_before(std::uint64_t value) override {
        const std::vector<std::string> all = together(std::to_string(value));
        std::uint64_t sum = 0;
        for (std::uint32_t rank = 0; rank < rank_; ++rank) sum += std::stoull(all[rank]);
        return sum;
    }
    int end(int status) override {
        if (rank_ == 0) notify_stop(0);
        return std::stoi(together(std::to_string(status)).front());
    }

    void send(std::string message) override {
        if (rank_ == 0) throw std::logic_error("rank 0 has no rank 0 to send to");
        const std::lock_guard<std::mutex> lock(hub_.mutex);
        hub_.to_rank_zero.emplace_back(rank_, std::move(message));
    }
    bool all_sent() override { return true; }
    std::optional<std::pair<std::uint32_t, std::string>> receive() override {
        const std::lock_guard<std::mutex> lock(hub_.mutex);
        if (rank_ != 0 || hub_.to_rank_zero.empty()) return std::nullopt;
        auto message = std::move(hub_.to_rank_zero.front());
        hub_.to_rank_zero.pop_front();
        return message;
    }
    void begin_meeting() override {
        const std::lock_guard<std::mutex> lock(hub_.mutex);
        ++hub_.meetings[rank_];
    }
    bool meeting_held() override {
        const std::lock_guard<std::mutex> lock(hub_.mutex);
        return *std::min_element(hub_.meetings.begin(), hub_.meetings.end()) >=
               hub_.meetings[rank_];
    }
    void notify_stop(int signal) override {
        if (rank_ != 0) throw std::logic_error("only rank 0 gives notice of a stop");
        const std::lock_guard<std::mutex> lock(hub_.mutex);
        if (hub_.notice_given) return;
        hub_.notice_given = true;
        hub_.notice = signal;
    }
    int stop_notice() override {
        const std::lock_guard<std::mutex> lock(hub_.mutex);
        return rank_ != 0 && hub_.notice_given ? hub_.notice : 0;
    }

private:
    std::vector<std::string> together(std::string bytes) {
        return hub_.exchange(rank_, steps_++, std::move(bytes));
    }

    fake_ranks::hub& hub_;
    const std::uint32_t rank_;
    std::uint64_t steps_ = 0;  // the steps taken together so far
};

}  // namespace

fake_ranks::fake_ranks(std::uint32_t size) : hub_(std::make_shared<hub>(size)) {
    for (std::uint32_t rank = 0; rank < size; ++rank)
        ranks_.push_back(std::make_unique<fake_rank>(*hub_, rank));
}

fake_ranks::~fake_ranks() = default;

bench::cluster& fake_ranks::operator[](std::uint32_t rank) { return *ranks_.at(rank); }

std::uint32_t fake_ranks::size() const noexcept { return hub_->size; }

int fake_ranks::notice() const {
    const std::lock_guard<std::mutex> lock(hub_->mutex);
    return hub_->notice_given ? hub_->notice : 0;
}

}  // namespace kvtest
