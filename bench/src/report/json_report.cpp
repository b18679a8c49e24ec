#include <bench/report/json_report.hpp>

#include "json_figures.hpp"

#include <bench/host_info.hpp>
#include <bench/interrupt.hpp>
#include <bench/kinds.hpp>
#include <bench/version.hpp>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

using json = nlohmann::ordered_json;
using namespace json_figures;

struct json_report::document {
    json head;                         // everything known before the first result
    json results = json::array();
    bool ranks = false;                // a run over several ranks: results name theirs
    bool intervals = false;            // --interval: every aggregate has its intervals
};

namespace {

// UTC in ISO 8601 with milliseconds: 2026-12-09T10:11:12.345Z.
std::string utc_text(std::chrono::system_clock::time_point at) {
    const auto since_epoch = at.time_since_epoch();
    const std::time_t seconds =
        std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(milliseconds));
    return text;
}

json result_json(const result_record& result) {
    const bool timed = result.steps() > 0;
    json object = {
        {"thread", result.thread_number},
        {"test", result.test_index},
        {"success", result.success},
        {"error", result.success ? json(nullptr) : json(result.failure)},
        {"iterations", result.steps()},
        {"bytes", result.bytes_processed},
        {"start_ms", timed ? json(ms(result.start_ns)) : json(nullptr)},
        {"span_ms", ms(result.span_ns())},
    };
    object["figures"] = figures_json(result.figures);
    object["throughput"] = throughput_json(throughput_of(result));
    object["percentiles_ms"] = percentiles_json(percentiles_of(result));
    const open_loop_times* open_loop = result.open_loop ? &*result.open_loop : nullptr;
    object["service_percentiles_ms"] =
        open_loop ? percentiles_json(service_percentiles_of(result)) : json(nullptr);
    object["start_lateness_percentiles_ms"] =
        open_loop ? percentiles_json(start_lateness_percentiles_of(result)) : json(nullptr);
    object["rate"] = rate_json(open_loop ? open_loop->requested_rate
                                         : std::numeric_limits<double>::quiet_NaN(),
                               achieved_rate(result), mean_start_lateness_ms(result));
    object["histogram"] = histogram_json(result.latency);
    object["service_histogram"] = open_loop ? histogram_json(open_loop->service) : json(nullptr);
    object["start_lateness_histogram"] =
        open_loop ? histogram_json(open_loop->lateness) : json(nullptr);
    // A failed test has no figures, as its console block and its report row:
    // the same objects, every value null (the requested rate apart), and no
    // histograms.
    if (!result.success) {
        for (const char* part : {"figures", "throughput", "percentiles_ms",
                                 "service_percentiles_ms", "start_lateness_percentiles_ms"})
            for (auto& [name, value] : object[part].items()) value = nullptr;
        object["rate"]["achieved"] = nullptr;
        object["rate"]["mean_start_lateness_ms"] = nullptr;
        for (const char* part : {"histogram", "service_histogram", "start_lateness_histogram"})
            object[part] = nullptr;
    }
    json operations = operations_json(result.operations, result.success);
    if (!operations.is_null()) object["operations"] = std::move(operations);
    if (result.redirections) object["redirections"] = redirections_json(*result.redirections);
    if (result.intervals)
        object["intervals"] = intervals_json(*result.intervals, {{result.start_ns, result.end_ns}});
    return object;
}

