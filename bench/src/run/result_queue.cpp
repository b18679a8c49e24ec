#include <bench/run/result_queue.hpp>

#include <bench/detail/wait.hpp>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define BENCH_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BENCH_THREAD_SANITIZER 1
#endif
#endif

#ifdef BENCH_THREAD_SANITIZER
// Boost.Lockfree's fixed-size free list reads the link of a node that another
// thread may be reusing at that moment; the tagged compare-and-swap that
// follows rejects such a read, so the race is part of the algorithm
// (boostorg/lockfree issue 78). ThreadSanitizer is told to accept it there
// and nowhere else. It is defined beside the queue, so that every program
// that uses the queue has it.
extern "C" const char* __tsan_default_suppressions() {
    return "race:boost::lockfree::detail::fixed_size_freelist\n";
}
#endif

namespace bench {

result_queue::~result_queue() {
    while (try_pop()) {
    }
}

bool result_queue::try_push(std::unique_ptr<result_record>& record) noexcept {
    if (!records_.bounded_push(record.get())) return false;
    record.release();  // the queue owns it now
    return true;
}

void result_queue::push(std::unique_ptr<result_record> record) {
    detail::backoff wait;
    while (!try_push(record)) wait();
}

std::unique_ptr<result_record> result_queue::try_pop() noexcept {
    result_record* popped = nullptr;
    if (!records_.pop(popped)) return nullptr;
    return std::unique_ptr<result_record>(popped);
}

}  // namespace bench
