#include <support/process.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kvtest {

std::string kvbench_path() { return KVBENCH_EXECUTABLE; }

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, std::chrono::milliseconds limit) {
    return run_process(program, args, cwd, limit, {});
}

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, std::chrono::milliseconds limit,
                           std::vector<signal_on> signals) {
    int out_pipe[2], err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);

    process_result result;
    auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    std::size_t next_signal = 0;
    while (open_pipes > 0) {
        if (next_signal < signals.size() && signals[next_signal].when(result)) {
            ::kill(pid, signals[next_signal].signal);
            ++next_signal;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        int r = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (r < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.exit_status = 128 + result.signal;
    }
    return result;
}

namespace {

void remove_tree(const std::string& path) {
    // Directories a test made read-only must become writable again to be removed.
    std::string command = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) {
        // Nothing sensible to do here; a stray directory in /tmp is harmless.
    }
}

// The directories this process made and has not removed yet. A death test's
// child ends with exit() inside the test, so its fixture's directories are
// never destroyed: they are removed when the process exits instead. Only
// the process that made a directory removes it, since a forked child shares
// its parent's objects.
struct live_directories {
    std::mutex mutex;
    std::vector<std::pair<pid_t, std::string>> paths;

    static live_directories& get() {
        static live_directories* const instance = [] {
            auto* made = new live_directories;  // outlives every static destructor
            std::atexit([] {
                auto& live = get();
                std::lock_guard<std::mutex> lock(live.mutex);
                for (const auto& [pid, path] : live.paths)
                    if (pid == ::getpid()) remove_tree(path);
                live.paths.clear();
            });
            return made;
        }();
        return *instance;
    }
};

}  // namespace

temp_dir::temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kvbench-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = buffer.data();
    auto& live = live_directories::get();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.paths.emplace_back(::getpid(), path_);
}

temp_dir::~temp_dir() {
    remove_tree(path_);
    auto& live = live_directories::get();
    std::lock_guard<std::mutex> lock(live.mutex);
    for (auto it = live.paths.begin(); it != live.paths.end(); ++it) {
        if (it->second == path_) {
            live.paths.erase(it);
            break;
        }
    }
}

std::string temp_dir::write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
}

std::string temp_dir::read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace kvtest
