// pathvane-check --against: which roots a new table sends to another program than the table in
// use, and how many of the sessions and commands that the routing records tell of.
#include "table_check.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "check_text.h"
#include "record_reader.h"

namespace pathvane {

namespace {

// What the records tell of one root.
struct Carried {
    std::uint64_t sessions = 0;
    std::uint64_t commands = 0;
};

// The roots to compare, each once, in the order first named: normalised, as the lookup compares
// them, so that the ways of writing one root make one row.
class Roots {
  public:
    // The row of `root`, added where there is none.
    std::size_t add(const std::string &root) {
        auto [found, added] = index_.try_emplace(root, rows_.size());
        if (added)
            rows_.emplace_back(root, Carried{});
        return found->second;
    }
    Carried &carried(std::size_t row) { return rows_[row].second; }
    const std::vector<std::pair<std::string, Carried>> &rows() const { return rows_; }

  private:
    std::vector<std::pair<std::string, Carried>> rows_;
    std::unordered_map<std::string, std::size_t> index_;
};

// Adds the root that each line of the table at `path` names by its pattern, with a "prog"
// option or without. A pattern that holds ':' never applies, and a default entry is for every
// other root. False where the table cannot be read (said on stderr).
bool add_patterns(const char *path, Roots &roots) {
    TableReader reader(path, 2);
    for (NumberedLine line; reader.next(line);) {
        TableEntry entry = split_table_line(line.text);
        if (entry.kind != TableEntry::Kind::entry && entry.kind != TableEntry::Kind::pattern_only)
            continue;
        std::string pattern(entry.pattern);
        pattern.resize(normalize_path(pattern.data(), pattern.size())); // pattern_only's is not
        if (!pattern.starts_with('*') && pattern.find(':') == std::string::npos)
            roots.add(pattern);
    }
    return !said_missing(reader, path);
}

// What the records of a log say, counted.
struct Tally {
    Carried all;
    std::uint64_t cut = 0; // records whose root was cut short, not compared
};

void count(RouteLine::Kind kind, Carried &carried) {
    if (kind == RouteLine::Kind::session)
        ++carried.sessions;
    else
        ++carried.commands;
}

// `root` as the lookup compares it, as normalize_root makes it, into `into`: its part after the
// last ':', normalised.
void normalize_root_into(const std::string &root, std::string &into) {
    const std::size_t colon = root.rfind(':');
    into.assign(root, colon == std::string::npos ? 0 : colon + 1);
    into.resize(normalize_path(into.data(), into.size()));
}

// Adds every root that a route record in the log at `path` ("-": standard input) names, with
// the sessions and commands it carried. A line that is no route record is passed over, and one
// too long to be a record as well. False where the log cannot be read (said on stderr).
bool add_records(const char *path, Roots &roots, Tally &tally) {
    const bool standard_input = std::strcmp(path, "-") == 0;
    const int fd = standard_input ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        warn("%s", path);
        return false;
    }
    Fd owned(standard_input ? -1 : fd);
    constexpr std::size_t longest = 16384; // a record is at most 2 KiB, with the log's prefix
    std::vector<char> buffer(1 << 20);
    std::size_t held = 0;      // bytes in the buffer, from its start
    bool passing_over = false; // within a line too long to be a record
    RouteLine line;
    std::string root;
    // The row of each root as the records write it, which a log repeats: normalised once.
    std::unordered_map<std::string, std::size_t> rows;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data() + held, buffer.size() - held);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1) {
            warn("%s", standard_input ? "standard input" : path);
            return false;
        }
        const bool end = n == 0;
        held += static_cast<std::size_t>(n);
        std::size_t start = 0;
        for (;;) {
            const void *newline = std::memchr(buffer.data() + start, '\n', held - start);
            std::size_t stop =
                newline != nullptr
                    ? static_cast<std::size_t>(static_cast<const char *>(newline) - buffer.data())
                    : held;
            if (newline == nullptr && !end)
                break;
            if (!passing_over) {
                read_route_line({buffer.data() + start, stop - start}, line);
                if (line.kind != RouteLine::Kind::other && line.cut) {
                    ++tally.cut;
                } else if (line.kind != RouteLine::Kind::other) {
                    count(line.kind, tally.all);
                    auto found = rows.find(line.root);
                    if (found == rows.end()) {
                        normalize_root_into(line.root, root);
                        found = rows.emplace(line.root, roots.add(root)).first;
                    }
                    count(line.kind, roots.carried(found->second));
                }
            }
            passing_over = false;
            start = stop + 1;
            if (newline == nullptr)
                break;
        }
        if (end)
            return true;
        // Keep the unfinished line; one too long for a record is dropped and passed over.
        std::size_t rest = held > start ? held - start : 0;
        if (rest > longest) {
            passing_over = true;
            rest = 0;
        }
        std::memmove(buffer.data(), buffer.data() + held - rest, rest);
        held = rest;
    }
}

