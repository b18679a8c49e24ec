#ifndef BENCH_WORKLOAD_MIX_SUITE_HPP
#define BENCH_WORKLOAD_MIX_SUITE_HPP

#include <bench/workload/mix.hpp>

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstddef>
#include <string>

namespace bench {

// The longest duration or warm-up a mix test may ask for, in seconds (about
// 115 days).
constexpr double mix_max_seconds = 1e7;

// Reads a mix test from its node of a suite file. Every field is checked:
// a field that a mix does not have, a value that is not of its field's form
// or range, and fields that do not go together (both or neither of count
// and duration, size with size_min, all weights 0) raise a
// std::runtime_error whose message names the field, then, in parentheses,
// the test's position in the suite (from 1) and the file: `mix field
// "keys": must be above 0 (test 3 in suite.cfg)`.
//
// What the file leaves out is decided here, once, so that every thread and
// rank of the run shares it: the seed is drawn at random, the key prefix is
// default_key_prefix() of this process.
mix read_mix_test(const boost::property_tree::ptree& node, std::size_t position,
                  const std::string& file);

}  // namespace bench

#endif
