#include "table_check.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <err.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "front_end.h"

namespace pathvane {

namespace {

// The length of a view, for printf's "%.*s".
int width(std::string_view text) {
    return static_cast<int>(text.size());
}

// The view without its trailing whitespace.
std::string_view trim_end(std::string_view text) {
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

// A pattern that can name a repository: an absolute path, no glob, no host.
bool is_plain_path(std::string_view pattern) {
    return !pattern.empty() && pattern[0] == '/' &&
           pattern.find_first_of(":*") == std::string_view::npos;
}

// A pattern such as "2401/home/ncvs": the path of a root with a port, ":pserver:host:2401/...",
// compared after its last ':'.
bool is_port_form(std::string_view pattern) {
    std::size_t digits = pattern.find_first_not_of("0123456789");
    return digits != 0 && digits != std::string_view::npos && pattern[digits] == '/';
}

// Where a report points: a line of the table (from 1), the table as a whole, or outside it
// (the fallback program, which the build fixes).
constexpr std::size_t whole_table = 0;
constexpr std::size_t outside_table = SIZE_MAX;

class Checker {
  public:
    Checker(const ProgramTable &table, const char *pathvane, std::FILE *out);

    void check_line(const NumberedLine &line);
    void check_file(const struct stat &st);
    // Run after the last line.
    void check_effect();
    void check_fallback() { check_program(outside_table, "fallback program", fallback_); }
    bool reported() const { return reported_; }

  private:
    // Prints "table:number: message", "table: message" or "message", as `number` says. A note
    // is printed with "note: " before the message, and leaves the exit status as it is.
    [[gnu::format(printf, 3, 4)]] void report(std::size_t number, const char *format, ...);
    [[gnu::format(printf, 3, 4)]] void note(std::size_t number, const char *format, ...);
    void print(std::size_t number, const char *kind, const char *format, va_list args);
    // These two return false where the line can have no effect, and so is checked no further.
    bool check_pattern(std::size_t number, const TableEntry &entry);
    bool check_options(std::size_t number, const Options &options);
    void check_program(std::size_t number, const char *what, std::string_view program);
    void check_after_prog(std::size_t number, std::string_view rest);
    void check_precedence(std::size_t number, const TableEntry &entry);
    void check_repository(std::size_t number, std::string_view pattern);

    const char *table_;
    const char *fallback_;
    std::FILE *out_;
    struct stat pathvane_ {}; // the installed pathvane, which refuses to run itself
    bool have_pathvane_ = false;
    bool reported_ = false;
    std::unordered_map<std::string, std::size_t> first_with_prog_; // normalised pattern -> line
    std::size_t default_line_ = 0;
};

Checker::Checker(const ProgramTable &table, const char *pathvane, std::FILE *out)
    : table_(table.path), fallback_(table.fallback), out_(out) {
    // Where this build's pathvane is not installed, no program can be it.
    have_pathvane_ = ::stat(pathvane, &pathvane_) == 0;
}

void Checker::print(std::size_t number, const char *kind, const char *format, va_list args) {
    if (number == whole_table)
        std::fprintf(out_, "%s: ", table_);
    else if (number != outside_table)
        std::fprintf(out_, "%s:%zu: ", table_, number);
    std::fputs(kind, out_);
    // The analyzer loses va_start when it reads several files in one run.
    std::vfprintf(out_, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    std::fputc('\n', out_);
}

void Checker::report(std::size_t number, const char *format, ...) {
    va_list args;
    va_start(args, format);
    print(number, "", format, args);
    va_end(args);
    reported_ = true;
}

void Checker::note(std::size_t number, const char *format, ...) {
    va_list args;
    va_start(args, format);
    print(number, "note: ", format, args);
    va_end(args);
}

void Checker::check_file(const struct stat &st) {
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        report(whole_table, "writable by group or others");
    if (st.st_uid != 0)
        report(whole_table, "not owned by root");
    if ((st.st_mode & S_IROTH) == 0)
        report(whole_table, "not readable by every user: for those who cannot read it, every "
                            "command runs the fallback program");
}

void Checker::check_effect() {
    if (first_with_prog_.empty() && default_line_ == 0)
        note(whole_table, "no line names a program: every command runs the fallback program %s",
             fallback_);
}

bool Checker::check_pattern(std::size_t number, const TableEntry &entry) {
    switch (entry.kind) {
    case TableEntry::Kind::empty:
        return false;
    case TableEntry::Kind::pattern_only:
        report(number, "pattern '%.*s' has no options: line ignored", width(entry.pattern),
               entry.pattern.data());
        return false;
    case TableEntry::Kind::entry:
    case TableEntry::Kind::default_entry:
        break;
    }
    std::string_view pattern = entry.pattern;
    bool is_default = entry.kind == TableEntry::Kind::default_entry;
    if (pattern.find('*', is_default ? 1 : 0) != std::string_view::npos)
        report(number,
               "pattern '%.*s' holds '*' past its first byte: patterns are no globs, only a "
               "leading '*' has a meaning (a default entry)",
               width(pattern), pattern.data());
    if (is_default)
        return true;
    if (pattern.find(':') != std::string_view::npos)
        report(number,
               "pattern '%.*s' holds ':' and never applies: roots are compared after their "
               "last ':'",
               width(pattern), pattern.data());
    else if (is_port_form(pattern))
        note(number,
             "pattern '%.*s' is not an absolute path: it applies only to roots with a port, "
             "such as ':pserver:host:%.*s'",
             width(pattern), pattern.data(), width(pattern), pattern.data());
    else if (!pattern.empty() && pattern[0] != '/')
        report(number, "pattern '%.*s' is not an absolute path: roots are, so it never applies",
               width(pattern), pattern.data());
    return true;
}

bool Checker::check_options(std::size_t number, const Options &options) {
    switch (options.end) {
    case Options::End::missing_equals:
        if (options.key.empty())
            report(number, "option text not followed by '=': ignored from there on: '%.*s'",
                   width(options.rest), options.rest.data());
        else
            report(number, "key '%.*s' not followed by '=': ignored from there on: '%.*s'",
                   width(options.key), options.key.data(), width(options.rest),
                   options.rest.data());
        break;
    case Options::End::missing_value:
        if (options.key == "prog")
            report(number, "'prog=' without a value at the end of the line: ignored");
        break;
    case Options::End::line:
        break;
    case Options::End::prog:
        return true;
    }
    report(number, "no 'prog' option: the line has no effect");
    return false;
}

void Checker::check_program(std::size_t number, const char *what, std::string_view program) {
    if (program.empty()) {
        report(number, "empty %s path", what);
        return;
    }
    std::string path(program);
    const char *name = path.c_str();
    struct stat st {};
    if (path[0] != '/')
        report(number,
               "%s '%s' is not an absolute path: pathvane would run it from the caller's "
               "working directory",
               what, name);
    else if (::stat(name, &st) == -1)
        report(number, "%s '%s': %s", what, name, std::strerror(errno));
    else if (!S_ISREG(st.st_mode) || ::access(name, X_OK) == -1)
        report(number, "%s '%s' is not executable", what, name);
    else if (have_pathvane_ && st.st_dev == pathvane_.st_dev && st.st_ino == pathvane_.st_ino)
        report(number, "%s '%s' is pathvane itself, which refuses to run it", what, name);
}

void Checker::check_after_prog(std::size_t number, std::string_view rest) {
    Options after = read_options(rest);
    if (after.end == Options::End::prog) {
        while (!rest.empty() && is_space(rest[0]))
            rest.remove_prefix(1);
        report(number, "only the first 'prog' counts: '%.*s' is ignored", width(rest), rest.data());
    } else if (after.end == Options::End::missing_equals) {
        std::string_view words = trim_end(after.rest);
        report(number,
               "'%.*s' after the program is ignored: the program gets the command's own "
               "arguments, no others",
               width(words), words.data());
    }
}

void Checker::check_repository(std::size_t number, std::string_view pattern) {
    std::string admin = std::string(pattern) + "/CVSROOT";
    struct stat st {};
    if (::stat(admin.c_str(), &st) == -1)
        note(number, "no repository at '%.*s' (%s: %s)", width(pattern), pattern.data(),
             admin.c_str(), std::strerror(errno));
    else if (!S_ISDIR(st.st_mode))
        note(number, "no repository at '%.*s' (%s is no directory)", width(pattern), pattern.data(),
             admin.c_str());
}

// Which line with a program applies first, for a root or as the default.
void Checker::check_precedence(std::size_t number, const TableEntry &entry) {
    if (entry.kind == TableEntry::Kind::default_entry) {
        if (default_line_ != 0)
            report(number, "default entry replaces the one on line %zu", default_line_);
        default_line_ = number;
        return;
    }
    auto [earlier, inserted] = first_with_prog_.try_emplace(std::string(entry.pattern), number);
    if (!inserted)
        report(number, "pattern '%.*s' is shadowed by line %zu, which applies first",
               width(entry.pattern), entry.pattern.data(), earlier->second);
}

void Checker::check_line(const NumberedLine &line) {
    TableEntry entry = split_table_line(line.text);
    if (entry.cut_at_nul)
        report(line.number, "NUL byte: the rest of the line is ignored");
    if (!check_pattern(line.number, entry))
        return;
    Options options = read_options(entry.options);
    if (!check_options(line.number, options))
        return;
    check_program(line.number, "program", options.prog);
    check_after_prog(line.number, options.rest);
    if (entry.kind == TableEntry::Kind::entry && is_plain_path(entry.pattern))
        check_repository(line.number, entry.pattern);
    check_precedence(line.number, entry);
}

} // namespace

void explain_root(const ProgramTable &table, const char *root, std::FILE *out, const char *from) {
    Program program = lookup_program(table, root);
    std::fprintf(out, "%sroot '%s' (compared as '%s'): %s, ", from, root,
                 normalize_root(root).get(), program.path);
    switch (program.choice) {
    case Program::Choice::entry:
        std::fprintf(out, "from %s:%zu\n", table.path, program.line);
        break;
    case Program::Choice::default_entry:
        std::fprintf(out, "from the default entry at %s:%zu\n", table.path, program.line);
        break;
    case Program::Choice::fallback:
        if (program.no_table != 0)
            std::fprintf(out, "the fallback program (%s: %s)\n", table.path,
                         std::strerror(program.no_table));
        else
            std::fprintf(out, "the fallback program (no line applies)\n");
        break;
    }
}

namespace {

// Says on stderr why the table that `reader` has read had no lines, and returns true, where
// it was not there to read.
bool said_missing(const TableReader &reader, const char *table) {
    int missing = reader.missing();
    if (missing == 0)
        return false;
    errno = missing;
    warn("%s", table);
    return true;
}

} // namespace

// The table's failures are the checker's own: status 2, as for a table that is not there.
int check_table(const ProgramTable &table, const char *pathvane, std::FILE *out) {
    Checker checker(table, pathvane, out);
    TableReader reader(table.path, 2);
    for (NumberedLine line; reader.next(line);)
        checker.check_line(line);
    if (said_missing(reader, table.path))
        return 2;
    struct stat st {};
    if (::stat(table.path, &st) == -1) {
        warn("%s", table.path);
        return 2;
    }
    checker.check_file(st);
    checker.check_effect();
    checker.check_fallback();
    return checker.reported() ? 1 : 0;
}

int list_routes(const ProgramTable &table, std::FILE *out) {
    struct Listed {
        std::string pattern;
        std::string program;
        std::size_t line = 0;
    };
    std::vector<Listed> routes;
    std::unordered_set<std::string> patterns;
    Listed last_default;
    TableReader reader(table.path, 2);
    for (NumberedLine line; reader.next(line);) {
        TableEntry entry = split_table_line(line.text);
        if (entry.kind != TableEntry::Kind::entry && entry.kind != TableEntry::Kind::default_entry)
            continue;
        Options options = read_options(entry.options);
        if (options.end != Options::End::prog)
            continue;
        Listed route{std::string(entry.pattern), std::string(options.prog), line.number};
        if (entry.kind == TableEntry::Kind::default_entry)
            last_default = std::move(route);
        else if (route.pattern.find(':') == std::string::npos &&
                 patterns.insert(route.pattern).second)
            routes.push_back(std::move(route));
    }
    if (said_missing(reader, table.path))
        return 2;
    for (const Listed &route : routes)
        std::fprintf(out, "%s\t%s\t%s:%zu\n", route.pattern.empty() ? "/" : route.pattern.c_str(),
                     route.program.c_str(), table.path, route.line);
    if (last_default.line != 0)
        std::fprintf(out, "*\t%s\t%s:%zu, the default entry\n", last_default.program.c_str(),
                     table.path, last_default.line);
    else
        std::fprintf(out, "*\t%s\tthe fallback program\n", table.fallback);
    return 0;
}

void explain_command(const ProgramTable &table, int argc, char *argv[], std::FILE *out) {
    RootFinding found = find_root(argc, argv);
    const char *from = "";
    switch (found.source) {
    case RootSource::server:
        std::fprintf(out, "server mode: the root comes from the client's Root request\n");
        return;
    case RootSource::none:
        std::fprintf(out, "no root: %s, the fallback program; the table is not read\n",
                     table.fallback);
        return;
    case RootSource::option:
        from = "from the option -d: ";
        break;
    case RootSource::root_file:
        from = "from CVS/Root: ";
        break;
    case RootSource::environment:
        from = "from CVSROOT: ";
        break;
    }
    explain_root(table, found.root, out, from);
}

} // namespace pathvane
