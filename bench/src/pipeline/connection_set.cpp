#include <bench/pipeline/connection_set.hpp>

#include "connection_set_impl.hpp"

#include <bench/clients/redis_client.hpp>
#include <bench/clients/redis_cluster_client.hpp>
#include <bench/interrupt.hpp>
#include <bench/pipeline/codec.hpp>
#include <bench/settings.hpp>

#include <memcache/client.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace pipeline_detail {

protocol_terms terms_of(protocol_type protocol) {
    if (protocol == protocol_type::redis) return {"redis server", redis_client::default_limit};
    return {"memcached server", std::chrono::milliseconds(memcache::client::reply_limit_ms)};
}

std::unique_ptr<pipeline_codec> codec_of(protocol_type protocol, bool cluster) {
    if (protocol == protocol_type::redis) return make_redis_codec(cluster);
    if (protocol == protocol_type::memcached) return make_memcached_codec();
    throw std::logic_error("the protocol cannot pipeline");
}

}  // namespace pipeline_detail

using namespace pipeline_detail;

namespace {

// Whether a write or read failed because the server closed the connection:
// a write then meets EPIPE or a reset, a read the end of the stream or a
// reset, whichever comes first.
bool closed_by_peer(const boost::system::error_code& error) noexcept {
    return error == asio::error::broken_pipe || error == asio::error::connection_reset;
}

}  // namespace

std::size_t connection_set::impl::number_of(const link& l) const noexcept {
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (links[i].get() == &l) return i + 1;
    }
    return 0;
}

void connection_set::impl::fail(const link* l, const std::string& why) {
    if (failure) return;
    std::string message = why;
    if (l != nullptr && servers.size() > 1)
        message += " (connection " + std::to_string(number_of(*l)) + " of " +
                   std::to_string(links.size()) + ", " + terms.server + " " +
                   endpoint_text(server_of(*l).where) + ")";
    else if (l != nullptr && links.size() > 1)
        message += " (connection " + std::to_string(number_of(*l)) + " of " +
                   std::to_string(links.size()) + ")";
    failure = std::make_exception_ptr(std::runtime_error(message));
    io.stop();
}

bool connection_set::impl::idle() const noexcept {
    if (drawing || held || !again.empty()) return false;
    return std::all_of(links.begin(), links.end(),
                       [](const auto& l) { return l->count == 0 && !l->writing; });
}

void connection_set::impl::end_if_idle() {
    if (!idle()) return;
    ticker.cancel();
    waker.cancel();
}

link* connection_set::impl::room_on(server& s) noexcept {
    for (std::size_t i = 0; i < s.count; ++i) {
        const std::size_t at = (s.next + i) % s.count;
        link& l = *links[s.first + at];
        if (l.room()) {
            s.next = (at + 1) % s.count;
            return &l;
        }
    }
    return nullptr;
}

void connection_set::impl::write_step(link& l, slot& s, std::string_view its_key,
                                      std::string_view its_value) {
    for (std::uint8_t at = 0; at < requests_of(s); ++at)
        l.codec->write(request_at(s, at), its_key, its_value, l.out);
    ++l.unsent;
    if (!l.touched) {
        l.touched = true;
        touched.push_back(&l);
    }
}

void connection_set::impl::fill(clock::time_point now) {
    // Steps sent on by a cluster's nodes first, in their order.
    while (!again.empty()) {
        redirected_step& next = again.front();
        link* const to = room_on(servers[next.to]);
        if (to == nullptr) break;
        slot& s = to->push();
        s = slot{};
        s.step = next.step;
        s.start = next.start;
        s.resent = true;
        s.asking = next.ask;
        s.redirections = next.redirections;
        source->key_of(s.step, again_key);
        again_value.clear();
        if (s.step.op != operation::get && s.step.op != operation::remove)
            source->value_of(s.step, again_value);
        write_step(*to, s, again_key, again_value);
        again.pop_front();
    }
    for (;;) {
        if (!held) {
            if (!drawing) break;
            clock::time_point wake{};
            const step_source::draw drawn = source->next(now, step, key, value, wake);
            if (drawn == step_source::draw::done) {
                drawing = false;
                break;
            }
            if (drawn == step_source::draw::later) {
                wake_at(wake);
                break;
            }
            held = true;
        }
        // Routed as it is written: a cluster's map may have changed while
        // it was held.
        link* const to = room_on(servers[route(key)]);
        if (to == nullptr) break;
        held = false;
        slot& s = to->push();
        s = slot{};
        s.step = step;
        s.start = now;
        write_step(*to, s, key, value);
    }
    for (link* const l : touched) {
        l->touched = false;
        start_write(*l);
        start_read(*l);
    }
    touched.clear();
}

void connection_set::impl::wake_at(clock::time_point when) {
    if (waking) return;
    waking = true;
    waker.expires_at(when);
    waker.async_wait([this](const boost::system::error_code& error) {
        waking = false;
        if (error || failure) return;
        fill(clock::now());
        end_if_idle();
    });
}

