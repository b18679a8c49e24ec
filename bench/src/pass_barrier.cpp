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

bool pass_barrier::round_complete()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return arrived_ >= remaining_;
}

void pass_barrier::open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    let_go();
}

void pass_barrier::release_if_complete()
{
    if (gated_ || arrived_ == 0 || arrived_ < remaining_) return;
    let_go();
}

void pass_barrier::let_go()
{
    arrived_ = 0;
    ++round_;
    all_arrived_.notify_all();
}

}  // namespace bench
