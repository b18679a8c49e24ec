#ifndef BENCH_REPORT_HPP
#define BENCH_REPORT_HPP

// The console summary and the report file of the results.
#include <bench/report/console.hpp>
#include <bench/report/csv_report.hpp>

#endif
