#ifndef BENCH_REPORT_CONSOLE_HPP
#define BENCH_REPORT_CONSOLE_HPP

#include <bench/aggregate.hpp>
#include <bench/result_record.hpp>

#include <iosfwd>
#include <string>

namespace bench {

// The console summary block of one result: its description, thread and
// processed bytes, then its figures, or " ### test in error " when it failed.
// Every line ends with a newline and a flush.
std::ostream& operator<<(std::ostream& out, const result_record& result);

// Two lines that follow a successful result's block on request:
//     latency percentiles = p50 X ms, p90 X ms, p99 X ms, p99.9 X ms, p99.99 X ms
//              throughput = X steps/s, Y B/s (scaled)
// and between them, for each operation type of a mix test, its steps (with
// the hits and misses of those that look an entry up) and percentiles:
//     get: N steps, H hits, M misses, p50 X ms, ...
// and, for an open-loop result, the service times' percentiles:
//     service percentiles = p50 X ms, ...
void write_latency_lines(std::ostream& out, const result_record& result);

// The block of one test over every thread that ran it: an empty line,
// "aggregate of test DESCRIPTION over N threads", the processed bytes, the
// lines above, and the pooled mean, standard deviation, min and max.
void write_aggregate(std::ostream& out, const test_aggregate& aggregate,
                     const std::string& description);

}  // namespace bench

#endif