// Why `program` was chosen, in the routing record's words.
std::string why(const Program &program) {
    switch (program.choice) {
    case Program::Choice::entry:
        return "table line " + std::to_string(program.line);
    case Program::Choice::default_entry:
        return "the default entry at line " + std::to_string(program.line);
    case Program::Choice::fallback:
        break;
    }
    if (program.no_table != 0)
        return std::string("no table: ") + std::strerror(program.no_table);
    return "no entry for the root";
}

// What every root that no pattern names gets: the last default entry that names a program, else
// the fallback program.
Program for_other_roots(const ProgramTable &table) {
    Program program{table.fallback, nullptr};
    TableReader reader(table.path, 2);
    for (NumberedLine line; reader.next(line);) {
        TableEntry entry = split_table_line(line.text);
        if (entry.kind != TableEntry::Kind::default_entry)
            continue;
        if (Options options = read_options(entry.options); options.end == Options::End::prog) {
            program.owned.reset(strndup(options.prog.data(), options.prog.size()));
            if (!program.owned)
                err(2, "strndup");
            program.path = program.owned.get();
            program.choice = Program::Choice::default_entry;
            program.line = line.number;
        }
    }
    return program;
}

} // namespace

int compare_tables(const ProgramTable &now, const char *before, const char *records,
                   const char *pathvane, std::FILE *out, std::FILE *report) {
    Roots roots;
    Tally tally;
    if (!add_patterns(now.path, roots) || !add_patterns(before, roots) ||
        (records != nullptr && !add_records(records, roots, tally)))
        return 2;
    const ProgramTable then{before, now.fallback};
    std::uint64_t moved = 0, moved_sessions = 0, moved_commands = 0;
    auto print = [&](const std::string &root, const Program &old, const Program &current,
                     const Carried &carried) {
        if (std::strcmp(old.path, current.path) == 0)
            return;
        ++moved;
        moved_sessions += carried.sessions;
        moved_commands += carried.commands;
        std::fprintf(out, "%s\t%s\t%s\t%s\t%s", root.empty() ? "/" : shown(root).c_str(),
                     shown(old.path).c_str(), why(old).c_str(), shown(current.path).c_str(),
                     why(current).c_str());
        if (records != nullptr)
            std::fprintf(out, "\t%" PRIu64 "\t%" PRIu64, carried.sessions, carried.commands);
        std::fputc('\n', out);
    };
    for (const auto &[root, carried] : roots.rows())
        print(root, lookup_program(then, root.c_str()), lookup_program(now, root.c_str()), carried);
    print("*", for_other_roots(then), for_other_roots(now), Carried{});
    if (records != nullptr)
        std::fprintf(out,
                     "%zu roots compared, %" PRIu64 " move; of the records' sessions, %" PRIu64
                     " of %" PRIu64 " would have moved, of their local commands %" PRIu64
                     " of %" PRIu64 " (at least); records whose root was cut short, not "
                     "compared: %" PRIu64 "\n",
                     roots.rows().size(), moved, moved_sessions, tally.all.sessions, moved_commands,
                     tally.all.commands, tally.cut);
    int checked = check_table(now, pathvane, report);
    if (checked == 2)
        return 2;
    return moved != 0 || checked != 0 ? 1 : 0;
}

} // namespace pathvane
