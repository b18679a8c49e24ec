// A mix test's load and steps over a thread's connections, many steps in
// flight: the same choices, values and checks as one step at a time, drawn
// by the connections' event loop as they have room.

#include "mix_thread.hpp"

#include <bench/workload/mix_key.hpp>
#include <bench/workload/mix_value.hpp>
#include <bench/workload/random.hpp>

#include <stdexcept>

namespace bench::detail {

// The keys of this thread's share of the key space, each written once.
class mix_thread::load_steps final : public bench::step_source {
public:
    explicit load_steps(mix_thread& thread)
        : thread_(thread),
          test_(thread.test_),
          next_(share_start(test_.keys, thread.place_.thread, thread.place_.threads)),
          end_(share_start(test_.keys, thread.place_.thread + 1, thread.place_.threads)),
          // The sizes of a load one call at a time, so that its values
          // are the same.
          sizes_(test_.seed.value_or(0), (std::uint64_t{1} << 32) + thread.place_.thread)
    {
    }

    draw next(time_point now, pipelined_step& step, std::string& key, std::string& value,
              time_point&) override
    {
        // A stop request is the connections' to see: they stop drawing and
        // end with interrupted_error once the steps in flight are done.
        if (next_ == end_) return draw::done;
        const std::uint64_t span = test_.size_max - test_.size_min;
        const std::uint64_t length = test_.size_min + (span == 0 ? 0 : sizes_.below(span + 1));
        step = pipelined_step{operation::put, next_, length, false, now};
        format_key(test_.key_prefix, next_, key);
        make_value(next_, thread_.next_version(), to_size(length), value);
        ++next_;
        return draw::ready;
    }

    void key_of(const pipelined_step& step, std::string& key) override
    {
        format_key(test_.key_prefix, step.number, key);
    }

    void value_of(const pipelined_step& step, std::string& value) override
    {
        make_value(step.number, thread_.next_version(), to_size(step.written), value);
    }

    void finish(const pipelined_step&, bool, const std::string&, const pipelined_times&) override
    {
    }

private:
    mix_thread& thread_;
    const mix& test_;
    std::uint64_t next_;
    std::uint64_t end_;
    random_engine sizes_;
};

// The warm-up, then the counted steps: drawn as the connections have room
// (in open loop, as they come due), recorded and checked as their replies
// come.
class mix_thread::mix_steps final : public bench::step_source {
public:
    mix_steps(mix_thread& thread, boost::timer::progress_display* progress,
                test_result& result, step_schedule* schedule, time_point start)
        : thread_(thread),
          test_(thread.test_),
          result_(result),
          schedule_(schedule),
          progress_(test_.duration > 0 ? nullptr : progress),
          ticks_(progress, test_, start),
          warm_until_(start + seconds(test_.warmup)),
          warming_(test_.warmup > 0),
          until_(start + seconds(test_.duration))
    {
    }

    draw next(time_point now, pipelined_step& step, std::string& key, std::string& value,
              time_point& wake) override
    {
        if (warming_ && now >= warm_until_) {
            warming_ = false;
            until_ = now + seconds(test_.duration);
        }
        if (!warming_) {
            if (test_.duration > 0 ? now >= until_ : issued_ >= test_.count) return draw::done;
        }
        time_point due = now;
        if (schedule_ != nullptr && !scheduled_) {
            // The first step starts the schedule, whose next due time is
            // until then the moment it is asked: always a little later than
            // `now`.
            due = schedule_->wait_for_next_step();
            scheduled_ = true;
        } else if (schedule_ != nullptr) {
            const time_point next_due = schedule_->next_due();
            if (!warming_ && test_.duration > 0 && next_due >= until_) return draw::done;
            if (next_due > now) {
                wake = warming_ ? std::min(next_due, warm_until_) : next_due;
                return draw::later;
            }
            // Already due: the schedule hands it over without waiting.
            due = schedule_->wait_for_next_step();
        }
        key_chooser& chooser = thread_.chooser_;
        step.op = chooser.next_operation();
        step.number = chooser.next_key(step.op);
        step.written = 0;
        step.counted = !warming_;
        step.due = due;
        format_key(test_.key_prefix, step.number, key);
        if (writes(step.op)) {
            step.written = chooser.next_size();
            make_value(step.number, thread_.next_version(), to_size(step.written), value);
        }
        if (step.counted) ++issued_;
        return draw::ready;
    }

    void key_of(const pipelined_step& step, std::string& key) override
    {
        format_key(test_.key_prefix, step.number, key);
    }

    void value_of(const pipelined_step& step, std::string& value) override
    {
        make_value(step.number, thread_.next_version(), to_size(step.written), value);
    }

    void finish(const pipelined_step& step, bool hit, const std::string& read,
                const pipelined_times& times) override
    {
        const bool was_read = hit && reads(step.op);
        if (step.counted) {
            const std::uint64_t bytes = (was_read ? read.size() : 0) +
                                        (step.op == operation::update && !hit ? 0 : step.written);
            record(step.op, hit, bytes, step_times{times.due, times.start, times.end}, result_,
                   schedule_);
            if (progress_ != nullptr) ++*progress_;
            ticks_.advance(times.end);
        }
        if (was_read && !value_matches(step.number, read, test_.size_min, test_.size_max)) {
            throw std::runtime_error("content does not match");
        }
    }

    void end() { ticks_.finish(); }

private:
    mix_thread& thread_;
    const mix& test_;
    test_result& result_;
    step_schedule* schedule_;
    boost::timer::progress_display* progress_;  // a count's ticks, one a step
    time_ticks ticks_;                          // a duration's
    time_point warm_until_;
    bool warming_;
    time_point until_;
    std::uint64_t issued_ = 0;  // counted steps drawn
    bool scheduled_ = false;    // the schedule has given its first step
};

void mix_thread::load(connection_set& connections)
{
    load_steps source(*this);
    connections.run(source);
}

void mix_thread::run(connection_set& connections, boost::timer::progress_display* progress,
                     test_result& result, step_schedule* schedule)
{
    mix_steps source(*this, progress, result, schedule, clock::now());
    connections.run(source);
    source.end();
}

}  // namespace bench::detail
