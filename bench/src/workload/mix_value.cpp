#include <bench/workload/mix_value.hpp>
#include <bench/workload/random.hpp>  // mix64

#include <array>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static_assert(alphabet.size() == 64, "a character carries six bits");

// Each byte's six bits, or `invalid` for a byte outside the alphabet.
constexpr std::uint8_t invalid = 0x40;
constexpr std::array<std::uint8_t, 256> make_digits()
{
    std::array<std::uint8_t, 256> digits{};
    for (auto& digit : digits) digit = invalid;
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        digits[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return digits;
}
constexpr std::array<std::uint8_t, 256> digits = make_digits();

constexpr std::size_t word = 8;
static_assert(value_header_size % word == 0, "the body's words start at a multiple of 8");

// What the header's check and the body come from. Distinct keys, or
// lengths, give distinct words before the mix (the factors are odd), and
// the mix spreads any change over every bit.
std::uint64_t value_hash(std::uint64_t key, std::uint64_t version, std::size_t length) noexcept
{
    return mix64((key * 0x9e3779b97f4a7c15u + length * 0xd1b54a32d192ed03u) ^ version);
}

std::uint32_t check_of(std::uint64_t hash) noexcept
{
    return static_cast<std::uint32_t>(hash >> 32);
}

// The body's eight characters, from the hash's low 48 bits, as the word they
// make in memory.
std::uint64_t pattern_of(std::uint64_t hash) noexcept
{
    char text[word];
    for (std::size_t i = 0; i < word; ++i) text[i] = alphabet[(hash >> (6 * i)) & 63];
    std::uint64_t pattern = 0;
    std::memcpy(&pattern, text, word);
    return pattern;
}

// The header's 96 bits, the version's 64 then the check's 32, six a character
// from the first.
void write_header(char* out, std::uint64_t version, std::uint32_t check) noexcept
{
    for (int i = 0; i < 10; ++i) out[i] = alphabet[(version >> (6 * i)) & 63];
    out[10] = alphabet[(version >> 60) | ((check & 3u) << 4)];
    for (int i = 11; i < 16; ++i) out[i] = alphabet[(check >> (6 * i - 64)) & 63];
}

// Reads what write_header wrote; false when a byte is not one it writes.
bool read_header(const char* in, std::uint64_t& version, std::uint32_t& check) noexcept
{
    const auto six = [in](int i) { return digits[static_cast<unsigned char>(in[i])]; };
    unsigned seen = 0;
    version = 0;
    for (int i = 0; i < 10; ++i) {
        seen |= six(i);
        version |= static_cast<std::uint64_t>(six(i)) << (6 * i);
    }
    seen |= six(10);
    version |= static_cast<std::uint64_t>(six(10) & 15u) << 60;
    check = six(10) >> 4;
    for (int i = 11; i < 16; ++i) {
        seen |= six(i);
        check |= static_cast<std::uint32_t>(six(i)) << (6 * i - 64);
    }
    return (seen & invalid) == 0;
}

}  // namespace

void make_value(std::uint64_t key, std::uint64_t version, std::size_t length, std::string& out)
{
    if (length < value_header_size) {
        throw std::invalid_argument("a mix value is at least 16 bytes long");
    }
    out.resize(length);
    char* const value = &out[0];
    const std::uint64_t hash = value_hash(key, version, length);
    write_header(value, version, check_of(hash));
    const std::uint64_t pattern = pattern_of(hash);
    std::size_t at = value_header_size;
    for (; at + word <= length; at += word) std::memcpy(value + at, &pattern, word);
    std::memcpy(value + at, &pattern, length - at);
}

bool value_matches(std::uint64_t key, std::string_view value, std::uint64_t size_min,
                   std::uint64_t size_max) noexcept
{
    const std::size_t length = value.size();
    if (length < value_header_size || length < size_min || length > size_max) return false;
    std::uint64_t version = 0;
    std::uint32_t check = 0;
    if (!read_header(value.data(), version, check)) return false;
    const std::uint64_t hash = value_hash(key, version, length);
    if (check != check_of(hash)) return false;

    const std::uint64_t pattern = pattern_of(hash);
    const char* const body = value.data();
    // Differences gathered without a branch, four words a round, so that the
    // compiler can keep them in vector registers.
    std::uint64_t differ[4] = {0, 0, 0, 0};
    std::size_t at = value_header_size;
    for (; at + 4 * word <= length; at += 4 * word) {
        for (std::size_t i = 0; i < 4; ++i) {
            std::uint64_t w = 0;
            std::memcpy(&w, body + at + i * word, word);
            differ[i] |= w ^ pattern;
        }
    }
    for (; at + word <= length; at += word) {
        std::uint64_t w = 0;
        std::memcpy(&w, body + at, word);
        differ[0] |= w ^ pattern;
    }
    if (at < length) {
        std::uint64_t w = pattern;
        std::memcpy(&w, body + at, length - at);  // the rest of w stays as pattern
        differ[0] |= w ^ pattern;
    }
    return (differ[0] | differ[1] | differ[2] | differ[3]) == 0;
}

}  // namespace bench
