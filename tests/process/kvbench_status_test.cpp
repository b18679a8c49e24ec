// The status line of a multi-thread run: drawn on standard error when that
// is a terminal, never when it is a pipe, and the standard output the same
// either way.

#include <support/process.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct terminal_run {
    int exit_status = -1;
    std::string out;  // standard output, through a pipe
    std::string err;  // standard error, through a pseudo-terminal
};

// Runs kvbench in `cwd` with its standard error on a pseudo-terminal (in raw
// mode, so that the bytes arrive as written) and its standard output on a
// pipe, for at most a minute.
terminal_run run_on_terminal(const std::vector<std::string>& args, const std::string& cwd) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) ADD_FAILURE() << "openpty";
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    int out_pipe[2];
    if (::pipe(out_pipe) != 0) ADD_FAILURE() << "pipe";
    const std::string program = kvtest::kvbench_path();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        if (::chdir(cwd.c_str()) != 0 || ::dup2(null, 0) < 0 || ::dup2(out_pipe[1], 1) < 0 ||
            ::dup2(slave, 2) < 0)
            ::_exit(127);
        ::close(master);
        ::close(out_pipe[0]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(slave);
    ::close(out_pipe[1]);
    terminal_run run;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 100) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            // A pseudo-terminal whose other side is closed reads EIO.
            if (got <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    if (open > 0) ::kill(child, SIGKILL);
    for (const pollfd& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The text with every run of digits as one '#': what stays the same between
// two runs of one suite.
std::string shape_of(const std::string& text) {
    std::string shape;
    for (const char c : text) {
        const bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!digit || shape.empty() || shape.back() != '#') shape += digit ? '#' : c;
    }
    // A bandwidth near a unit's edge is shown in either unit.
    for (const char* unit : {" KiB/s", " MiB/s", " GiB/s"})
        for (std::size_t at = shape.find(unit); at != std::string::npos; at = shape.find(unit, at))
            shape.replace(at, std::strlen(unit), " B/s");
    return shape;
}

TEST(kvbench_status, a_terminal_gets_the_status_line_a_pipe_nothing_and_stdout_stays) {
    kvtest::temp_dir dir;
    // 2.5 s at 400 steps a second.
    dir.write("suite.cfg", R"(tests
{
    multiple_put { size 16 count 1000 }
}
)");
    const std::vector<std::string> args{"--protocol", "local", "--threads", "2",
                                        "--rate",     "400",   "-f",        "suite.cfg"};
    const terminal_run on_terminal = run_on_terminal(args, dir.path());
    EXPECT_EQ(on_terminal.exit_status, 0) << on_terminal.err;
    // Redrawn in place each second, with the test, its rate and its p99,
    // and taken off at the end.
    EXPECT_GE(kvtest::count_of(on_terminal.err, "\r0:0"), 2u) << on_terminal.err;
    const std::regex line("\r0:0[0-9] \\| test 1 multiple_put \\| [1-9][0-9]* steps/s \\| "
                          "p99 [0-9.]+ [mun]?s \\| 0 failed\x1b\\[K");
    EXPECT_TRUE(std::regex_search(on_terminal.err, line)) << on_terminal.err;
    const std::string cleared = "\r\x1b[K";
    ASSERT_GE(on_terminal.err.size(), cleared.size());
    EXPECT_EQ(on_terminal.err.substr(on_terminal.err.size() - cleared.size()), cleared);

    const kvtest::process_result on_pipe = kvtest::run_process(kvtest::kvbench_path(), args,
                                                               dir.path(), 60s);
    EXPECT_EQ(on_pipe.exit_status, 0);
    EXPECT_EQ(on_pipe.err, "");
    EXPECT_EQ(shape_of(on_terminal.out), shape_of(on_pipe.out));
    EXPECT_EQ(kvtest::count_of(on_pipe.out, " done on thread #"), 2u) << on_pipe.out;
}

}  // namespace
