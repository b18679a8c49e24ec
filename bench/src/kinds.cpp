#include <bench/kinds.hpp>

#include <bench/detail/timed_step.hpp>
#include <bench/format.hpp>
#include <bench/generator.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

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

}  // namespace

std::string describe(const single_put_multiple_get& kind)
{
    return "putting " + size_text(kind.size) + " once and getting it " +
           std::to_string(kind.count) + " times";
}

void execute(const single_put_multiple_get& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
{
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
    const std::string value = make_value(kind.size);
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        const std::string key = make_key(i);
        timed_step(result, schedule, kind.size, [&] { store.put(key, value); });
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
    const std::string value = make_value(kind.size);
    const std::size_t size = to_size(kind.size);
    const std::uint64_t step_bytes = 2 * kind.size;
    // The read buffer keeps its capacity from step to step, so that a get
    // does not allocate inside the timed region; it is emptied after each
    // check, so that a get that writes nothing cannot pass on the last
    // step's content.
    std::string out = reserved_buffer(size);
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        const std::string key = make_key(kind.size + kind.count + i);
        timed_step(result, schedule, step_bytes, [&] {
            store.put(key, value);
            store.get(key, out, size);
            store.remove(key);
        });
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
    // Both values are equal: the update writes the same content again.
    const std::string first = make_value(kind.size);
    const std::string second = make_value(kind.size);
    const std::size_t size = to_size(kind.size);
    const std::uint64_t step_bytes = 4 * kind.size;
    std::string out1 = reserved_buffer(size);
    std::string out2 = reserved_buffer(size);
    for (std::uint64_t i = 0; i < kind.count; ++i) {
        const std::string key = make_key(kind.size + kind.count + i);
        timed_step(result, schedule, step_bytes, [&] {
            store.put(key, first);
            store.get(key, out1, size);
            store.update(key, second);
            store.get(key, out2, size);
            store.remove(key);
        });
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
