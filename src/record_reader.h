// Reading routing records back (record_reader.cpp): the route records that pathvane sent to the
// system log, as a log prints them, for pathvane-check's comparison of two tables.
#pragma once

#include <string>
#include <string_view>

namespace pathvane {

// What one line of a log says of a routing: a route record with a root, from a session of a
// client (server or pserver mode) or from a local command; or anything else.
struct RouteLine {
    enum class Kind { other, session, command };
    Kind kind = Kind::other;
    std::string root; // as the record gives it, its escapes undone
    bool cut = false; // the record cut the root short, so `root` lacks its end
};

// Reads `line` (without its newline) as a route record: one that begins with "route ", as
// `journalctl -o cat` prints it, or has that right after "pathvane[PID]: ", as a log file
// does. Every other line, one whose fields are not as pathvane writes them included, is of
// kind other. `into` is reused, so that a long log costs no allocation per line.
void read_route_line(std::string_view line, RouteLine &into);

} // namespace pathvane
