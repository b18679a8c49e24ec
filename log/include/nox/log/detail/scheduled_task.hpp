#ifndef NOX_LOG_DETAIL_SCHEDULED_TASK_HPP
#define NOX_LOG_DETAIL_SCHEDULED_TASK_HPP

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace nox::log::detail {

// A service whose thread calls a piece of work once per period until it is
// stopped. It reports its start and stop through the logger.
class scheduled_task {
public:
    // `service` names the task in its messages ("<service> scheduled task").
    // A period below one second runs the work without pausing.
    scheduled_task(const std::string& service, std::chrono::seconds period, std::function<void()> work);
    ~scheduled_task();
    scheduled_task(const scheduled_task&) = delete;
    scheduled_task& operator=(const scheduled_task&) = delete;

    // Starts the thread. Returns EINPROGRESS when already running, or the
    // reason the thread could not be started (the task stays stopped).
    std::error_code run() noexcept;
    // Stops and joins the thread; must not be called from the task's own work.
    void stop() noexcept;

    bool running() const;
    const std::string& name() const noexcept { return name_; }

private:
    std::error_code start_thread();
    void stop_thread();
    void loop() noexcept;

    mutable std::mutex mutex_;  // guards start and stop
    const std::string name_;
    bool running_ = false;
    const std::chrono::seconds period_;
    bool keep_going_ = false;  // the loop flag, guarded by loop_mutex_
    std::mutex loop_mutex_;
    std::condition_variable wake_;
    std::unique_ptr<std::thread> thread_;  // absent while stopped
    const std::function<void()> work_;
};

}  // namespace nox::log::detail

#endif
