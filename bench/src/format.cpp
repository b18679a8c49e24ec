#include <bench/format.hpp>

#include <boost/spirit/include/karma_generate.hpp>
#include <boost/spirit/include/karma_real.hpp>

#include <array>
#include <cmath>
#include <iterator>
#include <locale>
#include <sstream>

namespace bench {

namespace {

// Prefixes by the number of divisions by the base; the unit follows directly.
constexpr std::array<const char*, 9> binary_prefixes = {
    " ", " Ki", " Mi", " Gi", " Ti", " Pi", " Ei", " Zi", " Yi"};

}  // namespace

std::string format_scaled(double value, const char* unit, double base)
{
    std::size_t prefix = 0;
    while (value >= base && prefix + 1 < binary_prefixes.size()) {
        value /= base;
        ++prefix;
    }

    // Karma's default real policy: three fractional digits, trailing zeros
    // dropped but one kept, scientific notation outside [0.001, 100000).
    std::string text;
    std::back_insert_iterator<std::string> sink(text);
    boost::spirit::karma::generate(sink, boost::spirit::karma::double_, value);
    text += binary_prefixes[prefix];
    text += unit;
    return text;
}

std::string format_scaled(std::uint64_t value, const char* unit, double base)
{
    return format_scaled(static_cast<double>(value), unit, base);
}

std::string number_text(double value)
{
    if (std::isnan(value)) {
        return "nan";
    }
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

}  // namespace bench
