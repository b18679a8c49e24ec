#ifndef BENCH_FORMAT_HPP
#define BENCH_FORMAT_HPP

#include <cstdint>
#include <string>

namespace bench {

// Writes value with a binary prefix and a unit: the value is divided by base
// (1024 in practice) until it is below base or the prefix reaches "Yi", then
// written with at most three fractional digits, for instance "1.5 KiB",
// "512.0 B/s", "9.766 KiB". Magnitudes from 0.001 up to 100000 (and 0) are
// written in fixed notation, the others in scientific notation ("1.235e05").
std::string format_scaled(double value, const char* unit, double base);
std::string format_scaled(std::uint64_t value, const char* unit, double base);

// A number as the console and the report write it: the stream default
// (general notation, six significant digits) in the classic locale, whatever
// the caller's stream is set to. A NaN is "nan" whatever its sign bit (0 / 0
// gives a negative NaN on common processors).
std::string number_text(double value);

}  // namespace bench

#endif
