#include "table_check.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <err.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "front_end.h"

namespace pathvane {

namespace {

// The length of a view, for printf's "%.*s".
int width(std::string_view text) {
    return static_cast<int>(text.size());
}

class Checker {
  public:
    Checker(const char *table, std::FILE *out) : table_(table), out_(out) {}

    void check_line(const NumberedLine &line);
    void check_owner(const struct stat &st);
    bool reported() const { return reported_; }

  private:
    // Prints "table:number: message", or "table: message" for number 0.
    [[gnu::format(printf, 3, 4)]] void report(std::size_t number, const char *format, ...);
    // These two return false where the line can have no effect, and so is checked no further.
    bool check_pattern(std::size_t number, const TableEntry &entry);
    bool check_options(std::size_t number, const Options &options);
    void check_program(std::size_t number, std::string_view program);
    void check_later_prog(std::size_t number, std::string_view rest);
    void check_precedence(std::size_t number, const TableEntry &entry);

    const char *table_;
    std::FILE *out_;
    bool reported_ = false;
    std::unordered_map<std::string, std::size_t> first_with_prog_; // normalised pattern -> line
    std::size_t default_line_ = 0;
};

void Checker::report(std::size_t number, const char *format, ...) {
    if (number == 0)
        std::fprintf(out_, "%s: ", table_);
    else
        std::fprintf(out_, "%s:%zu: ", table_, number);
    va_list args;
    va_start(args, format);
    // The analyzer loses va_start when it reads several files in one run.
    std::vfprintf(out_, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    std::fputc('\n', out_);
    reported_ = true;
}

void Checker::check_owner(const struct stat &st) {
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        report(0, "writable by group or others");
    if (st.st_uid != 0)
        report(0, "not owned by root");
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
        if (entry.pattern.find(':') != std::string_view::npos)
            report(number,
                   "pattern '%.*s' holds ':' and never applies: roots are compared after their "
                   "last ':'",
                   width(entry.pattern), entry.pattern.data());
        return true;
    case TableEntry::Kind::default_entry:
        return true;
    }
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

void Checker::check_program(std::size_t number, std::string_view program) {
    if (program.empty()) {
        report(number, "empty program path");
        return;
    }
    std::string path(program);
    struct stat st {};
    if (::stat(path.c_str(), &st) == -1)
        report(number, "program '%s': %s", path.c_str(), std::strerror(errno));
    else if (!S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) == -1)
        report(number, "program '%s' is not executable", path.c_str());
}

void Checker::check_later_prog(std::size_t number, std::string_view rest) {
    if (read_options(rest).end != Options::End::prog)
        return;
    while (!rest.empty() && is_space(rest[0]))
        rest.remove_prefix(1);
    report(number, "only the first 'prog' counts: '%.*s' is ignored", width(rest), rest.data());
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
    check_program(line.number, options.prog);
    check_later_prog(line.number, options.rest);
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
        if (::access(table.path, R_OK) == -1)
            std::fprintf(out, "the fallback program (%s: %s)\n", table.path, std::strerror(errno));
        else
            std::fprintf(out, "the fallback program (no line applies)\n");
        break;
    }
}

// The table's failures are the checker's own: status 2, as for a table that is not there.
int check_table(const char *table, std::FILE *out) {
    Checker checker(table, out);
    TableReader reader(table, 2);
    for (NumberedLine line; reader.next(line);)
        checker.check_line(line);
    if (int missing = reader.missing()) {
        errno = missing;
        warn("%s", table);
        return 2;
    }
    struct stat st {};
    if (::stat(table, &st) == -1) {
        warn("%s", table);
        return 2;
    }
    checker.check_owner(st);
    return checker.reported() ? 1 : 0;
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
