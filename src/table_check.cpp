#include "table_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <err.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bytes.h"
#include "check_text.h"
#include "front_end.h"
#include "text.h"

namespace pathvane {

std::string shown(std::string_view text) {
    std::string out;
    for (char c : text) {
        char escaped[4];
        out.append(escaped, escape_byte(c, '\'', escaped));
    }
    return out;
}

bool said_missing(const TableReader &reader, const char *table) {
    int missing = reader.missing();
    if (missing == 0)
        return false;
    errno = missing;
    warn("%s", table);
    return true;
}

namespace {

// The view without whitespace around it.
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
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

// The lines that name a program as the lookup takes them: for each pattern the first, and of
// the default entries the last. A pattern that holds ':' never applies and is left out.
class Routes {
  public:
    struct Route {
        std::string pattern; // normalised
        std::string program;
        std::size_t line = 0;
    };

    // Adds the line `number`, which names `program`. Returns the line that takes precedence
    // over it (an earlier one for the same pattern) or, for a default entry, the one that it
    // replaces; else 0.
    std::size_t add(std::size_t number, const TableEntry &entry, std::string_view program) {
        Route route{std::string(entry.pattern), std::string(program), number};
        if (entry.kind == TableEntry::Kind::default_entry) {
            std::swap(route, last_default_);
            return route.line;
        }
        if (route.pattern.find(':') != std::string::npos)
            return 0;
        auto [first, added] = first_line_.try_emplace(route.pattern, number);
        if (added)
            for_roots_.push_back(std::move(route));
        return added ? 0 : first->second;
    }
    const std::vector<Route> &for_roots() const { return for_roots_; }
    // Line 0 where there is none.
    const Route &last_default() const { return last_default_; }
    bool empty() const { return for_roots_.empty() && last_default_.line == 0; }

  private:
    std::vector<Route> for_roots_;
    std::unordered_map<std::string, std::size_t> first_line_;
    Route last_default_;
};

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
    bool check_executable_by_all(std::size_t number, const char *what, const char *name,
                                 const std::string &path, const struct stat &st);
    void check_after_prog(std::size_t number, std::string_view rest);
    // Returns false where an earlier line takes precedence.
    bool check_precedence(std::size_t number, const TableEntry &entry, std::string_view program);
    void check_repository(std::size_t number, std::string_view pattern);

