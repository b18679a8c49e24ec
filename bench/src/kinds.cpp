#include <bench/kinds.hpp>

#include <bench/detail/timed_step.hpp>
#include <bench/format.hpp>
#include <bench/generator.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace bench {

namespace {

using detail::timed_step;

void check_content(const std::string& read, const std::string& written)
{
    if (read != written) {
        throw std::runtime_error("content does not match");
    }
}

void advance(boost::timer::progress_display* progress)
{
    if (progress != nullptr) {
        ++*progress;
    }
}

// Sizes and counts come from the suite file as 64-bit numbers; where they
// size a buffer they must fit std::size_t without being cut.
std::size_t to_size(std::uint64_t n)
{
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (n > static_cast<std::uint64_t>(SIZE_MAX)) {
            throw std::length_error("size too large for this system");
        }
    }
    return static_cast<std::size_t>(n);
}

// An empty string that can take size bytes without allocating.
std::string reserved_buffer(std::size_t size)
{
    std::string buffer;
    buffer.reserve(size);
    return buffer;
}

std::string size_text(std::uint64_t size)
{
    return format_scaled(size, "B", 1024.0);
}

// n times k, or the largest number when that does not fit.
std::uint64_t times(std::uint64_t n, std::uint64_t k)
{
    if (k != 0 && n > std::numeric_limits<std::uint64_t>::max() / k) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return n * k;
}

std::uint64_t plus(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// The keys of a test that makes a new key for every step, numbered on from
// first. The next step's key is made as soon as a step's calls have returned,
// before the step's checks and progress: the key generator makes a system call
// (it asks for the process id), and a kernel that isolates its page tables
// from the process's (PTI) on a processor without address-space tags (PCID)
// empties the TLB on every system call. Each page touched first after it then
// costs a page-table walk, several nanoseconds in a virtual machine; made
// here, the key leaves those walks to our own work between the steps, which
// touches much of what the next step does (our code, the stack, the value and
// the read buffers), instead of to the next step's timed calls.
class step_keys {
public:
    explicit step_keys(std::uint64_t first) : first_(first), key_(make_key(first)) {}

    const std::string& key() const noexcept { return key_; }

    // Makes the key of step i + 1 when there is one, after step i.
    void after_step(std::uint64_t i, std::uint64_t count)
    {
        if (i + 1 < count) {
            key_ = make_key(first_ + i + 1);
        }
    }

private:
    std::uint64_t first_;
    std::string key_;
};

// What one key of a key list takes: the string and the text it points to.
constexpr std::uint64_t key_bytes = sizeof(std::string) + 48;

// The machine's physical memory; the largest number when it cannot be told.
std::uint64_t physical_memory()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return times(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
}

}  // namespace

value_memory& value_memory::machine()
{
    static value_memory memory(physical_memory());
    return memory;
}

value_memory::share value_memory::take(std::uint64_t bytes)
{
    std::uint64_t taken = taken_.load(std::memory_order_relaxed);
    do {
        if (bytes > total_ || taken > total_ - bytes) {
            std::string message = "not enough memory for the test's values: " +
                                  size_text(bytes) + " on this thread, " + size_text(total_) +
                                  " in the machine";
            if (taken > 0) {
                message += " (" + size_text(taken) + " held by other tests running now)";
            }
            throw std::runtime_error(message);
        }
    } while (!taken_.compare_exchange_weak(taken, taken + bytes, std::memory_order_relaxed));
    return share(*this, bytes);
}

std::string describe(const single_put_multiple_get& kind)
{
    return "putting " + size_text(kind.size) + " once and getting it " +
           std::to_string(kind.count) + " times";
}

void execute(const single_put_multiple_get& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
{
    // The value and the read buffer.
    const auto memory = value_memory::machine().take(times(kind.size, 2));
    const std::string key = make_key(kind.size + kind.count);
    const std::string value = make_value(kind.size);
    const std::size_t size = to_size(kind.size);
    store.put(key, value);

    // One buffer at its final length, reused by every read.
    std::string buffer(size, '\0');
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        timed_step(result, schedule, kind.size, [&] { store.get(key, buffer, size); });
        check_content(buffer, value);
        advance(progress);
    }
    store.remove(key);
}

