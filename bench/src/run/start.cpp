#include <bench/run/start.hpp>

#include <bench/clients/redis_cluster_client.hpp>
#include <bench/cluster/wire.hpp>
#include <bench/interrupt.hpp>
#include <bench/host_info.hpp>
#include <bench/run/silent_stream.hpp>
#include <bench/test_spec.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace bench {

namespace {

// What rank 0 tells the other ranks of a launch: the suite and whether the
// threads meet before each test, or why there is no run. Every rank takes
// them as they came over the wire, rank 0 too.
void share_plan(cluster& ranks, run_setup& setup, std::optional<std::string>& failure) {
    wire::run_plan plan;
    if (ranks.rank() == 0) {
        plan.tests = std::move(setup.tests);
        plan.lockstep = setup.settings.lockstep;
        if (failure) plan.error = failure->empty() ? "cannot load the test file" : *failure;
    }
    wire::writer message;
    wire::put(message, plan);
    const std::string shared = ranks.broadcast(message.take());
    wire::reader in(shared);
    plan = wire::get_plan(in);
    in.finish();
    setup.tests = std::move(plan.tests);
    setup.settings.lockstep = plan.lockstep;
    if (!plan.error.empty()) failure = plan.error;
}

// Every rank's machine, threads and store, on rank 0.
std::vector<rank_facts> gather_facts(cluster& ranks, const run_settings& settings) {
    wire::writer message;
    wire::put(message, rank_facts{ranks.rank(), read_host_facts(), settings.threads,
                                  endpoint_text(settings.daemon)});
    std::vector<rank_facts> facts;
    for (const std::string& bytes : ranks.gather(message.take())) {
        wire::reader in(bytes);
        facts.push_back(wire::get_rank_facts(in));
        in.finish();
    }
    return facts;
}

// Rank 0's count of the run's threads, on every rank (a mix test's load and
// key choice are split by it).
std::uint32_t share_thread_count(cluster& ranks, std::uint32_t all_threads) {
    wire::writer message;
    message.u32(all_threads);
    const std::string shared = ranks.broadcast(message.take());
    wire::reader in(shared);
    const std::uint32_t count = in.u32();
    in.finish();
    return count;
}

// Several connections or requests in flight run the steps of mix tests,
// each an operation of its own; the other kinds' steps are sequences of
// operations that depend on each other.
void check_pipelined_suite(const run_settings& settings, const std::vector<test_spec>& tests) {
    if (!settings.pipelined()) return;
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (tests[i].which() != static_cast<int>(mix_kind_index))
            throw std::runtime_error(
                "--connections and --pipeline above 1 run mix tests only, and test " +
                std::to_string(i + 1) + " of " + settings.test_file + " is " +
                kind_names[static_cast<std::size_t>(tests[i].which())]);
    }
}

}  // namespace

command_line_outcome read_command_line(cluster& ranks, int argc, char* argv[], std::ostream& out,
                                       std::ostream& err) {
    const bool root = ranks.rank() == 0;
    std::ostringstream own_output, own_errors;
    command_line_outcome command_line =
        parse_arguments(argc, argv, root ? out : own_output, root ? err : own_errors,
                        root ? file_checks::all : file_checks::none);
    if (!root) {
        // Without this rank's help or version, a launch that ends because of
        // it would end with no word.
        if (!command_line.settings && command_line.exit_status == 0)
            out << own_output.str() << std::flush;
        std::istringstream lines(own_errors.str());
        for (std::string line; std::getline(lines, line);)
            err << ("rank " + std::to_string(ranks.rank()) + ": " + line + "\n");
        err.flush();
    }
    const int agreed = ranks.agree(command_line.settings ? -1 : command_line.exit_status);
    if (agreed >= 0) return {std::nullopt, agreed};
    return command_line;
}

std::optional<run_setup> set_up_run(cluster& ranks, const run_settings& settings,
                                    std::vector<std::string> command_line, std::ostream& out,
                                    std::ostream& err) {
    const bool root = ranks.rank() == 0;
    silent_stream silent_out, silent_err;
    std::ostream& rank_out = root ? out : silent_out;
    std::ostream& rank_err = root ? err : silent_err;

    run_setup setup;
    setup.settings = settings;
    std::optional<std::string> failure;
    if (root) {
        rank_out << "loading test file: " << settings.test_file << "..." << std::endl;
        try {
            setup.tests = load_test_suite(settings.test_file);
            check_pipelined_suite(settings, setup.tests);
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (ranks.launched()) share_plan(ranks, setup, failure);
    if (failure) {
        rank_err << ("Error in benchmark: " + *failure + "\n") << std::flush;
        return std::nullopt;
    }

    setup.facts = run_facts{std::move(command_line), std::chrono::system_clock::now(), {}};
    // A process of its own is the only rank: its facts go into the report
    // as the host's, and its store is the only one.
    if (ranks.launched()) setup.facts.ranks = gather_facts(ranks, setup.settings);
    setup.first_thread = static_cast<std::uint32_t>(
        ranks.sum_before(static_cast<std::uint64_t>(setup.settings.threads)));
    std::vector<std::string> daemons;
    const auto add_daemon = [&daemons](const std::string& daemon) {
        if (std::find(daemons.begin(), daemons.end(), daemon) == daemons.end())
            daemons.push_back(daemon);
    };
    if (ranks.launched()) {
        for (const rank_facts& rank : setup.facts.ranks) {
            setup.all_threads += static_cast<std::uint32_t>(rank.threads);
            add_daemon(rank.daemon);
        }
    } else {
        setup.all_threads = static_cast<std::uint32_t>(setup.settings.threads);
        add_daemon(endpoint_text(setup.settings.daemon));
    }
    // The other servers of a --daemon list, after the first.
    for (const endpoint& server : setup.settings.clients.servers) add_daemon(endpoint_text(server));
    for (const std::string& daemon : daemons) rank_out << "connecting to " << daemon << std::endl;
    std::size_t masters = 0;  // of a Redis Cluster, when its map could be read
    if (root && settings.clients.redis_cluster && settings.protocol == protocol_type::redis) {
        try {
            masters = count_redis_cluster_masters(settings.daemon, settings.clients);
            rank_out << "cluster of " << masters << (masters == 1 ? " master" : " masters")
                     << std::endl;
        } catch (const interrupted_error&) {
            throw;
        } catch (const std::exception&) {
            // No map: the threads' clients fail to connect and say why.
        }
    }
    if (ranks.launched()) setup.all_threads = share_thread_count(ranks, setup.all_threads);
    if (settings.pipelined()) {
        // A memcached pool's threads connect to every server, a cluster's
        // to every master.
        const bool cluster = settings.clients.redis_cluster;
        const std::uint64_t servers = cluster ? std::max<std::size_t>(masters, 1)
                                      : settings.clients.servers.empty()
                                          ? 1
                                          : settings.clients.servers.size();
        const std::uint64_t total =
            std::uint64_t{setup.all_threads} * settings.connections * servers;
        std::string reach;
        if (servers > 1)
            reach = " to each of " + std::to_string(servers) + (cluster ? " masters" : " servers");
        rank_out << "using " << total << (total == 1 ? " connection" : " connections") << " ("
                 << settings.connections << " per thread" << reach << "), up to "
                 << settings.pipeline
                 << (settings.pipeline == 1 ? " request" : " requests")
                 << " in flight on each" << std::endl;
    }
    return setup;
}

}  // namespace bench
