#include <bench/workload/mix_key.hpp>

#include <charconv>
#include <chrono>
#include <system_error>

#include <unistd.h>

namespace bench {

namespace {

void append_hex(std::string& out, std::uint64_t number)
{
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, number, 16).ptr;
    out.append(digits, end);
}

}  // namespace

void format_key(std::string_view prefix, std::uint64_t number, std::string& out)
{
    char digits[20];  // 2^64 - 1 has 20
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.assign(prefix);
    out.append(digits, end);
}

const std::string& default_key_prefix()
{
    static const std::string prefix = [] {
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        std::string text = "kvbench:";
        append_hex(text, static_cast<std::uint64_t>(::getpid()));
        text += '-';
        append_hex(text, static_cast<std::uint64_t>(now.count()));
        text += ':';
        return text;
    }();
    return prefix;
}

}  // namespace bench
