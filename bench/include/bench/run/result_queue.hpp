#ifndef BENCH_RUN_RESULT_QUEUE_HPP
#define BENCH_RUN_RESULT_QUEUE_HPP

#include <bench/result_record.hpp>

#include <boost/lockfree/queue.hpp>

#include <cstddef>
#include <memory>

namespace bench {

// Finished results on their way from the workers of a pass to its writer
// thread: many threads push, one pops, and none takes a lock. Fixed
// capacity: a push never allocates and fails while the queue is full. The
// queue owns what is in it; what is left in it when it ends is freed.
class result_queue {
public:
    static constexpr std::size_t capacity = 128;

    result_queue() = default;
    ~result_queue();

    result_queue(const result_queue&) = delete;
    result_queue& operator=(const result_queue&) = delete;

    // Hands the record over when there is room: true, and `record` is empty
    // then; false, with `record` untouched, while the queue is full.
    bool try_push(std::unique_ptr<result_record>& record) noexcept;
    // Hands the record over, waiting while the queue is full (a few yields,
    // then sleeps: detail::backoff).
    void push(std::unique_ptr<result_record> record);
    // The oldest record, or null while the queue is empty.
    std::unique_ptr<result_record> try_pop() noexcept;

private:
    // The lock-free queue holds plain pointers; this class owns what they
    // point to.
    boost::lockfree::queue<result_record*, boost::lockfree::capacity<capacity>> records_;
};

}  // namespace bench

#endif
