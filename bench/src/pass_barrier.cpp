#include <bench/pass_barrier.hpp>

namespace bench {

void pass_barrier::arrive_and_wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t round = round_;
    ++arrived_;
    release_if_complete();
    all_arrived_.wait(lock, [&] { return round_ != round; });
}

void pass_barrier::leave()
{
    std::lock_guard<std::mutex> lock(mutex_);
    --remaining_;
    release_if_complete();
}

void pass_barrier::release_if_complete()
{
    if (arrived_ == 0 || arrived_ < remaining_) return;
    arrived_ = 0;
    ++round_;
    all_arrived_.notify_all();
}

}  // namespace bench