// An aggregate's requested rate is that of all its threads together, its
// achieved rate that of all its merged threads.
json aggregate_json(const test_aggregate& aggregate, const std::string& description,
                    bool intervals) {
    const open_loop_times* open_loop = aggregate.open_loop ? &*aggregate.open_loop : nullptr;
    json service = open_loop ? percentiles_json(aggregate.service_percentiles()) : json(nullptr);
    json lateness =
        open_loop ? percentiles_json(aggregate.start_lateness_percentiles()) : json(nullptr);
    json object = {{"test", aggregate.test_index},
                   {"description", description},
                   {"threads", aggregate.threads},
                   {"failed_threads", aggregate.failed_threads},
                   {"iterations", aggregate.iterations},
                   {"bytes", aggregate.bytes},
                   {"span_ms", ms(aggregate.span_ns())},
                   {"throughput", throughput_json(aggregate.rate())},
                   {"mean_ms", aggregate.mean_ms()},
                   {"standard_deviation_ms", aggregate.standard_deviation_ms()},
                   {"min_ms", aggregate.min_ms},
                   {"max_ms", aggregate.max_ms},
                   {"percentiles_ms", percentiles_json(aggregate.percentiles())},
                   {"service_percentiles_ms", std::move(service)},
                   {"start_lateness_percentiles_ms", std::move(lateness)},
                   {"rate", rate_json(aggregate.requested_steps_per_s,
                                      aggregate.achieved_steps_per_s,
                                      aggregate.mean_start_lateness_ms())},
                   {"histogram", histogram_json(aggregate.latency)},
                   {"service_histogram",
                    open_loop ? histogram_json(open_loop->service) : json(nullptr)},
                   {"start_lateness_histogram",
                    open_loop ? histogram_json(open_loop->lateness) : json(nullptr)}};
    json operations = operations_json(aggregate.operations, true);
    if (!operations.is_null()) object["operations"] = std::move(operations);
    if (aggregate.redirections)
        object["redirections"] = redirections_json(*aggregate.redirections);
    // With --interval even a test that no thread reported has its (empty) list.
    if (aggregate.intervals)
        object["intervals"] = intervals_json(*aggregate.intervals, aggregate.interval_spans);
    else if (intervals)
        object["intervals"] = json::array();
    return object;
}

// Every endpoint of --daemon as given, the daemon alone when it was one.
json servers_json(const run_settings& settings) {
    json servers = json::array();
    if (settings.clients.servers.empty()) servers.push_back(endpoint_text(settings.daemon));
    for (const endpoint& server : settings.clients.servers) servers.push_back(endpoint_text(server));
    return servers;
}

json head_json(const run_settings& settings, const std::vector<test_spec>& tests,
               const run_facts& facts) {
    const host_facts host = read_host_facts();
    json tests_json = json::array();
    for (std::size_t i = 0; i < tests.size(); ++i) {
        tests_json.push_back({{"index", i},
                              {"kind", kind_names[static_cast<std::size_t>(tests[i].which())]},
                              {"size", kind_size(tests[i])},
                              {"count", kind_count(tests[i])},
                              {"description", describe(tests[i])}});
    }
    return {
        {"kvbench", {{"version", version()}}},
        {"command_line", facts.command_line},
        {"started_at", utc_text(facts.started_at)},
        {"finished_at", nullptr},
        {"host",
         {{"name", host.name},
          {"os", host.os},
          {"release", host.release},
          {"machine", host.machine},
          {"cpu_model", host.cpu_model ? json(*host.cpu_model) : json(nullptr)},
          {"logical_cpus", host.logical_cpus}}},
        {"settings",
         {{"protocol", protocol_name(settings.protocol)},
          {"daemon", endpoint_text(settings.daemon)},
          {"servers", servers_json(settings)},
          {"cluster", settings.clients.redis_cluster},
          {"threads", settings.threads},
          {"test_file", settings.test_file},
          {"report_file", settings.report_file},
          {"lockstep", settings.lockstep},
          {"json_file", settings.json_file},
          {"percentiles", settings.percentiles},
          {"strict", settings.strict},
          {"rate", optional_json(settings.rate)},
          {"connections", settings.connections},
          {"pipeline", settings.pipeline},
          {"interval_s", optional_json(settings.interval)}}},
        {"tests", std::move(tests_json)},
    };
}

// The object with `name: value` placed right after `after`.
json inserted_after(const json& object, const std::string& after, const std::string& name,
                    const json& value) {
    json result = json::object();
    for (const auto& [key, each] : object.items()) {
        result[key] = each;
        if (key == after) result[name] = value;
    }
    return result;
}

