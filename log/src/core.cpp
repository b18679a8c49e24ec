#include "core.hpp"

#include <nox/log/detail/format.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>

#ifdef NOX_LOG_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace nox::log::detail {

namespace {

void system_open(const char* ident, int option, int facility) { ::openlog(ident, option, facility); }
void system_write(int priority, const char* text) { ::syslog(priority, "%s", text); }
void system_close() { ::closelog(); }

syslog_api active_syslog{system_open, system_write, system_close};

std::atomic<std::size_t> pending_allocation_failures{0};

// Closes a file descriptor when the batch that opened it ends, however it ends.
class fd_guard {
public:
    explicit fd_guard(int& fd) noexcept : fd_(fd) {}
    ~fd_guard() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;

private:
    int& fd_;
};

class stdout_lock {
public:
    stdout_lock() noexcept { ::flockfile(stdout); }
    ~stdout_lock() { ::funlockfile(stdout); }
    stdout_lock(const stdout_lock&) = delete;
    stdout_lock& operator=(const stdout_lock&) = delete;
};

// Opens a file output for one batch: its directory is created when missing
// and the file is created, or brought back, to mode 0600. An existing file
// gets its mode before it is opened, since a file its owner may not write
// (0400) could not be opened for writing at all.
int open_log_file(const std::string& path) noexcept {
    std::error_code ignored;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);  // fails harmlessly when the file is missing
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    } while (fd < 0 && errno == EINTR);
    // A file just created has 0600 less the umask.
    if (fd >= 0) ::fchmod(fd, S_IRUSR | S_IWUSR);
    return fd;
}

void write_line(int fd, const std::string& line) noexcept {
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
}

}  // namespace

syslog_api system_syslog_api() noexcept { return syslog_api{system_open, system_write, system_close}; }

syslog_api replace_syslog_api(const syslog_api& api) noexcept {
    const syslog_api previous = active_syslog;
    active_syslog = api;
    return previous;
}

const syslog_api& current_syslog_api() noexcept { return active_syslog; }

void fail_record_allocations(std::size_t count) noexcept { pending_allocation_failures.store(count); }

bool take_allocation_failure() noexcept {
    std::size_t pending = pending_allocation_failures.load(std::memory_order_relaxed);
    while (pending != 0) {
        if (pending_allocation_failures.compare_exchange_weak(pending, pending - 1)) return true;
    }
    return false;
}

std::uint32_t current_thread_id() noexcept {
    // pthread_t is an integer on some systems and a pointer on others; its
    // low bytes serve as the id either way.
    const pthread_t self = ::pthread_self();
    std::uint64_t value = 0;
    std::memcpy(&value, &self, sizeof self < sizeof value ? sizeof self : sizeof value);
    return static_cast<std::uint32_t>(value);
}

logger::logger(log_level minimum) : minimum_(minimum), pool_(make_pool()) {}

std::unique_ptr<logger::record_pool> logger::make_pool() {
    try {
        return std::make_unique<record_pool>();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // The pool reports a failed creation as a runtime error.
        throw std::bad_alloc();
    }
}

logger::~logger() {
    std::lock_guard<std::mutex> lock(flush_mutex_);
    try {
        while (!flush_pass()) {
        }
    } catch (...) {
        // The records still queued go away with the pool.
    }
}

log_packet* logger::allocate() noexcept {
    if (take_allocation_failure()) return nullptr;
    void* memory = pool_->malloc(sizeof(log_packet));
    if (memory == nullptr) return nullptr;
#ifdef NOX_LOG_TSAN
    // The pool hands memory between threads through synchronisation the race
    // detector cannot see; pair this with the release in release().
    __tsan_acquire(memory);
#endif
    return new (memory) log_packet;
}

void logger::release(log_packet* packet) noexcept {
    if (packet == nullptr) return;
#ifdef NOX_LOG_TSAN
    __tsan_release(packet);
#endif
    pool_->free(packet);
}

