#ifndef KVTEST_LOG_RECORDER_HPP
#define KVTEST_LOG_RECORDER_HPP

// What the log tests share: a callback output that keeps every record, a
// fixture that leaves no logger behind, and small waiting helpers.

#include <nox/log/detail/seams.hpp>
#include <nox/log/logger.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <locale>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kvtest::log {

struct record {
    std::string level;
    std::array<std::uint64_t, 7> time;
    std::uint32_t process;
    std::uint32_t thread;
    std::string text;      // read up to the NUL
    std::uint64_t length;  // as passed
};

inline std::mutex records_mutex;
inline std::vector<record> records;

inline void keep_record(const char* level, const std::uint64_t* time, std::uint32_t process,
                        std::uint32_t thread, const char* text, std::uint64_t length) {
    std::lock_guard<std::mutex> lock(records_mutex);
    records.push_back({level, {time[0], time[1], time[2], time[3], time[4], time[5], time[6]}, process,
                       thread, text, length});
}

inline std::vector<record> kept() {
    std::lock_guard<std::mutex> lock(records_mutex);
    return records;
}

inline std::vector<std::string> kept_texts() {
    std::vector<std::string> texts;
    for (const record& r : kept()) texts.push_back(r.text);
    return texts;
}

inline long count_text(const std::string& text) {
    const auto texts = kept_texts();
    return std::count(texts.begin(), texts.end(), text);
}

// Polls `condition` every few milliseconds for at most `limit`.
template <typename Condition>
bool wait_for(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A fresh directory, made when a path in it is first asked for and removed
// with its content at the end of the test.
class scratch_dir {
public:
    scratch_dir() = default;
    ~scratch_dir() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string operator/(const std::string& name) const {
        if (path_.empty()) {
            std::string pattern = (std::filesystem::temp_directory_path() / "kvbench-log-XXXXXX").string();
            if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
            path_ = pattern;
        }
        return path_ + "/" + name;
    }

private:
    mutable std::string path_;
};

// Root writes through file modes and is not held to process limits, so the
// tests of those run as an ordinary user (nobody, when started as root), in a
// death-test child. False when that user cannot be had.
inline bool become_ordinary_user() {
    return ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
}

// A period long enough that the background task never flushes in a test.
constexpr std::chrono::seconds no_background_flush{3600};

class logger_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        // libstdc++ fills std::ctype's narrow cache on first use of each
        // character, which the race detector reports when several threads
        // parse their first format at once; fill it before any thread starts.
        const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
        for (int c = 0; c < 256; ++c) static_cast<void>(ctype.narrow(static_cast<char>(c), '\0'));
        nox::log::stop_logger();
        std::lock_guard<std::mutex> lock(records_mutex);
        records.clear();
    }
    void TearDown() override {
        nox::log::stop_logger();
        nox::log::detail::fail_record_allocations(0);
        nox::log::detail::replace_syslog_api(nox::log::detail::system_syslog_api());
    }

    // Files of the test's outputs. The fixture owns it, so that it goes only
    // after TearDown has stopped the logger: a last flush would otherwise
    // create the files again in a directory already removed.
    scratch_dir dir;
    // Starts a logger whose records reach keep_record, and forgets the
    // messages of the start itself.
    static void start(nox::log::log_level minimum, std::chrono::seconds period = no_background_flush) {
        nox::log::start_logger(minimum, period);
        nox::log::add_callback_output(keep_record);
        nox::log::flush_logger();
        std::lock_guard<std::mutex> lock(records_mutex);
        records.clear();
    }
};

}  // namespace kvtest::log

#endif