std::string describe(const multiple_put& kind)
{
    return "putting " + std::to_string(kind.count) + " entries of " + size_text(kind.size);
}

void execute(const multiple_put& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
{
    // The value and the list of keys.
    const auto memory =
        value_memory::machine().take(plus(kind.size, times(kind.count, key_bytes)));
    std::vector<std::string> keys;
    keys.reserve(to_size(kind.count));
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        keys.push_back(make_key(kind.size + kind.count + i));
    }
    // Entries go in in the byte-wise order of their keys.
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    const std::string value = make_value(kind.size);
    for (const std::string& key : keys) {
        timed_step(result, schedule, kind.size, [&] { store.put(key, value); });
        advance(progress);
    }
    for (const std::string& key : keys) {
        store.remove(key);
    }
}

std::string describe(const multiple_put_remain& kind)
{
    return "putting " + std::to_string(kind.count) + " entries of " + size_text(kind.size) +
           " and do not remove them";
}

void execute(const multiple_put_remain& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
{
    const auto memory = value_memory::machine().take(kind.size);
    const std::string value = make_value(kind.size);
    step_keys keys(0);
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        const std::string& key = keys.key();
        timed_step(result, schedule, kind.size, [&] { store.put(key, value); });
        keys.after_step(i, kind.count);
        advance(progress);
    }
}

std::string describe(const multiple_put_get_delete& kind)
{
    return "putting " + size_text(kind.size) +
           " once, get it, delete it and do the whole operation " + std::to_string(kind.count) +
           " times";
}

void execute(const multiple_put_get_delete& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
{
    // The value and the read buffer.
    const auto memory = value_memory::machine().take(times(kind.size, 2));
    const std::string value = make_value(kind.size);
    const std::size_t size = to_size(kind.size);
    const std::uint64_t step_bytes = 2 * kind.size;
    // The read buffer keeps its capacity from step to step, so that a get
    // does not allocate inside the timed region; it is emptied after each
    // check, so that a get that writes nothing cannot pass on the last
    // step's content.
    std::string out = reserved_buffer(size);
    step_keys keys(kind.size + kind.count);
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        const std::string& key = keys.key();
        timed_step(result, schedule, step_bytes, [&] {
            store.put(key, value);
            store.get(key, out, size);
            store.remove(key);
        });
        keys.after_step(i, kind.count);
        check_content(out, value);
        out.clear();
        advance(progress);
    }
}

std::string describe(const multiple_put_get_update_delete& kind)
{
    return describe(multiple_put_get_delete{kind.size, kind.count});
}

void execute(const multiple_put_get_update_delete& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
{
    // Two values and two read buffers.
    const auto memory = value_memory::machine().take(times(kind.size, 4));
    // Both values are equal: the update writes the same content again.
    const std::string first = make_value(kind.size);
    const std::string second = make_value(kind.size);
    const std::size_t size = to_size(kind.size);
    const std::uint64_t step_bytes = 4 * kind.size;
    std::string out1 = reserved_buffer(size);
    std::string out2 = reserved_buffer(size);
    step_keys keys(kind.size + kind.count);
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        const std::string& key = keys.key();
        timed_step(result, schedule, step_bytes, [&] {
            store.put(key, first);
            store.get(key, out1, size);
            store.update(key, second);
            store.get(key, out2, size);
            store.remove(key);
        });
        keys.after_step(i, kind.count);
        check_content(out1, first);
        check_content(out2, second);
        out1.clear();
        out2.clear();
        advance(progress);
    }
}

std::string describe(const test_spec& test)
{
    return boost::apply_visitor([](const auto& kind) { return describe(kind); }, test);
}

}  // namespace bench