    const char *table_;
    const char *fallback_;
    std::FILE *out_;
    struct stat pathvane_ {}; // the installed pathvane, which refuses to run itself
    bool have_pathvane_ = false;
    bool reported_ = false;
    Routes routes_;
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
    if (routes_.empty())
        note(whole_table, "no line names a program: every command runs the fallback program %s",
             fallback_);
}

bool Checker::check_pattern(std::size_t number, const TableEntry &entry) {
    std::string text = shown(entry.pattern);
    const char *pattern = text.c_str();
    switch (entry.kind) {
    case TableEntry::Kind::empty:
        return false;
    case TableEntry::Kind::pattern_only:
        report(number, "pattern '%s' has no options: line ignored", pattern);
        return false;
    case TableEntry::Kind::entry:
    case TableEntry::Kind::default_entry:
        break;
    }
    bool is_default = entry.kind == TableEntry::Kind::default_entry;
    if (entry.pattern.find('*', is_default ? 1 : 0) != std::string_view::npos)
        report(number,
               "pattern '%s' holds '*' past its first byte: patterns are no globs, only a "
               "leading '*' has a meaning (a default entry)",
               pattern);
    else if (is_default && entry.pattern != "*")
        note(number, "default entry '%s': what follows the '*' is ignored", pattern);
    if (is_default)
        return true;
    if (entry.pattern.find(':') != std::string_view::npos)
        report(number,
               "pattern '%s' holds ':' and never applies: roots are compared after their "
               "last ':'",
               pattern);
    else if (is_port_form(entry.pattern))
        note(number,
             "pattern '%s' is not an absolute path: it applies only to roots with a port, "
             "such as ':pserver:host:%s'",
             pattern, pattern);
    else if (!entry.pattern.empty() && entry.pattern[0] != '/')
        report(number, "pattern '%s' is not an absolute path, as the path of every repository is",
               pattern);
    return true;
}

bool Checker::check_options(std::size_t number, const Options &options) {
    switch (options.end) {
    case Options::End::missing_equals:
        if (options.key.empty())
            report(number, "option text not followed by '=': ignored from there on: '%s'",
                   shown(options.rest).c_str());
        else
            report(number, "key '%s' not followed by '=': ignored from there on: '%s'",
                   shown(options.key).c_str(), shown(options.rest).c_str());
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
    std::string text = shown(program);
    const char *name = text.c_str();
    struct stat st {};
    if (path[0] != '/')
        report(number,
               "%s '%s' is not an absolute path: pathvane would run it from the caller's "
               "working directory",
               what, name);
    else if (::stat(path.c_str(), &st) == -1)
        report(number, "%s '%s': %s", what, name, std::strerror(errno));
    else if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        report(number, "%s '%s' is not executable", what, name);
    else if (have_pathvane_ && st.st_dev == pathvane_.st_dev && st.st_ino == pathvane_.st_ino)
        report(number, "%s '%s' is pathvane itself, which refuses to run it", what, name);
    else if (check_executable_by_all(number, what, name, path, st) &&
             ::access(path.c_str(), X_OK) == -1)
        report(number, "%s '%s' is not executable", what, name); // a noexec mount, an ACL
}

namespace {

// Who may execute a file, or search a directory, by its mode.
enum class Reach { everyone, owner_and_group, owner };

Reach reach_of(mode_t mode) {
    if ((mode & S_IXOTH) != 0)
        return Reach::everyone;
    return (mode & S_IXGRP) != 0 ? Reach::owner_and_group : Reach::owner;
}

} // namespace

// By the modes of the program and of the directories above it, not by access(2): run as root,
// the checker may execute what no other user can. Returns false where it reported or noted.
bool Checker::check_executable_by_all(std::size_t number, const char *what, const char *name,
                                      const std::string &path, const struct stat &st) {
    Reach reach = reach_of(st.st_mode);
    gid_t group_id = st.st_gid;
    std::string directory; // the directory that keeps others out, if one does
    for (std::size_t slash = path.size(); reach == Reach::everyone && slash > 0;) {
        slash = path.rfind('/', slash - 1);
        directory = path.substr(0, slash == 0 ? 1 : slash);
        struct stat above {};
        if (::stat(directory.c_str(), &above) == 0) {
            reach = reach_of(above.st_mode);
            group_id = above.st_gid;
        }
    }
    if (reach == Reach::everyone)
        return true;
    std::string who = "its owner";
    if (reach == Reach::owner_and_group) {
        const group *owners = ::getgrgid(group_id);
        who +=
            " and group " + (owners != nullptr ? shown(owners->gr_name) : std::to_string(group_id));
    }
    std::string message =
        std::string(what) + " '" + name + "' " +
        ((st.st_mode & S_IXOTH) == 0
             ? "is executable only by " + who
             : "lies in '" + shown(directory) + "', which only " + who + " can search") +
        ": for every other user, the command fails with 'Permission denied'";
    // A group may well be meant; an owner alone hardly ever is.
    if (reach == Reach::owner)
        report(number, "%s", message.c_str());
    else
        note(number, "%s", message.c_str());
    return false;
}

// What follows the program: pairs with other keys are passed over, as pathvane does; a later
// "prog" and words that are no pairs (an argument meant for the program) are reported.
void Checker::check_after_prog(std::size_t number, std::string_view rest) {
    std::string words;
    for (;;) {
        Options after = read_options(rest);
        if (after.end == Options::End::prog)
            report(number, "only the first 'prog' counts: '%s' is ignored",
                   shown(trimmed(rest)).c_str());
        if (after.end != Options::End::missing_equals)
            break;
        // Pass over the word that is no pair, or the one separator where there is none.
        rest = after.rest;
        std::size_t word = 0;
        while (word < rest.size() && rest[word] != ',' && !is_space(rest[word]))
            ++word;
        if (word > 0)
            words.append(words.empty() ? "" : " ").append(rest.substr(0, word));
        rest.remove_prefix(std::max<std::size_t>(word, 1));
    }
    if (!words.empty())
        report(number,
               "'%s' after the program is ignored: the program gets the command's own "
               "arguments, no others",
               shown(words).c_str());
}

void Checker::check_repository(std::size_t number, std::string_view pattern) {
    std::string admin = std::string(pattern) + "/CVSROOT";
    std::string text = shown(pattern);
    struct stat st {};
    int looked = ::stat(admin.c_str(), &st);
    if (looked == 0 && S_ISDIR(st.st_mode))
        return;
    if (looked == -1 && errno != ENOENT && errno != ENOTDIR)
        note(number, "cannot tell whether '%s' is a repository (%s/CVSROOT: %s)", text.c_str(),
             text.c_str(), std::strerror(errno));
    else
        note(number, "no repository at '%s' (no directory %s/CVSROOT)", text.c_str(), text.c_str());
}

bool Checker::check_precedence(std::size_t number, const TableEntry &entry,
                               std::string_view program) {
    std::size_t earlier = routes_.add(number, entry, program);
    if (earlier == 0)
        return true;
    if (entry.kind == TableEntry::Kind::default_entry) {
        report(number, "default entry replaces the one on line %zu", earlier);
        return true;
    }
    report(number, "pattern '%s' is shadowed by line %zu, which applies first",
           shown(entry.pattern).c_str(), earlier);
    return false;
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
    if (check_precedence(line.number, entry, options.prog) &&
        entry.kind == TableEntry::Kind::entry && is_plain_path(entry.pattern))
        check_repository(line.number, entry.pattern);
}

} // namespace

void explain_root(const ProgramTable &table, const char *root, std::FILE *out, const char *from) {
    Program program = lookup_program(table, root);
    std::fprintf(out, "%sroot '%s' (compared as '%s'): %s, ", from, shown(root).c_str(),
                 shown(normalize_root(root).get()).c_str(), shown(program.path).c_str());
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
    Routes routes;
    TableReader reader(table.path, 2);
    for (NumberedLine line; reader.next(line);) {
        TableEntry entry = split_table_line(line.text);
        if (entry.kind != TableEntry::Kind::entry && entry.kind != TableEntry::Kind::default_entry)
            continue;
        Options options = read_options(entry.options);
        if (options.end == Options::End::prog)
            routes.add(line.number, entry, options.prog);
    }
    if (said_missing(reader, table.path))
        return 2;
    for (const Routes::Route &route : routes.for_roots())
        std::fprintf(out, "%s\t%s\t%s:%zu\n",
                     route.pattern.empty() ? "/" : shown(route.pattern).c_str(),
                     shown(route.program).c_str(), table.path, route.line);
    if (const Routes::Route &route = routes.last_default(); route.line != 0)
        std::fprintf(out, "*\t%s\t%s:%zu, the default entry\n", shown(route.program).c_str(),
                     table.path, route.line);
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
    case RootSource::auth_request:
        std::fprintf(out, "pserver mode: the root comes from the client's auth request\n");
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
