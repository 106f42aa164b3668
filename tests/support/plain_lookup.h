// The lookup done the plain way, for the tests and the fuzzers to hold the real one against:
// every line of the table read and split, none passed over.
#pragma once

#include <cstddef>
#include <string>

#include "program_table.h"

namespace test {

struct PlainAnswer {
    std::string program;
    std::size_t line = 0; // 0 for the fallback
};

inline PlainAnswer lookup_reading_every_line(const char *table, const char *fallback,
                                             const char *root) {
    pathvane::CString wanted = pathvane::normalize_root(root);
    PlainAnswer answer{fallback};
    pathvane::TableReader reader(table);
    for (pathvane::NumberedLine line; reader.next(line);) {
        pathvane::TableMatch match = pathvane::match_table_line(line.text, wanted.get());
        if (!match.program)
            continue;
        answer = {std::string(*match.program), line.number};
        if (!match.is_default)
            break;
    }
    return answer;
}

} // namespace test