void logger::push(log_level level, const boost::format& message) noexcept {
    if (level < minimum_) return;
    log_packet* packet = allocate();
    if (packet == nullptr) return;
    try {
        std::string text;
        if (message.remaining_args() == 0) {
            text = message.str();
        } else {
            // Arguments that were never bound are written empty rather than
            // losing the message.
            boost::format lenient(message);
            lenient.exceptions(boost::io::all_error_bits &
                               ~(boost::io::too_many_args_bit | boost::io::too_few_args_bit));
            text = lenient.str();
        }
        packet->time = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
        packet->level = level;
        packet->thread = current_thread_id();
        packet->process = static_cast<std::uint32_t>(::getpid());
        const std::size_t length = text.size() < log_packet::max_length ? text.size() : log_packet::max_length;
        packet->length = length;
        std::memcpy(packet->text, text.data(), length);
        packet->text[length] = '\0';
        queue_.push(packet);
    } catch (...) {
        release(packet);
    }
}

void logger::add_output(log_output output) {
    std::lock_guard<std::mutex> lock(add_mutex_);
    outputs_.push_back(std::move(output));
    ready_.store(ready_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

std::vector<output_kind> logger::output_kinds() const {
    std::vector<output_kind> kinds;
    const std::size_t count = ready_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < count; ++i) kinds.push_back(outputs_[i].kind);
    return kinds;
}

void logger::flush() {
    std::lock_guard<std::mutex> lock(flush_mutex_);
    while (!flush_pass()) {
    }
}

bool logger::flush_pass() {
    std::size_t count = 0;
    log_packet* packet = nullptr;
    while (count < max_batch && queue_.try_pop(packet)) batch_[count++] = packet;
    const bool drained = count < max_batch;

    // The batch goes back to the pool even when an output throws.
    struct batch_release {
        logger& owner;
        std::size_t count;
        ~batch_release() {
            for (std::size_t i = 0; i < count; ++i) owner.release(owner.batch_[i]);
        }
    } releaser{*this, count};

    if (count != 0) {
        const std::size_t outputs = ready_.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < outputs; ++i) write(outputs_[i], count);
    }
    return drained;
}

void logger::write(log_output& output, std::size_t count) {
    switch (output.kind) {
    case output_kind::console: {
        stdout_lock whole_batch;  // keeps the batch's lines together
        for (std::size_t i = 0; i < count; ++i) {
            const log_packet* packet = batch_[i];
            if (packet == nullptr) continue;
            const std::string prefix = console_prefix(*packet);
            std::fwrite(prefix.data(), 1, prefix.size(), stdout);
            std::fwrite(packet->text, 1, packet->length, stdout);
            std::fputc('\n', stdout);
        }
        // Flushed per batch so that a process ending in abort() still shows
        // what was logged before.
        std::fflush(stdout);
        break;
    }
    case output_kind::file: {
        output.fd = open_log_file(output.path);
        if (output.fd < 0) break;  // tried again at the next batch
        fd_guard close_after_batch(output.fd);
        for (std::size_t i = 0; i < count; ++i) {
            const log_packet* packet = batch_[i];
            if (packet == nullptr) continue;
            write_line(output.fd, file_line(*packet));
        }
        break;
    }
    case output_kind::syslog: {
        const syslog_api& api = current_syslog_api();
        api.open("nox", LOG_PID, LOG_USER);
        for (std::size_t i = 0; i < count; ++i) {
            const log_packet* packet = batch_[i];
            if (packet == nullptr) continue;
            api.write(syslog_priority(static_cast<log_level>(packet->level)), packet->text);
        }
        api.close();
        break;
    }
    case output_kind::callback: {
        for (std::size_t i = 0; i < count; ++i) {
            const log_packet* packet = batch_[i];
            if (packet == nullptr || output.callback == nullptr) continue;
            const time_fields fields = break_down_time(packet->time);
            output.callback(log_level_name(static_cast<log_level>(packet->level)), fields.data(),
                            packet->process, packet->thread, packet->text, packet->length);
        }
        break;
    }
    }
}

}  // namespace nox::log::detail
