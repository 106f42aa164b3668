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

// What the lookup makes of one line of the table.
struct TableLine {
    enum class Kind {
        empty,         // nothing but whitespace and comment
        pattern_only,  // a pattern with no whitespace after it: ignored
        other_root,    // neither a default entry nor equal to the root: options unread
        default_entry, // the normalised pattern begins with '*'
        applies,       // the normalised pattern equals the normalised root
    };
    Kind kind = Kind::empty;
    std::string_view pattern; // normalised, except on pattern_only lines
    bool has_prog = false;    // the line's first "prog" pair, if it has one
    std::string_view prog;
};

// Reads one line as fgetln hands it out (newline included, if any). Normalises the pattern
// in place, so the line's bytes change. `root` is the normalised root.
TableLine read_table_line(std::span<char> line, std::string_view root) noexcept;

// The program for `root` according to `table`, else the table's default entry, else
// `fallback`. Fatal on allocation failure only; a missing or unreadable table is no error.
Program lookup_program_in(const char *table, const char *fallback, const char *root);

// lookup_program_in over the built-in table and fallback program.
Program lookup_program(const char *root);

} // namespace pathvane
