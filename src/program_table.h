// Program selection (program_table.cpp): the program table, and the lookup of a root in it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "platform.h"
#include "setup_file.h"

namespace pathvane {

// The table and the program run where it names none, as main fixes them when it is built.
struct ProgramTable {
    const char *path;
    const char *fallback;
};

// The program to run, and what named it.
struct Program {
    enum class Choice { entry, default_entry, fallback };
    const char *path; // never null
    CString owned;    // holds `path` when it was allocated
    Choice choice = Choice::fallback;
    std::size_t line = 0; // the table's line that named it; 0 for the fallback
    int no_table = 0;     // why there was no table to read (an errno value); else 0
};

// Writes each run of '/' as one '/' and drops trailing '/', in place. The first form works
// on `length` bytes and returns the new length; the second on a NUL-terminated string.
std::size_t normalize_path(char *path, std::size_t length) noexcept;
void normalize_path(char *path) noexcept;

// The root as the lookup compares it: a new copy of its part after the last ':' (all of it
// where it holds none), normalised. Fatal ("strdup") when it cannot be copied.
CString normalize_root(const char *root);

// One line of the table, as a reader hands it out (newline included, if any), with its number
// from 1.
struct NumberedLine {
    std::size_t number = 0;
    std::span<char> text;
};

// The program table, line by line: the one loop over it, for the lookup and the checker. It
// reads as a SetupFile: a table that is missing or unreadable has no lines, and a failure of
// the machine ends the run with `failure_status`.
class TableReader {
  public:
    explicit TableReader(const char *path, int failure_status = 1) : file_(path, failure_status) {}

    bool next(NumberedLine &line) { return next_for(line, {}); }
    // The next line that may be for the root whose root_piece() is `piece`, or a default entry:
    // lines that hold neither `piece` nor a '*' are passed over unsplit. Every line where
    // `piece` is empty.
    bool next_for(NumberedLine &line, std::string_view piece);
    // Why there was no table to read (an errno value), once next() has found none; else 0.
    int missing() const noexcept { return file_.missing(); }

  private:
    SetupFile file_;
};

// A part of the normalised `root` that every table line for it holds as it is, however its
// pattern spells the slashes: one of its components, with the '/' before it. The last that is
// long enough to be rare, as the last ones tell a repository from its neighbours; the longest
// where none is. Empty for an empty root.
std::string_view root_piece(std::string_view root) noexcept;

// What the lookup of one root makes of one line.
struct TableMatch {
    bool is_default = false; // the line is a default entry: its pattern begins with '*'
    // The line's first "prog" value, where the line is a default entry or for the root.
    std::optional<std::string_view> program;
};

// Reads `line` for the normalised `root`, splitting it only as far as it must: most lines are
// for other roots. Normalises the pattern in place where it gets that far.
TableMatch match_table_line(std::span<char> line, std::string_view root) noexcept;

// One line split into its pattern and its option text, for the checker to report on.
struct TableEntry {
    enum class Kind {
        empty,         // nothing but whitespace and comment
        pattern_only,  // a pattern with no whitespace after it: ignored
        entry,         // an entry for one root
        default_entry, // the normalised pattern begins with '*'
    };
    Kind kind = Kind::empty;
    std::string_view pattern; // normalised, except on a pattern_only line, which nothing compares
    std::string_view options; // the option text, after the whitespace byte that ends the pattern
    bool cut_at_nul = false;  // a NUL byte ended the line's text early
};

// Splits `line` whole, without reading its options. Normalises the pattern in place.
TableEntry split_table_line(std::span<char> line) noexcept;

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

// The program for `root`: the first line for it that names one, else the table's last default
// entry that names one, else the fallback. A missing or unreadable table is no error; a failure
// of the machine while it is read (descriptors or memory running out, an I/O error) is fatal.
Program lookup_program(const ProgramTable &table, const char *root);

} // namespace pathvane
