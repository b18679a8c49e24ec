#include <bench/command_line.hpp>
#include <bench/protocol.hpp>
#include <bench/version.hpp>

#include <boost/asio/ip/address.hpp>
#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <map>
#include <locale>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <sys/stat.h>

namespace po = boost::program_options;
namespace fs = boost::filesystem;

namespace bench {

namespace {

// The value of --daemon: one endpoint, or several separated by commas for a
// store that spans servers, in the order given.
struct endpoint_list {
    std::vector<endpoint> endpoints;
};

// The options library converts an option's text by calling validate() for
// the bound type, found by argument-dependent lookup in the type's namespace.
// A bad item of a list is named alone; an empty item (two commas in a row, or
// one at either end) and an endpoint given twice are errors of their own.
void validate(boost::any& value, const std::vector<std::string>& values, endpoint_list*, int) {
    po::validators::check_first_occurrence(value);
    const std::string& text = po::validators::get_single_string(values);
    endpoint_list list;
    std::string::size_type from = 0;
    for (;;) {
        const auto comma = text.find(',', from);
        const std::string item = text.substr(from, comma - from);
        if (item.empty() && (comma != std::string::npos || from > 0))
            throw po::error("the --daemon list '" + text + "' has an empty item");
        auto [where, error] = parse_endpoint(item);
        if (error) throw po::invalid_option_value(item);
        // A server named twice would be one server, not the two it looks like.
        if (std::find(list.endpoints.begin(), list.endpoints.end(), where) != list.endpoints.end())
            throw po::error("the --daemon list '" + text + "' names " + endpoint_text(where) +
                            " twice");
        list.endpoints.push_back(std::move(where));
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    value = std::move(list);
}

}  // namespace

// Protocol names are matched exactly, case included.
static void validate(boost::any& value, const std::vector<std::string>& values, protocol_type*,
                     int) {
    po::validators::check_first_occurrence(value);
    const std::string& text = po::validators::get_single_string(values);
    const protocol_info* const protocol = find_protocol(text);
    if (protocol == nullptr) throw po::invalid_option_value(text);
    value = protocol->type;
}

namespace {

// A decimal number in plain or exponent notation ("250", "0.5", "2e4"), read
// in the classic locale; signs, blanks, infinities and NaN are refused, and
// so is a number too large for a double. The option's own bounds are its
// caller's.
double decimal_value(const std::vector<std::string>& values) {
    const std::string& text = po::validators::get_single_string(values);
    static const std::regex decimal(R"(([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
    if (!std::regex_match(text, decimal)) throw po::invalid_option_value(text);
    std::istringstream number(text);
    number.imbue(std::locale::classic());
    double parsed = 0;
    number >> parsed;
    if (number.fail()) throw po::invalid_option_value(text);
    return parsed;
}

// The value of --rate: steps per second, a decimal number above 0 and at
// most max_rate ("250", "0.5", "2e4"); signs, blanks, infinities and NaN are
// refused, and so is a number too large for a double.
struct rate_option {
    double steps_per_second = 0;
};

void validate(boost::any& value, const std::vector<std::string>& values, rate_option*, int) {
    po::validators::check_first_occurrence(value);
    const double rate = decimal_value(values);
    if (!(rate > 0 && rate <= max_rate))
        throw po::invalid_option_value(po::validators::get_single_string(values));
    value = rate_option{rate};
}

// The value of --interval: seconds, a decimal number from min_interval to
// max_interval ("1", "0.5", "2e1"), refused as --rate refuses its value.
struct interval_option {
    double seconds = 0;
};

void validate(boost::any& value, const std::vector<std::string>& values, interval_option*, int) {
    po::validators::check_first_occurrence(value);
    const double seconds = decimal_value(values);
    if (!(seconds >= min_interval && seconds <= max_interval))
        throw po::invalid_option_value(po::validators::get_single_string(values));
    value = interval_option{seconds};
}

// The value of --connections or --pipeline: a whole number from 1 to the
// option's bound, in decimal digits alone.
template <std::uint32_t bound>
struct count_option {
    std::uint32_t count = 1;
};

template <std::uint32_t bound>
void validate(boost::any& value, const std::vector<std::string>& values, count_option<bound>*,
              int) {
    po::validators::check_first_occurrence(value);
    const std::string& text = po::validators::get_single_string(values);
    std::uint32_t count = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    if (text.empty() || error != std::errc() || stop != end || count < 1 || count > bound)
        throw po::invalid_option_value(text);
    value = count_option<bound>{count};
}

// Reads the parts of an options error that the library keeps to itself: the
// placeholder values it fills into the error's template.
struct option_error_parts : po::error_with_option_name {
    using substitutions = std::map<std::string, std::string>;
    static substitutions& of(po::error_with_option_name& error) {
        return error.*(&option_error_parts::m_substitutions);
    }
};

// The library's message of an options error with the user's text quoted as
// given. The library fills a "%name%" placeholder in a loop that starts over
// until none is left, so a value that itself holds the placeholder (such as
// "--protocol=%value%") never ends it. Every '%' in the values is therefore
// stood in for by a byte that occurs nowhere in the error while the library
// builds the message, and put back afterwards.
std::string option_error_message(po::error& error) {
    auto* named = dynamic_cast<po::error_with_option_name*>(&error);
    if (named == nullptr) return error.what();

    auto& values = option_error_parts::of(*named);
    std::string seen = named->m_error_template;
    for (const auto& entry : values) seen += entry.second;
    char stand_in = 0;
    for (int c = 1; c < 256 && stand_in == 0; ++c) {
        if (c != '%' && seen.find(static_cast<char>(c)) == std::string::npos)
            stand_in = static_cast<char>(c);
    }
    // Every byte value occurs: no message can be built safely.
    if (stand_in == 0) return "invalid command line";

    for (auto& entry : values) std::replace(entry.second.begin(), entry.second.end(), '%', stand_in);
    std::string message = named->what();
    std::replace(message.begin(), message.end(), stand_in, '%');
    return message;
}

// Whether two paths, existing or not, name the same file. Two files that
// exist are compared by device and inode, so that another spelling of the
// path, a symbolic link or a hard link is the same file too; a file that
// exists is never the same as one that does not; two that do not exist are
// compared by their absolute paths with the existing part resolved.
bool same_file(const std::string& a, const std::string& b) {
    struct stat file_a {};
    struct stat file_b {};
    const bool a_exists = ::stat(a.c_str(), &file_a) == 0;
    const bool b_exists = ::stat(b.c_str(), &file_b) == 0;
    if (a_exists && b_exists) return file_a.st_dev == file_b.st_dev && file_a.st_ino == file_b.st_ino;
    if (a_exists || b_exists) return false;

    boost::system::error_code error_a, error_b;
    const fs::path full_a = fs::weakly_canonical(fs::absolute(a), error_a);
    const fs::path full_b = fs::weakly_canonical(fs::absolute(b), error_b);
    if (error_a || error_b) return fs::absolute(a) == fs::absolute(b);
    return full_a == full_b;
}

// A path as a message shows it: an empty one as "" so that it can be seen.
std::string shown_path(const std::string& path) { return path.empty() ? "\"\"" : path; }

// The endpoints a protocol's client reaches, as the command line writes them.
const char* endpoint_form(endpoint_use endpoints) {
    switch (endpoints) {
    case endpoint_use::none: return "any";
    case endpoint_use::tcp: return "host:port";
    case endpoint_use::tcp_or_unix: return "host:port or unix:PATH";
    }
    return "";
}

// "redis protocol", or "a, b and c protocols": the protocols that take an
// option, as an error names them.
std::string protocols_taking(protocol_options option) {
    std::vector<std::string> names;
    for (const protocol_info& protocol : protocols()) {
        if (takes(protocol, option)) names.emplace_back(protocol.name);
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text + (names.size() == 1 ? " protocol" : " protocols");
}

// Prints a command-line error and the help, and says to end with status 1.
command_line_outcome fail_command_line(const std::string& message,
                                       const po::options_description& options,
                                       std::ostream& out, std::ostream& err) {
    err << "Error: " << message << std::endl;
    out << options << std::endl;
    return command_line_outcome{std::nullopt, 1};
}

}  // namespace

command_line_outcome parse_arguments(int argc, const char* const argv[], std::ostream& out,
                                     std::ostream& err, file_checks files) {
    run_settings settings;
    const endpoint default_daemon(boost::asio::ip::make_address("127.0.0.1"), 2836);
    endpoint_list daemons;
    std::string auth_file;
    rate_option rate;
    interval_option interval;
    count_option<max_connections> connections;
    count_option<max_pipeline> pipeline;

    po::options_description general("General");
    general.add_options()("help", "Display these help information.")(
        "version", "Display the version and exit.");

    po::options_description networking("Networking");
    networking.add_options()(
        "daemon",
        po::value<endpoint_list>(&daemons)->default_value(endpoint_list{{default_daemon}},
                                                          endpoint_text(default_daemon)),
        "Daemon's address and port to collect information from")(
        "auth-file", po::value<std::string>(&auth_file),
        "File whose first line is the redis password, or a user name and a password")(
        "cluster", po::bool_switch(&settings.clients.redis_cluster),
        "The --daemon endpoints are nodes of a Redis Cluster (redis)");

    po::options_description testing("Testing");
    testing.add_options()(
        "protocol", po::value<protocol_type>(&settings.protocol)->default_value(protocol_type::nox),
        "Protocol to test")(
        "threads", po::value<std::int32_t>(&settings.threads)->default_value(1), "Threads count")(
        "test-file,f", po::value<std::string>(&settings.test_file)->default_value("test.cfg"),
        "Test suites configuration file")(
        "output-file,o",
        po::value<std::string>(&settings.report_file)->default_value(make_report_file_name()),
        "Test file")(
        "strict", po::bool_switch(&settings.strict),
        "Exit with status 3 when any test failed (an error's status 1 and an "
        "interruption's 128 + signal come first)")(
        "lockstep", po::bool_switch(&settings.lockstep),
        "Start every test on all threads at the same moment")(
        "json,j", po::value<std::string>(&settings.json_file),
        "Also write a JSON report of the run (settings, host, every result with "
        "its percentiles, aggregates over the threads) to this file")(
        "percentiles,p", po::bool_switch(&settings.percentiles),
        "Print latency percentiles and throughput after each result, and an "
        "aggregate of each test over all threads at the end")(
        "rate", po::value<rate_option>(&rate),
        "Open loop: run each thread's steps on a schedule of this many per second "
        "(at most 10000000) and time each step from when it was due")(
        "interval", po::value<interval_option>(&interval),
        "Also keep each result's steps, bytes, failures and latencies per interval "
        "of this many seconds (0.1 to 86400) for the JSON report")(
        "connections", po::value<count_option<max_connections>>(&connections),
        "Connections per thread, 1 to 1000 (redis and memcached, mix tests): each "
        "thread drives its connections from one event loop")(
        "pipeline", po::value<count_option<max_pipeline>>(&pipeline),
        "Requests in flight per connection, 1 to 1024 (redis and memcached, mix "
        "tests); a request's time includes its wait behind the earlier ones");

    po::options_description options("Allowed options");
    options.add(general).add(networking).add(testing);

    try {
        po::variables_map given;
        const po::parsed_options parsed = po::parse_command_line(argc, argv, options);
        // Without positional options declared, the library hands words that
        // belong to no option over as positional ones, which store() drops.
        for (const po::option& word : parsed.options) {
            if (word.position_key >= 0 && !word.original_tokens.empty())
                throw std::runtime_error("unexpected argument '" + word.original_tokens.front() +
                                         "'");
        }
        po::store(parsed, given);
        po::notify(given);

        if (given.count("help")) {
            out << options << std::endl;
            return command_line_outcome{std::nullopt, 0};
        }
        if (given.count("version")) {
            out << "kvbench " << version() << std::endl;
            return command_line_outcome{std::nullopt, 0};
        }

        if (settings.threads < 1 || settings.threads > 100) {
            err << "Invalid threads count (" << settings.threads << ") specified" << std::endl;
            throw std::runtime_error("Invalid threads count specified");
        }

        if (given.count("rate")) settings.rate = rate.steps_per_second;
        if (given.count("interval")) settings.interval = interval.seconds;
        settings.connections = connections.count;
        settings.pipeline = pipeline.count;

        // The first endpoint is the daemon; a list is kept whole besides.
        settings.daemon = daemons.endpoints.front();
        if (daemons.endpoints.size() > 1) settings.clients.servers = daemons.endpoints;

        const protocol_info& protocol = *find_protocol(settings.protocol);
        for (const endpoint& daemon : daemons.endpoints) {
            if (!reaches(protocol, daemon))
                throw std::runtime_error(std::string("the ") + protocol.name +
                                         " protocol needs a " + endpoint_form(protocol.endpoints) +
                                         " endpoint");
        }
        const bool cluster = settings.clients.redis_cluster;
        if (cluster && !takes(protocol, protocol_options::cluster))
            throw std::runtime_error("--cluster is used by the " +
                                     protocols_taking(protocol_options::cluster) + " only");
        if (!settings.clients.servers.empty() && !takes(protocol, protocol_options::server_list) &&
            !cluster) {
            if (takes(protocol, protocol_options::cluster))
                throw std::runtime_error(std::string("the ") + protocol.name +
                                         " protocol takes a list of endpoints with --cluster only");
            throw std::runtime_error(std::string("the ") + protocol.name +
                                     " protocol takes one endpoint");
        }
        if (given.count("auth-file")) {
            if (!takes(protocol, protocol_options::auth_file))
                throw std::runtime_error("the auth file is used by the " +
                                         protocols_taking(protocol_options::auth_file) + " only");
            settings.clients.redis_login = read_redis_credentials(auth_file, err);
        }

        if ((given.count("connections") || given.count("pipeline")) &&
            !takes(protocol, protocol_options::pipelining))
            throw std::runtime_error("--connections and --pipeline are used by the " +
                                     protocols_taking(protocol_options::pipelining) + " only");

        if (files == file_checks::none) return command_line_outcome{std::move(settings), 0};

        if (const auto error = check_report_path(settings.report_file)) {
            err << "The path to the configuration file is invalid: " << error.message() << ": "
                << shown_path(settings.report_file) << std::endl;
            throw std::runtime_error("Invalid path to report file");
        }

        // An empty --json is refused rather than taken as no JSON report.
        const bool json = given.count("json") != 0;
        if (json) {
            if (const auto error = check_report_path(settings.json_file)) {
                err << "The path to the JSON report is invalid: " << error.message() << ": "
                    << shown_path(settings.json_file) << std::endl;
                throw std::runtime_error("Invalid path to JSON report");
            }
            if (same_file(settings.json_file, settings.report_file))
                throw std::runtime_error("The JSON report and the report file are the same file");
        }

        boost::system::error_code error;
        if (!fs::exists(fs::status(settings.test_file, error)))
            throw std::runtime_error("The test file cannot be found or acceded");

        // A report must never overwrite what the run reads.
        struct named_file {
            bool given;
            const std::string& path;
            const char* name;
        };
        const named_file inputs[] = {{true, settings.test_file, "the test file"},
                                     {given.count("auth-file") != 0, auth_file, "the auth file"}};
        const named_file outputs[] = {{true, settings.report_file, "The report file"},
                                      {json, settings.json_file, "The JSON report"}};
        for (const named_file& written : outputs) {
            for (const named_file& read : inputs) {
                if (written.given && read.given && same_file(written.path, read.path))
                    throw std::runtime_error(std::string(written.name) + " and " + read.name +
                                             " are the same file");
            }
        }
        return command_line_outcome{std::move(settings), 0};
    } catch (po::error& error) {
        return fail_command_line(option_error_message(error), options, out, err);
    } catch (const std::exception& error) {
        return fail_command_line(error.what(), options, out, err);
    }
}

run_settings parse_command_line(int argc, const char* const argv[]) {
    command_line_outcome outcome = parse_arguments(argc, argv, std::cout, std::cerr);
    if (!outcome.settings) std::exit(outcome.exit_status);
    return std::move(*outcome.settings);
}

}  // namespace bench
