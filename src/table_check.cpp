#include "table_check.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "front_end.h"
#include "program_selection.h"

namespace pathvane {

namespace {

// The length of a view, for printf's "%.*s".
int width(std::string_view text) {
    return static_cast<int>(text.size());
}

class Checker {
  public:
    Checker(const char *table, std::FILE *out) : table_(table), out_(out) {}

    void check_line(std::size_t number, std::span<char> raw);
    void check_owner(const struct stat &st);
    bool reported() const { return reported_; }

  private:
    // Prints "table:number: message", or "table: message" for number 0.
    [[gnu::format(printf, 3, 4)]] void report(std::size_t number, const char *format, ...);
    void check_program(std::size_t number, std::string_view program);

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
    std::vfprintf(out_, format, args);
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

void Checker::check_line(std::size_t number, std::span<char> raw) {
    TableLine line = split_table_line(raw);
    if (line.cut_at_nul)
        report(number, "NUL byte: the rest of the line is ignored");
    if (line.kind == TableLine::Kind::empty)
        return;
    if (line.kind == TableLine::Kind::pattern_only) {
        report(number, "pattern '%.*s' has no options: line ignored", width(line.pattern),
               line.pattern.data());
        return;
    }
    bool is_default = line.kind == TableLine::Kind::default_entry;
    if (!is_default && line.pattern.find(':') != std::string_view::npos)
        report(number,
               "pattern '%.*s' holds ':' and never applies: roots are compared after their last "
               "':'",
               width(line.pattern), line.pattern.data());

    Options options = read_options(line.options);
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
    case Options::End::prog:
        break;
    }
    if (options.end != Options::End::prog) {
        report(number, "no 'prog' option: the line has no effect");
        return;
    }
    check_program(number, options.prog);
    if (read_options(options.rest).end == Options::End::prog) {
        std::string_view rest = options.rest;
        while (!rest.empty() && is_space(static_cast<unsigned char>(rest[0])))
            rest.remove_prefix(1);
        report(number, "only the first 'prog' counts: '%.*s' is ignored", width(rest), rest.data());
    }

    if (is_default) {
        if (default_line_ != 0)
            report(number, "default entry replaces the one on line %zu", default_line_);
        default_line_ = number;
        return;
    }
    auto [earlier, inserted] = first_with_prog_.try_emplace(std::string(line.pattern), number);
    if (!inserted)
        report(number, "pattern '%.*s' is shadowed by line %zu, which applies first",
               width(line.pattern), line.pattern.data(), earlier->second);
}

// Remembers which line of the table gave the lookup its answer.
class Witness final : public TableObserver {
  public:
    void on_line(std::size_t number, const TableLine &line) override {
        if (!line.has_prog)
            return;
        if (line.kind == TableLine::Kind::applies)
            applying_line = number;
        else if (line.kind == TableLine::Kind::default_entry)
            default_line = number;
    }
    std::size_t applying_line = 0;
    std::size_t default_line = 0;
};

} // namespace

void explain_root(const char *table, const char *fallback, const char *root, std::FILE *out,
                  const char *from) {
    Witness witness;
    Program program = lookup_program_in(table, fallback, root, &witness);
    std::fprintf(out, "%sroot '%s' (compared as '%s'): %s, ", from, root,
                 normalize_root(root).get(), program.path);
    if (witness.applying_line != 0)
        std::fprintf(out, "from %s:%zu\n", table, witness.applying_line);
    else if (witness.default_line != 0)
        std::fprintf(out, "from the default entry at %s:%zu\n", table, witness.default_line);
    else if (::access(table, R_OK) == -1)
        std::fprintf(out, "the fallback program (%s: %s)\n", table, std::strerror(errno));
    else
        std::fprintf(out, "the fallback program (no line applies)\n");
}

int check_table(const char *table, std::FILE *out) {
    Fd fd(::open(table, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) == -1) {
        std::fprintf(stderr, "pathvane-check: %s: %s\n", table, std::strerror(errno));
        return 2;
    }
    Checker checker(table, out);
    checker.check_owner(st);
    LineReader reader(fd.get());
    std::span<char> line;
    for (std::size_t number = 1;; ++number) {
        LineReader::Result got = reader.next(line);
        if (got == LineReader::Result::end)
            break;
        if (got == LineReader::Result::error) {
            std::fprintf(stderr, "pathvane-check: %s: %s\n", table, std::strerror(reader.error()));
            return 2;
        }
        checker.check_line(number, line);
    }
    return checker.reported() ? 1 : 0;
}

void explain_command(const char *table, const char *fallback, int argc, char *argv[],
                     std::FILE *out) {
    RootFinding found = find_root(argc, argv);
    const char *from = "";
    switch (found.source) {
    case RootSource::server:
        std::fprintf(out, "server mode: the root comes from the client's Root request\n");
        return;
    case RootSource::none:
        std::fprintf(out, "no root: %s, the fallback program; the table is not read\n", fallback);
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
    explain_root(table, fallback, found.root, out, from);
}

} // namespace pathvane
