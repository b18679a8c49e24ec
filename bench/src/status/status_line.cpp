#include <bench/status/status_line.hpp>

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace bench {

void live_snapshot::add(const live_slot& slot) noexcept
{
    steps += slot.steps.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < live_bucket_count; ++i)
        buckets[i] += slot.buckets[i].load(std::memory_order_relaxed);
}

live_figures live_difference(const live_snapshot& before, const live_snapshot& after,
                             std::chrono::nanoseconds interval) noexcept
{
    live_figures figures;
    const double seconds = std::chrono::duration<double>(interval).count();
    if (seconds > 0)
        figures.steps_per_s = static_cast<double>(after.steps - before.steps) / seconds;
    std::array<std::uint64_t, live_bucket_count> counts{};
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < live_bucket_count; ++i) {
        counts[i] = after.buckets[i] - before.buckets[i];
        total += counts[i];
    }
    if (total == 0) return figures;
    // The first bucket that holds the step of rank ceil(0.99 * total).
    const std::uint64_t rank = total - total / 100;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < live_bucket_count; ++i) {
        seen += counts[i];
        if (seen >= rank) {
            figures.p99_ns = live_bucket_upper(i);
            break;
        }
    }
    return figures;
}

namespace {

// A duration in the unit that keeps it short: "850 ns", "12.3 us",
// "1.25 ms", "2.10 s".
std::string duration_text(std::uint64_t ns)
{
    char text[32];
    const auto value = static_cast<double>(ns);
    if (ns < 1000)
        std::snprintf(text, sizeof text, "%" PRIu64 " ns", ns);
    else if (ns < 1000000)
        std::snprintf(text, sizeof text, "%.1f us", value / 1e3);
    else if (ns < 1000000000)
        std::snprintf(text, sizeof text, "%.2f ms", value / 1e6);
    else
        std::snprintf(text, sizeof text, "%.2f s", value / 1e9);
    return text;
}

// Elapsed time as m:ss, or h:mm:ss from an hour on.
std::string elapsed_text(std::chrono::nanoseconds elapsed)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld",
                      static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60),
                      static_cast<long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return text;
}

// The console lock, and whether the status line is on the terminal now.
std::mutex console_mutex;
bool line_shown = false;  // guarded by console_mutex

void write_all(const std::string& text) noexcept
{
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, next, left);
        if (written <= 0) return;  // a status line is not worth a retry loop
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

const char clear_line[] = "\r\x1b[K";

}  // namespace

std::string format_status(const status_view& view)
{
    std::string line = elapsed_text(view.elapsed) + " | ";
    if (view.tests.empty()) {
        line += "between tests";
    } else {
        line += view.tests.size() == 1 ? "test " : "tests ";
        for (std::size_t i = 0; i < view.tests.size(); ++i) {
            if (i > 0) line += ", ";
            line += std::to_string(view.tests[i].first) + ' ' + view.tests[i].second;
        }
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", view.last_second.steps_per_s);
    line += std::string(" | ") + rate + " steps/s | p99 ";
    line += view.last_second.p99_ns ? duration_text(*view.last_second.p99_ns) : "-";
    line += " | " + std::to_string(view.failures) + " failed";
    return line;
}

status_board::status_board(std::size_t threads)
    : threads_(threads), slots_(std::make_unique<live_slot[]>(threads))
{
}

void status_board::finished(live_slot& slot, bool success) noexcept
{
    slot.test.store(0, std::memory_order_relaxed);
    if (!success) failures_.fetch_add(1, std::memory_order_relaxed);
}

live_snapshot status_board::snapshot() const noexcept
{
    live_snapshot sum;
    for (std::size_t i = 0; i < threads_; ++i) sum.add(slots_[i]);
    return sum;
}

std::vector<std::uint32_t> status_board::running() const
{
    std::vector<std::uint32_t> tests;
    for (std::size_t i = 0; i < threads_; ++i) {
        const std::uint32_t test = slots_[i].test.load(std::memory_order_relaxed);
        if (test != 0) tests.push_back(test);
    }
    std::sort(tests.begin(), tests.end());
    tests.erase(std::unique(tests.begin(), tests.end()), tests.end());
    return tests;
}

status_line::status_line(const status_board& board, std::vector<std::string> kinds,
                         std::chrono::steady_clock::time_point start)
    : board_(board), kinds_(std::move(kinds)), start_(start), thread_([this] { run(); })
{
}

status_line::~status_line()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    const std::lock_guard<std::mutex> lock(console_mutex);
    if (line_shown) write_all(clear_line);
    line_shown = false;
}

void status_line::run()
{
    using clock = std::chrono::steady_clock;
    live_snapshot before = board_.snapshot();
    clock::time_point taken = clock::now();
    clock::time_point next = taken;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        next += std::chrono::seconds(1);
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
        const live_snapshot after = board_.snapshot();
        const clock::time_point now = clock::now();
        status_view view;
        view.elapsed = now - start_;
        for (const std::uint32_t test : board_.running())
            view.tests.emplace_back(test, test <= kinds_.size() ? kinds_[test - 1] : "");
        view.last_second = live_difference(before, after, now - taken);
        view.failures = board_.failures();
        before = after;
        taken = now;
        const std::string text = "\r" + format_status(view) + "\x1b[K";
        const std::lock_guard<std::mutex> console(console_mutex);
        write_all(text);
        line_shown = true;
    }
}

console_turn::console_turn() : lock_(console_mutex)
{
    if (!line_shown) return;
    write_all(clear_line);
    line_shown = false;
}

}  // namespace bench
