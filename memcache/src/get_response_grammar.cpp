// The grammar of a get reply. Spirit is slow to compile, so it lives in this
// one translation unit and is reached through parse_get_response.

#include <memcache/detail/reply.hpp>

#include <boost/fusion/include/adapt_struct.hpp>
#include <boost/phoenix/core.hpp>
#include <boost/phoenix/operator.hpp>
#include <boost/spirit/include/qi.hpp>

#include <cstddef>

BOOST_FUSION_ADAPT_STRUCT(memcache::detail::value_block, key, flags, bytes, cas, data)

namespace memcache {
namespace detail {

namespace qi = boost::spirit::qi;

namespace {

// Takes exactly *count bytes of any value, CR, LF and NUL included, in one
// piece rather than byte by byte.
class counted_bytes_parser : public qi::primitive_parser<counted_bytes_parser> {
public:
    template <typename Context, typename Iterator>
    struct attribute {
        typedef std::string type;
    };

    explicit counted_bytes_parser(const std::uint64_t& count) noexcept : count_(&count) {}

    template <typename Iterator, typename Context, typename Skipper, typename Attribute>
    bool parse(Iterator& first, const Iterator& last, Context&, const Skipper& skipper,
               Attribute& destination) const {
        qi::skip_over(first, last, skipper);
        if (static_cast<std::uint64_t>(last - first) < *count_) return false;
        const Iterator end = first + static_cast<std::ptrdiff_t>(*count_);
        boost::spirit::traits::assign_to(first, end, destination);
        first = end;
        return true;
    }

    template <typename Context>
    boost::spirit::info what(Context&) const {
        return boost::spirit::info("counted-bytes");
    }

private:
    const std::uint64_t* count_;  // the declared length of the block being parsed
};

}  // namespace

// VALUE blocks followed by END, parsed without a skipper: nothing may stand
// between the parts.
class get_response_grammar : public qi::grammar<const char*, std::list<value_block>()> {
public:
    get_response_grammar() : get_response_grammar::base_type(reply) {
        using boost::phoenix::ref;
        using qi::_1;
        using qi::_val;
        const qi::uint_parser<std::uint32_t, 10, 1, -1> uint32;
        const qi::uint_parser<std::uint64_t, 10, 1, -1> uint64;

        reply = *block >> "END\r\n";
        block = qi::lit("VALUE ") >> key >> ' ' >> flags >> ' ' >> bytes >> cas >> "\r\n" >> data >>
                "\r\n";
        // Every byte a key may hold on the wire: no whitespace, no control byte.
        key = +(qi::char_('\x21', '\x7e') | qi::char_('\x80', '\xff'));
        flags = uint32;
        bytes = uint32[_val = _1, ref(count) = _1];
        cas = (' ' >> uint64) | qi::attr(std::uint64_t(0));
        data = counted_bytes_parser(count);
    }

private:
    qi::rule<const char*, std::list<value_block>()> reply;
    qi::rule<const char*, value_block()> block;
    qi::rule<const char*, std::string()> key;
    qi::rule<const char*, std::uint32_t()> flags;
    qi::rule<const char*, std::uint64_t()> bytes;
    qi::rule<const char*, std::uint64_t()> cas;
    qi::rule<const char*, std::string()> data;
    std::uint64_t count = 0;  // declared length of the block being parsed
};

bool parse_get_response(const std::string& text, std::list<value_block>& blocks) {
    // Building the rules allocates; each thread builds its grammar once. A
    // parse never re-enters itself, so the block counter is not shared.
    thread_local get_response_grammar grammar;
    blocks.clear();
    const char* first = text.data();
    return qi::parse(first, text.data() + text.size(), grammar, blocks);
}

}  // namespace detail
}  // namespace memcache
