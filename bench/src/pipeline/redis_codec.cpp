#include <bench/pipeline/codec.hpp>

#include <bench/clients/detail/redis_reply.hpp>

#include <charconv>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bench {

namespace {

using reply_kind = detail::redis_reply_reader::kind;
using reply_progress = detail::redis_reply_reader::progress;

// What failed, as the Redis client's own operations say it.
const char* failure_of(request_kind kind) noexcept {
    switch (kind) {
    case request_kind::get: return "could not get entry";
    case request_kind::set: return "could not set entry";
    case request_kind::update: return "could not update entry";
    case request_kind::remove: return "could not delete entry";
    case request_kind::auth: return "redis authentication failed";
    case request_kind::asking: return "could not ask for a migrating slot";
    }
    return "could not run the command";
}

const char* name_of(reply_kind kind) noexcept {
    switch (kind) {
    case reply_kind::status: return "status";
    case reply_kind::error: return "error";
    case reply_kind::integer: return "integer";
    case reply_kind::string: return "bulk string";
    case reply_kind::nil: return "nil";
    case reply_kind::none: break;
    }
    return "empty";
}

// Kept out of line, away from the usual path.
[[noreturn]] void fail(request_kind kind, const std::string& cause) {
    throw std::runtime_error(std::string(failure_of(kind)) + ": " + cause);
}

// A length or count line of RESP: `mark`, the number, CR LF.
void put_line(std::string& out, char mark, std::size_t number) {
    char text[1 + 20 + 2];
    text[0] = mark;
    char* end = std::to_chars(text + 1, text + 21, number).ptr;
    *end++ = '\r';
    *end++ = '\n';
    out.append(text, static_cast<std::size_t>(end - text));
}

void put_word(std::string& out, std::string_view word) {
    put_line(out, '$', word.size());
    out.append(word.data(), word.size());
    out.append("\r\n", 2);
}

// The Redis side of a pipelined connection: commands written as RESP
// arrays of bulk strings, replies read one by one with the client's reply
// reader, which checks them against its bounds as they come.
class redis_codec final : public pipeline_codec {
public:
    explicit redis_codec(bool follow_redirections)
        : reader_(std::make_unique<detail::redis_reply_reader>()),
          follow_(follow_redirections) {}

    void write(request_kind kind, std::string_view key, std::string_view value,
               std::string& out) override {
        switch (kind) {
        case request_kind::get:
            out.append("*2\r\n$3\r\nGET\r\n", 13);
            put_word(out, key);
            break;
        case request_kind::set:
            out.append("*3\r\n$3\r\nSET\r\n", 13);
            put_word(out, key);
            put_word(out, value);
            break;
        case request_kind::update:
            // XX: written only when the key exists, else a nil reply.
            out.append("*4\r\n$3\r\nSET\r\n", 13);
            put_word(out, key);
            put_word(out, value);
            out.append("$2\r\nXX\r\n", 8);
            break;
        case request_kind::remove:
            out.append("*2\r\n$3\r\nDEL\r\n", 13);
            put_word(out, key);
            break;
        case request_kind::auth:
            // The key is the user name, when the login has one.
            if (key.empty()) {
                out.append("*2\r\n$4\r\nAUTH\r\n", 14);
            } else {
                out.append("*3\r\n$4\r\nAUTH\r\n", 14);
                put_word(out, key);
            }
            put_word(out, value);
            break;
        case request_kind::asking:
            out.append("*1\r\n$6\r\nASKING\r\n", 16);
            break;
        }
    }

    void feed(const char* data, std::size_t size) override {
        // The bytes already taken go once the buffer would have to grow, so
        // that it does not grow with the length of the connection.
        if (offset_ > 0 && pending_.size() + size > pending_.capacity()) {
            pending_.erase(0, offset_);
            offset_ = 0;
        }
        pending_.append(data, size);
    }

    bool take(request_kind kind, std::string_view, bool& hit, std::string& value) override {
        // Only a get's bulk string is kept; the caller may name another
        // string on each call while the reply is incomplete.
        std::string* const target = kind == request_kind::get ? &value : nullptr;
        if (begun_) {
            reader_->redirect(target);
        } else {
            reader_->start(target);
            begun_ = true;
        }
        std::size_t used = 0;
        const reply_progress now =
            reader_->feed_reply(pending_.data() + offset_, pending_.size() - offset_, used);
        offset_ += used;
        if (offset_ == pending_.size()) {
            pending_.clear();
            offset_ = 0;
        }
        if (now == reply_progress::incomplete) return false;
        begun_ = false;
        redirected_ = false;
        if (now == reply_progress::failed) fail(kind, reader_->failure());
        hit = answer(kind);
        return true;
    }

    std::string_view redirection() const noexcept override {
        if (!redirected_) return {};
        return reader_->error_text();
    }

    void reset() override {
        redirected_ = false;
        pending_.clear();
        offset_ = 0;
        // A reply begun, or a failure, stays in the reader: a new one starts
        // clean.
        if (begun_ || reader_->state() == reply_progress::failed)
            reader_ = std::make_unique<detail::redis_reply_reader>();
        begun_ = false;
    }

private:
    // Whether the whole reply in the reader is a hit for a request of
    // `kind`; throws when it is an error or of a type the command does not
    // answer with.
    bool answer(request_kind kind) {
        const reply_kind type = reader_->type();
        if (type == reply_kind::error && follow_ && kind != request_kind::auth &&
            kind != request_kind::asking) {
            const std::string& text = reader_->error_text();
            if (text.rfind("MOVED ", 0) == 0 || text.rfind("ASK ", 0) == 0) {
                redirected_ = true;
                return false;
            }
        }
        switch (kind) {
        case request_kind::get:
            if (type == reply_kind::string) return true;
            if (type == reply_kind::nil) return false;
            break;
        case request_kind::set:
        case request_kind::auth:
        case request_kind::asking:
            if (type == reply_kind::status) return true;
            break;
        case request_kind::update:
            if (type == reply_kind::status) return true;
            if (type == reply_kind::nil) return false;
            break;
        case request_kind::remove:
            // The number of keys deleted: 1, or 0 when the key is missing.
            if (type == reply_kind::integer && reader_->integer() >= 0)
                return reader_->integer() != 0;
            break;
        }
        if (type == reply_kind::error) fail(kind, reader_->error_text());
        std::string cause = std::string("unexpected ") + name_of(type) + " reply";
        if (type == reply_kind::integer) cause += " " + std::to_string(reader_->integer());
        fail(kind, cause);
    }

    std::unique_ptr<detail::redis_reply_reader> reader_;
    std::string pending_;     // bytes fed, from offset_ on not yet taken
    std::size_t offset_ = 0;  // where the bytes not yet taken begin
    bool begun_ = false;      // the reader holds part of a reply
    bool follow_;             // MOVED and ASK are replies, not failures
    bool redirected_ = false; // the last reply taken was one of them
};

}  // namespace

std::unique_ptr<pipeline_codec> make_redis_codec(bool follow_redirections) {
    return std::make_unique<redis_codec>(follow_redirections);
}

}  // namespace bench
