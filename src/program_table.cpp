#include "program_selection.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <fcntl.h>

namespace pathvane {

std::size_t normalize_path(char *path, std::size_t length) noexcept {
    std::size_t out = 0;
    for (std::size_t in = 0; in < length; ++in) {
        if (path[in] == '/' && out > 0 && path[out - 1] == '/')
            continue;
        path[out++] = path[in];
    }
    while (out > 0 && path[out - 1] == '/')
        --out;
    return out;
}

void normalize_path(char *path) noexcept {
    path[normalize_path(path, std::strlen(path))] = '\0';
}

namespace {

std::size_t skip_space(std::string_view text, std::size_t at) noexcept {
    while (at < text.size() && is_space(static_cast<unsigned char>(text[at])))
        ++at;
    return at;
}

} // namespace

Options read_options(std::string_view text) noexcept {
    Options result;
    std::size_t at = 0;
    for (;;) {
        at = skip_space(text, at);
        if (at == text.size())
            return result;
        std::size_t key_start = at;
        while (at < text.size() && is_alnum(static_cast<unsigned char>(text[at])))
            ++at;
        result.key = slice(text, key_start, at - key_start);
        at = skip_space(text, at);
        if (at == text.size() || text[at] != '=') {
            result.end = Options::End::missing_equals;
            result.rest = slice(text, key_start);
            return result;
        }
        at = skip_space(text, at + 1);
        if (at == text.size()) {
            result.end = Options::End::missing_value;
            return result;
        }
        std::size_t value_start = at;
        while (at < text.size() && text[at] != ',' &&
               !is_space(static_cast<unsigned char>(text[at])))
            ++at;
        if (result.key == "prog") {
            result.end = Options::End::prog;
            result.prog = slice(text, value_start, at - value_start);
            result.rest = at < text.size() ? slice(text, at + 1) : std::string_view();
            return result;
        }
        if (at == text.size())
            return result;
        ++at; // the one ',' or whitespace byte that ended the value
    }
}

TableLine split_table_line(std::span<char> line) noexcept {
    char *text = line.data();
    std::size_t length = line.size();
    if (length > 0 && text[length - 1] == '\n')
        --length;
    TableLine result;
    // A NUL byte ends the line's text, and a comment runs to the end of the line.
    if (const void *nul = std::memchr(text, '\0', length)) {
        length = static_cast<std::size_t>(static_cast<const char *>(nul) - text);
        result.cut_at_nul = true;
    }
    if (const void *hash = std::memchr(text, '#', length))
        length = static_cast<std::size_t>(static_cast<const char *>(hash) - text);
    std::string_view rest(text, length);

    std::size_t at = skip_space(rest, 0);
    if (at == rest.size())
        return result;
    std::size_t pattern_start = at;
    while (at < rest.size() && !is_space(static_cast<unsigned char>(rest[at])))
        ++at;
    if (at == rest.size()) {
        result.kind = TableLine::Kind::pattern_only;
        result.pattern = slice(rest, pattern_start);
        return result;
    }
    std::size_t pattern_length = normalize_path(text + pattern_start, at - pattern_start);
    result.pattern = std::string_view(text + pattern_start, pattern_length);
    result.kind =
        result.pattern.starts_with('*') ? TableLine::Kind::default_entry : TableLine::Kind::pattern;
    // The option text starts after the one whitespace byte that ends the pattern.
    result.options = slice(rest, at + 1);
    return result;
}

TableLine read_table_line(std::span<char> line, std::string_view root) noexcept {
    TableLine result = split_table_line(line);
    if (result.kind == TableLine::Kind::pattern) {
        if (result.pattern != root) {
            result.kind = TableLine::Kind::other_root;
            return result;
        }
        result.kind = TableLine::Kind::applies;
    }
    if (result.kind == TableLine::Kind::applies || result.kind == TableLine::Kind::default_entry) {
        Options options = read_options(result.options);
        result.has_prog = options.end == Options::End::prog;
        result.prog = options.prog;
    }
    return result;
}

namespace {

CString copy_or_die(std::string_view bytes) {
    CString copy(::strndup(bytes.data(), bytes.size()));
    if (!copy)
        err(1, "strdup");
    return copy;
}

} // namespace

Program lookup_program_in(const char *table, const char *fallback, const char *root,
                          TableObserver *observer) {
    const char *colon = std::strrchr(root, ':');
    CString wanted(::strdup(colon != nullptr ? colon + 1 : root));
    if (!wanted)
        err(1, "strdup");
    normalize_path(wanted.get());

    CString default_program;
    Fd fd(::open(table, O_RDONLY | O_CLOEXEC));
    if (fd) {
        LineReader reader(fd.get());
        std::span<char> line;
        for (std::size_t number = 1;; ++number) {
            LineReader::Result got = reader.next(line);
            if (got == LineReader::Result::end)
                break;
            if (got == LineReader::Result::error) {
                // A line that does not fit in memory must not quietly choose another program.
                if (reader.error() == ENOMEM) {
                    errno = ENOMEM;
                    err(1, "malloc");
                }
                break; // a read error ends the table as its end does
            }
            TableLine entry = read_table_line(line, wanted.get());
            if (observer != nullptr)
                observer->on_line(number, entry);
            if (!entry.has_prog)
                continue;
            if (entry.kind == TableLine::Kind::default_entry) {
                default_program.reset();
                default_program = copy_or_die(entry.prog);
            } else if (entry.kind == TableLine::Kind::applies) {
                CString program = copy_or_die(entry.prog);
                const char *path = program.get();
                return {path, std::move(program)};
            }
        }
    }
    if (default_program) {
        const char *path = default_program.get();
        return {path, std::move(default_program)};
    }
    return {fallback, nullptr};
}

Program lookup_program(const char *root) {
    return lookup_program_in(table_path, fallback_program, root);
}

} // namespace pathvane
