#ifndef BENCH_KINDS_HPP
#define BENCH_KINDS_HPP

#include <bench/client.hpp>
#include <bench/step_schedule.hpp>
#include <bench/test_result.hpp>
#include <bench/test_spec.hpp>
#include <bench/workload/mix_kind.hpp>

#include <boost/timer/progress_display.hpp>

#include <string>

namespace bench {

// Each test kind has a description and a loop. execute() runs the loop on
// store, records one sample per timed step into result, advances progress
// (when not null) once per iteration, and throws on the first failure,
// leaving in result what the steps before it recorded. With a schedule (open
// loop) each timed step first waits for its due time and is recorded from
// it; result.open_loop must then be set.

// One entry written once and read count times.
std::string describe(const single_put_multiple_get& kind);
void execute(const single_put_multiple_get& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count entries written (in the sorted order of their keys), then removed.
std::string describe(const multiple_put& kind);
void execute(const multiple_put& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count entries written and left in the store.
std::string describe(const multiple_put_remain& kind);
void execute(const multiple_put_remain& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count times: put, get and remove of a new entry as one step.
std::string describe(const multiple_put_get_delete& kind);
void execute(const multiple_put_get_delete& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count times: put, get, update, get and remove of a new entry as one step.
std::string describe(const multiple_put_get_update_delete& kind);
void execute(const multiple_put_get_update_delete& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// The mix kind's describe() and execute() are in bench/workload/mix_kind.hpp.

// The description of whichever kind the test holds.
std::string describe(const test_spec& test);

}  // namespace bench

#endif
