#include <bench/cluster/relay.hpp>

#include <bench/cluster/wire.hpp>
#include <bench/interrupt.hpp>

#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

namespace bench {

namespace {

// What a rank sends to rank 0 during the pass, told apart by a first byte.
enum class message_kind : std::uint8_t {
    result = 1,  // a result_record
    error = 2,   // an error message that names its rank
    done = 3,    // the rank's last message: the signal that stopped it, or 0
    stop = 4,    // the signal the rank received, as soon as it came
};

}  // namespace

rank_relay::rank_relay(cluster& ranks, reporter* results, error_log& errors,
                       pass_barrier& barrier, std::size_t meetings,
                       std::chrono::steady_clock::time_point& origin, std::ostream& err)
    : ranks_(ranks), results_(results), errors_(errors), barrier_(barrier), meetings_(meetings),
      origin_(origin), err_(err) {}

void rank_relay::take(result_record& record) {
    record.rank = ranks_.rank();
    if (results_) {
        results_->take(record);
        return;
    }
    wire::writer message;
    message.u8(static_cast<std::uint8_t>(message_kind::result));
    wire::put(message, record);
    ranks_.send(message.take());
}

bool rank_relay::turn(bool rank_done) {
    bool busy = hold_meetings();
    if (ranks_.rank() == 0) {
        busy = receive() || busy;
        return pass_stop_on() || busy;
    }
    busy = pass_stop_on() || busy;
    busy = pass_errors_on() || busy;
    if (rank_done && !done_sent_ && held_ == meetings_) {
        // Errors that came up meanwhile go first: nothing follows this.
        pass_errors_on();
        wire::writer message;
        message.u8(static_cast<std::uint8_t>(message_kind::done));
        message.u32(static_cast<std::uint32_t>(interrupt_signal()));
        ranks_.send(message.take());
        done_sent_ = true;
        busy = true;
    }
    return busy;
}

bool rank_relay::finished() {
    if (held_ < meetings_) return false;
    if (ranks_.rank() == 0) return ranks_done_ + 1 == ranks_.size();
    return done_sent_ && ranks_.all_sent();
}

bool rank_relay::hold_meetings() {
    if (held_ == meetings_) return false;
    bool busy = false;
    if (!meeting_begun_ && barrier_.round_complete()) {
        ranks_.begin_meeting();
        meeting_begun_ = true;
        busy = true;
    }
    if (meeting_begun_ && ranks_.meeting_held()) {
        if (held_ == 0) origin_ = std::chrono::steady_clock::now();
        barrier_.open();
        meeting_begun_ = false;
        ++held_;
        busy = true;
    }
    return busy;
}

bool rank_relay::receive() {
    auto arrived = ranks_.receive();
    if (!arrived) return false;
    const std::string& bytes = arrived->second;
    wire::reader in(bytes);
    switch (static_cast<message_kind>(in.u8())) {
    case message_kind::result: {
        const result_record record = wire::get_record(in);
        in.finish();
        // What the rank's runner would have printed on a console of its own.
        if (!record.success) err_ << ("\ntest failed: " + record.failure + "\n") << std::flush;
        results_->take(record);
        break;
    }
    case message_kind::error: {
        std::string message = in.text();
        in.finish();
        errors_.record(message);
        break;
    }
    case message_kind::stop: {
        const auto signal = static_cast<int>(in.u32());
        in.finish();
        request_interrupt(signal);
        break;
    }
    case message_kind::done: {
        const auto signal = static_cast<int>(in.u32());
        in.finish();
        if (remote_signal_ == 0) remote_signal_ = signal;
        ++ranks_done_;
        break;
    }
    default:
        throw std::runtime_error("malformed message from rank " + std::to_string(arrived->first));
    }
    return true;
}

bool rank_relay::pass_stop_on() {
    if (stop_passed_) return false;
    if (ranks_.rank() == 0) {
        // This rank's own signal, or one that another rank passed on.
        if (interrupt_signal() == 0) return false;
        ranks_.notify_stop(interrupt_signal());
    } else if (const int signal = ranks_.stop_notice(); signal != 0) {
        request_interrupt(signal);
    } else if (interrupt_signal() != 0) {
        wire::writer message;
        message.u8(static_cast<std::uint8_t>(message_kind::stop));
        message.u32(static_cast<std::uint32_t>(interrupt_signal()));
        ranks_.send(message.take());
    } else {
        return false;
    }
    stop_passed_ = true;
    return true;
}

bool rank_relay::pass_errors_on() {
    const std::vector<std::string> fresh = errors_.messages_since(errors_sent_);
    for (const std::string& error : fresh) {
        wire::writer message;
        message.u8(static_cast<std::uint8_t>(message_kind::error));
        message.text(error);
        ranks_.send(message.take());
    }
    errors_sent_ += fresh.size();
    return !fresh.empty();
}

}  // namespace bench
