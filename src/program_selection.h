// Program selection: the program table and the lookup of a root in it.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform.h"

namespace pathvane {

// The table and the fallback program that this binary was built with.
extern const char table_path[];
extern const char fallback_program[];

// The program to run: `path` is never null; `owned` holds it when it was allocated.
struct Program {
    const char *path;
    CString owned;
};

// Writes each run of '/' as one '/' and drops trailing '/', in place. The first form works
// on `length` bytes and returns the new length; the second on a NUL-terminated string.
std::size_t normalize_path(char *path, std::size_t length) noexcept;
void normalize_path(char *path) noexcept;

// The root as the lookup compares it: a new copy of its part after the last ':' (all of it
// where it holds none), normalised. Fatal ("strdup") when it cannot be copied.
CString normalize_root(const char *root);

// What the lookup makes of one line of the table.
struct TableLine {
    enum class Kind {
        empty,         // nothing but whitespace and comment
        pattern_only,  // a pattern with no whitespace after it: ignored
        pattern,       // an entry for one root (split_table_line only)
        other_root,    // a line that cannot apply to this root: only its kind is set
        default_entry, // the normalised pattern begins with '*'
        applies,       // the normalised pattern equals the normalised root
    };
    Kind kind = Kind::empty;
    std::string_view pattern; // normalised, except on pattern_only lines
    std::string_view options; // the option text, after the whitespace byte that ends the pattern
    bool cut_at_nul = false;  // a NUL byte ended the line's text early
    bool has_prog = false;    // the line's first "prog" pair, read on default_entry and
    std::string_view prog;    // applies lines only
};

// Splits one line, as fgetln hands it out (newline included, if any), into its pattern and
// option text, without reading the options. Normalises the pattern in place.
TableLine split_table_line(std::span<char> line) noexcept;

// split_table_line, then the line's kind for the normalised `root`, and its first "prog" pair
// when it is a default entry or applies.
TableLine read_table_line(std::span<char> line, std::string_view root) noexcept;

// How the reading of an option text ended.
struct Options {
    enum class End {
        line,           // the text ran out without a "prog" pair
        prog,           // at the first "prog" pair: `prog` is its value, `rest` the next pairs
        missing_equals, // a key not followed by '=': `key`, and `rest` from the key on
        missing_value,  // "key=" at the end of the line
    };
    End end = End::line;
    std::string_view prog;
    std::string_view key;
    std::string_view rest;
};

Options read_options(std::string_view text) noexcept;

// Told of every line that a lookup reads, with its number from 1.
class TableObserver {
  public:
    virtual void on_line(std::size_t number, const TableLine &line) = 0;

  protected:
    ~TableObserver() = default;
};

// The program for `root` according to `table`, else the table's default entry, else
// `fallback`. A missing or unreadable table is no error; a failure of the machine while it is
// read (descriptors or memory running out, an I/O error) is fatal.
Program lookup_program_in(const char *table, const char *fallback, const char *root,
                          TableObserver *observer = nullptr);

// lookup_program_in over the built-in table and fallback program.
Program lookup_program(const char *root);

} // namespace pathvane
