// What pathvane-check's parts print alike (table_check.cpp): text of the table or of a root as
// a report shows it, and the one message for a table that is not there.
#pragma once

#include <string>
#include <string_view>

#include "program_table.h"

namespace pathvane {

// `text` as a report shows it between single quotes: a byte that could end the quotes or reach
// the terminal as a control is escaped.
std::string shown(std::string_view text);

// Says on stderr why the table that `reader` has read had no lines, and returns true, where it
// was not there to read.
bool said_missing(const TableReader &reader, const char *table);

} // namespace pathvane
