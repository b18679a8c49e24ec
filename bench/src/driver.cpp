#include <bench/driver.hpp>

#include <bench/cluster/cluster.hpp>
#include <bench/interrupt.hpp>
#include <bench/run/run.hpp>
#include <bench/run/start.hpp>
#include <bench/run/termination.hpp>
#include <bench/command_line.hpp>
#include <bench/settings.hpp>

#include <clocale>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// The run's story, on every rank of it: the ranks, the command line, the
// suite and the facts of every rank, one pass, the exit status.
int run_benchmark(int argc, char* argv[]) {
    install_termination_handlers();
    std::setlocale(LC_ALL, "en_US.UTF-8");

    // The standard streams are named here only; everything below writes to
    // the streams it is given.
    std::ostream& out = std::cout;
    std::ostream& err = std::cerr;
    // Before any thread starts: the MPI library, when an MPI launcher started
    // this process (else the cluster of this process alone). A rank that
    // leaves with an error below, without the ranks' last step, ends every
    // rank of the run.
    std::unique_ptr<cluster> ranks;
    std::string source;
    try {
        ranks = join_cluster();
        if (ranks->launched()) source = "rank " + std::to_string(ranks->rank()) + ": ";

        const command_line_outcome command_line = read_command_line(*ranks, argc, argv, out, err);
        if (!command_line.settings) return ranks->end(command_line.exit_status);

        const std::optional<run_setup> setup =
            set_up_run(*ranks, *command_line.settings,
                       std::vector<std::string>(argv, argv + argc), out, err);
        if (!setup) return ranks->end(1);

        install_interrupt_handlers();
        // Every rank ends with rank 0's status.
        return ranks->end(exit_status(run(*setup, *ranks, out, err)));
    } catch (const std::exception& error) {
        err << ("Error in benchmark: " + source + error.what() + "\n") << std::flush;
        return 1;
    }
}

}  // namespace bench
