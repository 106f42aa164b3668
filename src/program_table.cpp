#include "program_selection.h"

#include <cstring>
#include <err.h>

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

namespace {

// A line split as far as its pattern, and where the rest of it lies.
struct Split {
    TableLine line;
    std::string_view text; // the line without its newline, before any cut
    std::size_t options_at = 0;
};

bool ends_text(char c) noexcept {
    return c == '\0' || c == '#';
}

// Finds the pattern looking no further than the byte after it: the text of a line ends at its
// first NUL byte or '#', but for a line that is for another root nothing after its pattern
// matters. Normalises the pattern in place.
Split split_pattern(std::span<char> line) noexcept {
    Split split;
    char *text = line.data();
    std::size_t length = line.size();
    if (length > 0 && text[length - 1] == '\n')
        --length;
    split.text = std::string_view(text, length);

    std::size_t at = skip_space(split.text, 0);
    if (at == length || ends_text(text[at]))
        return split;
    std::size_t start = at;
    while (at < length && !ends_text(text[at]) && !is_space(static_cast<unsigned char>(text[at])))
        ++at;
    if (at == length || ends_text(text[at])) {
        split.line.kind = TableLine::Kind::pattern_only;
        split.line.pattern = std::string_view(text + start, at - start);
        return split;
    }
    split.line.pattern = std::string_view(text + start, normalize_path(text + start, at - start));
    split.line.kind = split.line.pattern.starts_with('*') ? TableLine::Kind::default_entry
                                                          : TableLine::Kind::pattern;
    // The option text starts after the one whitespace byte that ends the pattern.
    split.options_at = at + 1;
    return split;
}

// Cuts the rest of the line at its first NUL byte and its comment: the option text.
TableLine finish_line(const Split &split) noexcept {
    TableLine result = split.line;
    std::string_view text = split.text;
    if (const void *nul = std::memchr(text.data(), '\0', text.size())) {
        text =
            slice(text, 0, static_cast<std::size_t>(static_cast<const char *>(nul) - text.data()));
        result.cut_at_nul = true;
    }
    if (const void *hash = std::memchr(text.data(), '#', text.size()))
        text =
            slice(text, 0, static_cast<std::size_t>(static_cast<const char *>(hash) - text.data()));
    if (split.options_at != 0)
        result.options = slice(text, split.options_at);
    return result;
}

// True when the line's pattern, read as far as needed, cannot normalise to `root`: it differs
// from it before its end, compared as normalize_path would leave it. Most lines of a table are
// for other roots, and most differ within their first bytes. Lines for which this cannot tell,
// default entries among them, go through the exact split.
bool differs_early(std::string_view line, std::string_view root) noexcept {
    std::size_t at = skip_space(line, 0);
    if (at < line.size() && line[at] == '*')
        return false;
    std::size_t matched = 0;
    bool slash_pending = false; // a '/' that is dropped if only slashes follow it
    for (; at < line.size(); ++at) {
        char c = line[at];
        if (ends_text(c) || is_space(static_cast<unsigned char>(c)))
            return false;
        if (c == '/') {
            slash_pending = true;
            continue;
        }
        if (slash_pending) {
            if (matched == root.size() || root[matched] != '/')
                return true;
            ++matched;
            slash_pending = false;
        }
        if (matched == root.size() || root[matched] != c)
            return true;
        ++matched;
    }
    return false;
}

} // namespace

TableLine split_table_line(std::span<char> line) noexcept {
    return finish_line(split_pattern(line));
}

TableLine read_table_line(std::span<char> line, std::string_view root) noexcept {
    if (differs_early({line.data(), line.size()}, root)) {
        TableLine other;
        other.kind = TableLine::Kind::other_root;
        return other;
    }
    Split split = split_pattern(line);
    if (split.line.kind == TableLine::Kind::pattern && split.line.pattern != root) {
        split.line.kind = TableLine::Kind::other_root;
        return split.line;
    }
    TableLine result = finish_line(split);
    if (result.kind == TableLine::Kind::pattern)
        result.kind = TableLine::Kind::applies;
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

CString normalize_root(const char *root) {
    const char *colon = std::strrchr(root, ':');
    CString copy(::strdup(colon != nullptr ? colon + 1 : root));
    if (!copy)
        err(1, "strdup");
    normalize_path(copy.get());
    return copy;
}

Program lookup_program_in(const char *table, const char *fallback, const char *root,
                          TableObserver *observer) {
    CString wanted = normalize_root(root);

    CString default_program;
    SetupFile file(table);
    const std::string_view root_wanted(wanted.get());
    std::span<char> line;
    for (std::size_t number = 1; file.next(line); ++number) {
        TableLine entry = read_table_line(line, root_wanted);
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
