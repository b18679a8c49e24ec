#include <bench/run/run.hpp>

#include <bench/error_log.hpp>
#include <bench/interrupt.hpp>
#include <bench/report/result_writer.hpp>
#include <bench/run/pass.hpp>
#include <bench/run/silent_stream.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

namespace {

// "running N test(s) in a single thread...", "... in T thread..." (the word
// stays singular), or over several ranks "... in T threads on R ranks...".
void write_running_line(std::ostream& out, const run_setup& setup, const cluster& ranks) {
    out << "running " << setup.tests.size() << " test(s) in ";
    if (runs_in_calling_thread(setup.settings, ranks)) {
        out << "a single thread...";
    } else if (!ranks.launched()) {
        out << setup.settings.threads << " thread...";
    } else {
        out << setup.all_threads << " threads on " << ranks.size()
            << (ranks.size() == 1 ? " rank..." : " ranks...");
    }
    out << std::endl;
}

// After a pass of workers: how long it took, and whether it did everything
// ("All done!") or was stopped ("Interrupted!", with the time it ran).
void write_closing_line(std::ostream& out, std::chrono::nanoseconds elapsed, bool stopped) {
    out << std::endl;
    const double milliseconds = static_cast<double>(elapsed.count()) / 1000000.0;
    out << (stopped ? "Interrupted! Total elapsed time: " : "All done! Total elapsed time: ")
        << milliseconds << " ms" << std::endl;
}

// The end of the run on rank 0: the reports' last words (the aggregates and
// the JSON report), then, with --strict, a line that counts the failed
// results; and what the run came to.
run_outcome finish_run(const run_settings& settings, result_writer& writer,
                       const error_log& errors, const pass_end& pass, std::ostream& err) {
    run_outcome outcome;
    const std::vector<std::string> messages = errors.messages();
    outcome.signal = interrupt_signal();
    outcome.remote_signal = pass.remote_signal;
    const bool finished = writer.finish(run_ending{stop_signal(outcome), messages});
    outcome.strict_failure = settings.strict && writer.failed() > 0;
    if (outcome.strict_failure) {
        err << (std::to_string(writer.failed()) + " of " + std::to_string(writer.results()) +
                " results failed\n")
            << std::flush;
    }
    outcome.error = !pass.reports_closed || !finished || !messages.empty();
    return outcome;
}

}  // namespace

run_outcome run(const run_setup& setup, cluster& ranks, std::ostream& out, std::ostream& err) {
    // Of the ranks of a run, rank 0 alone prints and reports.
    const bool root = ranks.rank() == 0;
    silent_stream silent_out, silent_err;
    std::ostream& rank_out = root ? out : silent_out;
    std::ostream& rank_err = root ? err : silent_err;

    write_running_line(rank_out, setup, ranks);
    std::optional<result_writer> writer;
    if (root) {
        writer.emplace(setup.settings, setup.tests, setup.facts, out, err);
        writer->begin();
    }
    error_log errors(rank_err,
                     ranks.launched() ? "rank " + std::to_string(ranks.rank()) + ": " : "");

    const pass_end pass =
        run_pass(setup, ranks, pass_output{writer ? &*writer : nullptr, errors, rank_out, rank_err});

    // Rank 0 decides the exit status of every rank.
    if (!root) return {};
    if (pass.elapsed)
        write_closing_line(out, *pass.elapsed, interrupt_requested() || pass.remote_signal != 0);
    return finish_run(setup.settings, *writer, errors, pass, err);
}

}  // namespace bench
