#ifndef BENCH_SRC_INFO_READER_HPP
#define BENCH_SRC_INFO_READER_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

namespace bench::detail {

// A node of an INFO tree as the reader's user keeps it: a tag and an index,
// both of the user's choosing. A node tagged `forgotten` is read for its
// syntax only, and so is every node under it.
struct info_node {
    static constexpr std::uint8_t forgotten = 0;

    std::uint8_t tag = forgotten;
    std::size_t index = 0;
};

// What the reader hands on of what it reads.
class info_handler {
public:
    // The node of `key`, a child of `parent`, whose line is `line` of the
    // file numbered `file` (info_reader::file_names).
    virtual info_node add_child(info_node parent, const std::string& key, std::uint32_t file,
                                unsigned long line) = 0;
    // The value of a node that is not forgotten, once it is whole (a value
    // may go on over further lines).
    virtual void set_value(info_node of, const std::string& text) = 0;

protected:
    virtual ~info_handler() = default;
};

// Reads a file in the INFO format, files it includes and all, with the INFO
// reader's own grammar (the property-tree library's functions read the keys,
// values and strings of a line) and its messages, line numbers included:
// every error is a boost::property_tree::info_parser_error. Where the
// library's reader builds the whole tree, this one hands each node to a
// handler, which keeps what it needs, and it opens each include itself:
// only regular files, at most 16 MiB in all, and a file that is already being
// read is refused where it is included again.
class info_reader {
public:
    explicit info_reader(info_handler& handler) : handler_(handler) {}

    // Reads the file at `path`; its top-level keys are children of `root`.
    void read(const std::string& path, info_node root);

    // The paths of the files read, by number, as they were named.
    const std::vector<std::string>& file_names() const noexcept { return file_names_; }

private:
    // Which file a path names, so that a file that includes itself is known.
    struct file_identity {
        dev_t device;
        ino_t inode;
        bool operator==(const file_identity& other) const {
            return device == other.device && inode == other.inode;
        }
    };

    std::string read_text(const std::string& path, const std::string* including,
                          unsigned long line);
    void read_file(const std::string& path, info_node parent, int depth,
                   const std::string* including, unsigned long including_line);
    void read_lines(const std::string& text, const std::string& path, std::uint32_t file,
                    info_node parent, int depth);
    std::uint32_t file_index(const std::string& path);

    info_handler& handler_;
    std::size_t bytes_read_ = 0;
    std::vector<file_identity> reading_;  // the file being read and those that include it
    std::vector<std::string> file_names_;
    std::unordered_map<std::string, std::uint32_t> file_indexes_;
};

}  // namespace bench::detail

#endif
