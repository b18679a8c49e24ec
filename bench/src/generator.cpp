#include <bench/generator.hpp>

#include <bench/interrupt.hpp>

#include <boost/spirit/include/karma_generate_attr.hpp>
#include <boost/spirit/include/karma_sequence.hpp>
#include <boost/spirit/include/karma_char.hpp>
#include <boost/spirit/include/karma_uint.hpp>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <type_traits>

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

namespace bench {

namespace {

// pthread_t is an integer on some systems and a pointer on others.
std::uint32_t thread_part(pthread_t thread)
{
    if constexpr (std::is_pointer_v<pthread_t>) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(thread));
    } else if constexpr (std::is_integral_v<pthread_t>) {
        return static_cast<std::uint32_t>(thread);
    } else {
        std::uint32_t low = 0;
        std::memcpy(&low, &thread, sizeof low < sizeof thread ? sizeof low : sizeof thread);
        return low;
    }
}

std::uint64_t microseconds_since_epoch()
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_usec);
}

}  // namespace

std::string make_key(std::uint64_t number)
{
    namespace karma = boost::spirit::karma;
    const karma::uint_generator<std::uint32_t, 16> hex32;
    const karma::uint_generator<std::uint64_t, 16> hex64;

    const auto process = static_cast<std::uint32_t>(::getpid());
    const std::uint32_t thread = thread_part(::pthread_self());
    const std::uint64_t time = microseconds_since_epoch();

    std::string key;
    std::back_insert_iterator<std::string> sink(key);
    karma::generate(sink, hex32 << '/' << hex32 << '/' << hex64 << '/' << hex64,
                    process, thread, time, number);
    return key;
}

std::string make_value(std::uint64_t length)
{
    if (length > std::string().max_size()) {
        throw std::length_error("value length too large");
    }
    std::string value;
    value.reserve(static_cast<std::size_t>(length));

    // A fresh engine from the default seed on every call, so equal lengths
    // give equal content. Each index is the low 6 bits of the next output,
    // drawn again when it falls past the alphabet; drawing it here rather
    // than through uniform_int_distribution keeps the content the same with
    // every standard library.
    std::mt19937 engine(std::mt19937::default_seed);
    static_assert(value_alphabet.size() == 62, "the index draw assumes 62 characters");
    // A piece at a time, and a stop request is honoured between two pieces:
    // a value of gigabytes takes minutes to make.
    constexpr std::size_t piece = std::size_t{1} << 20;
    while (value.size() < length) {
        if (!value.empty() && interrupt_requested()) {
            throw interrupted_error();
        }
        const std::size_t start = value.size();
        value.append(std::min(piece, static_cast<std::size_t>(length) - start), ' ');
        for (auto c = value.begin() + static_cast<std::ptrdiff_t>(start); c != value.end(); ++c) {
            std::uint32_t index = 0;
            do {
                index = static_cast<std::uint32_t>(engine()) & 0x3fu;
            } while (index >= value_alphabet.size());
            *c = value_alphabet[index];
        }
    }
    return value;
}

}  // namespace bench
