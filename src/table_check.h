// pathvane-check's checker (table_check.cpp, run by check_main.cpp): what pathvane does with
// each line of the program table, and which program it would run for a root or a command line.
// Built on the reader and the lookup that pathvane runs.
#pragma once

#include <cstdio>

#include "program_table.h"

namespace pathvane {

// Reports on `out` ("table:line: message") every line of the table that pathvane passes over,
// reads only in part, or that can never take effect, a program that pathvane cannot run (the
// fallback included, or `pathvane`, the installed pathvane, itself), and a table that others
// could change or cannot read. Notes ("note: ...") tell of what may be meant: a pattern with no
// repository there, a table that names no program. Returns 0 when nothing but notes was
// printed, 1 when something was reported, 2 when the table cannot be read (said on stderr).
int check_table(const ProgramTable &table, const char *pathvane, std::FILE *out);

// Prints on `out` one line per route that can take effect, in the order they apply: pattern,
// program and table line, tab-separated, and last what serves every other root. Returns 0, or
// 2 when the table cannot be read (said on stderr).
int list_routes(const ProgramTable &table, std::FILE *out);

// Prints on `out` the program that pathvane would run for `root`, and why, after `from`. The
// line is printed whole once the table has been read.
void explain_root(const ProgramTable &table, const char *root, std::FILE *out,
                  const char *from = "");

// Compares the table `now` with the one at `before`, for every root that either names by its
// pattern (a line without a "prog" option included), every root that the route records in the
// log at `records` name ("-": standard input; null: no log), and, as "*", every other root.
// Prints on `out` each whose program differs: root, then program and why (the routing record's
// words) under `before`, then under `now`, tab-separated; with `records`, the sessions and
// commands that the records count for it, and a summary line last. Then checks `now` as
// check_table does, its reports on `report`. Returns 0 where nothing moves and the check
// reports nothing, 1 where something moves or the check reports, 2 where a table or the log
// cannot be read (said on stderr).
int compare_tables(const ProgramTable &now, const char *before, const char *records,
                   const char *pathvane, std::FILE *out, std::FILE *report);

// Prints on `out` where pathvane would find the root of the command `argv` (run in the current
// directory and environment), and the program it would run.
void explain_command(const ProgramTable &table, int argc, char *argv[], std::FILE *out);

} // namespace pathvane