void connection_set::impl::start_write(link& l) {
    if (l.writing || l.out.empty()) return;
    l.sending.swap(l.out);
    l.out.clear();
    // The steps' time starts as their bytes go out.
    const clock::time_point now = clock::now();
    for (std::size_t i = l.count - l.unsent; i < l.count; ++i) {
        slot& s = l.ring[(l.head + i) % l.ring.size()];
        if (!s.resent) s.start = now;
        s.sent = true;
    }
    l.unsent = 0;
    l.writing = true;
    asio::async_write(l.socket, asio::buffer(l.sending),
                      [this, &l](const boost::system::error_code& error, std::size_t) {
                          l.writing = false;
                          if (failure) return;
                          if (closed_by_peer(error)) {
                              fail(&l, "connection closed by the server");
                              return;
                          }
                          if (error) {
                              fail(&l, "could not send a request: " + error.message());
                              return;
                          }
                          start_write(l);
                          end_if_idle();
                      });
}

void connection_set::impl::start_read(link& l) {
    if (l.reading || l.count == 0) return;
    l.reading = true;
    l.socket.async_read_some(
        asio::buffer(l.input), [this, &l](const boost::system::error_code& error, std::size_t n) {
            l.reading = false;
            if (failure) return;
            if (error == asio::error::eof || closed_by_peer(error)) {
                fail(&l, "connection closed by the server");
                return;
            }
            if (error) {
                fail(&l, "could not read a reply: " + error.message());
                return;
            }
            try {
                on_read(l, n);
            } catch (const std::exception& e) {
                fail(&l, e.what());
            }
        });
}

void connection_set::impl::on_read(link& l, std::size_t bytes) {
    const clock::time_point end = clock::now();
    l.codec->feed(l.input.data(), bytes);
    while (l.count > 0) {
        slot& s = l.front();
        if (!s.sent) break;
        source->key_of(s.step, reply_key);
        const request_kind kind = request_at(s, s.replies);
        bool hit = false;
        if (!l.codec->take(kind, reply_key, hit, l.read)) break;
        if (cluster) {
            const std::string_view redirection = l.codec->redirection();
            if (!redirection.empty()) redirect(l, s, redirection);
        }
        if (kind == request_kind::get) s.first_hit = hit;
        if (++s.replies < requests_of(s)) continue;
        if (s.redirected) {
            again.push_back({s.step, s.start, s.to, s.ask, s.redirections + 1});
            l.pop();
            l.read.clear();
            continue;
        }
        const pipelined_step done = s.step;
        const pipelined_times times{done.due, s.start, end};
        const bool told = s.step.op == operation::read_modify_write ? s.first_hit : hit;
        l.pop();
        source->finish(done, told, l.read, times);
        l.read.clear();
    }
    fill(end);
    start_read(l);
    end_if_idle();
}

void connection_set::impl::on_tick() {
    if (interrupt_requested() && !stopping) {
        stopping = true;
        drawing = false;
    }
    const clock::time_point now = clock::now();
    for (const auto& l : links) {
        if (l->count > 0 && now - l->front().start > terms.limit) {
            fail(l.get(), "no reply within " + std::to_string(terms.limit.count()) + " ms");
            return;
        }
    }
    end_if_idle();
    if (idle()) return;
    ticker.expires_after(tick);
    ticker.async_wait([this](const boost::system::error_code& error) {
        if (!error && !failure) on_tick();
    });
}

void connection_set::impl::run(step_source& steps) {
    for (auto& l : links) {
        if (!l->socket.is_open()) connect(*l);
    }
    source = &steps;
    drawing = true;
    held = false;
    again.clear();
    stopping = false;
    failure = nullptr;
    io.restart();
    try {
        fill(clock::now());
        on_tick();
        io.run();
    } catch (const std::exception& error) {
        fail(nullptr, error.what());
    }
    source = nullptr;
    if (failure) {
        // Replies may be on their way on every connection: none can be
        // trusted to be in step any more.
        for (auto& l : links) {
            boost::system::error_code ignored;
            l->socket.close(ignored);
            l->count = l->head = l->unsent = 0;
            l->out.clear();
            l->touched = false;
        }
        touched.clear();
        held = false;
        again.clear();
        waker.cancel();
        ticker.cancel();
        io.restart();
        io.run();  // the handlers of the cancelled operations, which do nothing
        waking = false;
        std::rethrow_exception(failure);
    }
    if (stopping) throw interrupted_error();
}

connection_set::connection_set(const run_settings& settings)
    : impl_(std::make_unique<impl>(settings)) {}

connection_set::~connection_set() = default;

void connection_set::run(step_source& source) { impl_->run(source); }

std::uint32_t connection_set::size() const noexcept {
    return static_cast<std::uint32_t>(impl_->links.size());
}

std::optional<redirection_counts> connection_set::redirections() const noexcept {
    return impl_->counts;
}

}  // namespace bench
