#ifndef BENCH_REPORT_REPORTER_HPP
#define BENCH_REPORT_REPORTER_HPP

#include <bench/result_record.hpp>
#include <bench/run/run_facts.hpp>

namespace bench {

// Where the finished results of a run go: the console, the report file, the
// JSON report, or all of them together (result_writer). One thread at a time
// uses a reporter, in this order: begin, take every result, close, finish.
class reporter {
public:
    virtual ~reporter() = default;

    // Before the first result: files are created and their headers written.
    virtual void begin() = 0;
    // One finished result, in the order the results finished.
    virtual void take(const result_record& result) = 0;
    // After the last result, before the pass says how it ended. False, after
    // saying why on the error stream, when what was taken did not reach its
    // file.
    virtual bool close() = 0;
    // At the end of the run: what sums the results up. False, after saying
    // why on the error stream, when it could not be written.
    virtual bool finish(const run_ending& ending) = 0;
};

}  // namespace bench

#endif