// A run over several ranks: how many, and each rank's machine, threads and
// store beside the host of rank 0.
json with_ranks(json head, const std::vector<rank_facts>& ranks) {
    json hosts = json::array();
    for (const rank_facts& rank : ranks) {
        const host_facts& host = rank.host;
        hosts.push_back({{"rank", rank.rank},
                         {"name", host.name},
                         {"os", host.os},
                         {"release", host.release},
                         {"machine", host.machine},
                         {"cpu_model", host.cpu_model ? json(*host.cpu_model) : json(nullptr)},
                         {"logical_cpus", host.logical_cpus},
                         {"threads", rank.threads},
                         {"daemon", rank.daemon}});
    }
    head["settings"]["ranks"] = ranks.size();
    return inserted_after(head, "host", "hosts", hosts);
}

std::string system_error_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// The file a path names once the symbolic links at its end are followed, so
// that the report replaces a link's target rather than the link; a path that
// is no link (or does not exist) is itself. Relative targets are taken from
// the link's directory; after as many hops as the system allows in a path,
// the path reached is given up on and returned.
std::string link_target(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(at.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
        std::string target(256, '\0');
        ssize_t length = 0;
        for (;;) {
            length = ::readlink(at.c_str(), target.data(), target.size());
            if (length < 0 || static_cast<std::size_t>(length) < target.size()) break;
            target.resize(target.size() * 2);
        }
        if (length <= 0) break;
        target.resize(static_cast<std::size_t>(length));
        if (target.front() != '/') {
            const auto slash = at.rfind('/');
            if (slash != std::string::npos) target = at.substr(0, slash + 1) + target;
        }
        at = std::move(target);
    }
    return at;
}

}  // namespace

json_report::json_report(std::string path, const run_settings& settings,
                         const std::vector<test_spec>& tests, const run_facts& facts)
    : path_(std::move(path)), document_(std::make_unique<document>()) {
    document_->head = head_json(settings, tests, facts);
    document_->intervals = settings.interval.has_value();
    if (!facts.ranks.empty()) {
        document_->head = with_ranks(std::move(document_->head), facts.ranks);
        document_->ranks = true;
    }
}

json_report::~json_report() = default;

void json_report::add(const result_record& result) {
    if (document_->ranks) {
        document_->results.push_back(
            inserted_after(result_json(result), "thread", "rank", result.rank));
    } else {
        document_->results.push_back(result_json(result));
    }
}

bool json_report::write(const suite_aggregates& aggregates, const run_ending& ending) {
    json whole = document_->head;
    whole["finished_at"] = utc_text(std::chrono::system_clock::now());
    whole["results"] = document_->results;
    json aggregates_json = json::array();
    const json& tests = whole["tests"];
    aggregates.for_each([&](const test_aggregate& aggregate) {
        aggregates_json.push_back(
            aggregate_json(aggregate,
                           tests.at(aggregate.test_index).at("description").get<std::string>(),
                           document_->intervals));
    });
    whole["aggregates"] = std::move(aggregates_json);
    whole["interrupted"] =
        ending.interrupt_signal != 0 ? json(signal_name(ending.interrupt_signal)) : json(nullptr);
    whole["errors"] = ending.errors;

    // Invalid UTF-8 (a path or a message in another encoding) is replaced,
    // not allowed to end the report.
    const std::string text = whole.dump(2, ' ', false, json::error_handler_t::replace) + "\n";

    // A new file beside the report, renamed over it once complete; beside
    // the target of a symbolic link, and over that target, when the report's
    // path is a link.
    const std::string target = link_target(path_);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = target + ".partial-" + std::to_string(::getpid()) + "-" +
                    std::to_string(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        failure_ = "cannot create " + temporary + ": " + system_error_text(errno);
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure_ = "cannot write " + temporary + ": " + system_error_text(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        failure_ = "cannot write " + temporary + ": " + system_error_text(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        failure_ = "cannot rename " + temporary + ": " + system_error_text(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

json_reporter::json_reporter(std::string path, const run_settings& settings,
                             const std::vector<test_spec>& tests, const run_facts& facts,
                             const suite_aggregates& aggregates, std::ostream& err)
    : report_(std::move(path), settings, tests, facts), aggregates_(aggregates), err_(err) {}

bool json_reporter::finish(const run_ending& ending) {
    if (report_.write(aggregates_, ending)) return true;
    err_ << ("cannot write JSON report " + report_.path() + ": " + report_.failure_reason() +
             "\n")
         << std::flush;
    return false;
}

}  // namespace bench
