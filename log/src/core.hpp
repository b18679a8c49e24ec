#ifndef NOX_LOG_SRC_CORE_HPP
#define NOX_LOG_SRC_CORE_HPP

// The logger object behind the process-wide functions.

#include <nox/log/detail/seams.hpp>
#include <nox/log/logger.hpp>

#ifndef TBB_PREVIEW_MEMORY_POOL
#define TBB_PREVIEW_MEMORY_POOL 1
#endif
#include <oneapi/tbb/cache_aligned_allocator.h>
#include <oneapi/tbb/concurrent_queue.h>
#include <oneapi/tbb/concurrent_vector.h>
#include <oneapi/tbb/memory_pool.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define NOX_LOG_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NOX_LOG_TSAN 1
#endif
#endif

namespace nox::log::detail {

#ifdef NOX_LOG_TSAN
// The race detector cannot see the cache-aligned allocator hand a queue page
// freed by one thread to another, and would report the page's reuse as a
// race; plain operator new is visible to it.
using queue_allocator = std::allocator<log_packet*>;
#else
using queue_allocator = tbb::cache_aligned_allocator<log_packet*>;
#endif

// One registered output.
struct log_output {
    output_kind kind = output_kind::console;
    std::string path;                  // file: where the records are appended
    int fd = -1;                       // file: open only while a batch is written
    log_callback callback = nullptr;   // callback: the function called per record
};

class logger {
public:
    static constexpr std::size_t max_batch = 1000;  // records written per pass

    // Throws std::bad_alloc when the record pool cannot be created.
    explicit logger(log_level minimum);
    // Writes what is still queued, then releases the records and outputs.
    ~logger();
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    log_level minimum() const noexcept { return minimum_; }

    // Queues one record; drops it when it cannot be allocated or rendered.
    void push(log_level level, const boost::format& message) noexcept;

    // Safe while other threads log and flush.
    void add_output(log_output output);
    std::vector<output_kind> output_kinds() const;

    // Writes passes until the queue is drained; serialised with other flushes.
    void flush();

private:
    using record_pool = tbb::memory_pool<std::allocator<char>>;

    static std::unique_ptr<record_pool> make_pool();
    log_packet* allocate() noexcept;
    void release(log_packet* packet) noexcept;
    bool flush_pass();  // true when the queue was found empty
    void write(log_output& output, std::size_t count);

    const log_level minimum_;
    std::mutex flush_mutex_;  // held by whoever flushes

    // Outputs are appended one at a time under add_mutex_ and become visible
    // to flushes through ready_, so a flush never reads an element that is
    // still being constructed.
    tbb::concurrent_vector<log_output> outputs_;
    std::mutex add_mutex_;
    std::atomic<std::size_t> ready_{0};

    std::unique_ptr<record_pool> pool_;
    tbb::concurrent_queue<log_packet*, queue_allocator> queue_;

    std::array<log_packet*, max_batch> batch_{};  // the pass being written, under flush_mutex_
};

// The syslog calls the outputs use; tests replace them.
const syslog_api& current_syslog_api() noexcept;

// Consumes one injected allocation failure, if any is pending.
bool take_allocation_failure() noexcept;

// pthread_self cut to 32 bits.
std::uint32_t current_thread_id() noexcept;

}  // namespace nox::log::detail

#endif
