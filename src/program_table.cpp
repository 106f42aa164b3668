#include "program_table.h"

#include <cstring>
#include <err.h>

#include "bytes.h"

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
    while (at < text.size() && is_space(text[at]))
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
        while (at < text.size() && is_alnum(text[at]))
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
        while (at < text.size() && text[at] != ',' && !is_space(text[at]))
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
    TableEntry entry;
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
    while (at < length && !ends_text(text[at]) && !is_space(text[at]))
        ++at;
    if (at == length || ends_text(text[at])) {
        split.entry.kind = TableEntry::Kind::pattern_only;
        split.entry.pattern = std::string_view(text + start, at - start);
        return split;
    }
    split.entry.pattern = std::string_view(text + start, normalize_path(text + start, at - start));
    split.entry.kind = split.entry.pattern.starts_with('*') ? TableEntry::Kind::default_entry
                                                            : TableEntry::Kind::entry;
    // The option text starts after the one whitespace byte that ends the pattern.
    split.options_at = at + 1;
    return split;
}

// Cuts the rest of the line at its comment, then at its first NUL byte: the option text. A NUL
// byte inside the comment cuts nothing.
TableEntry finish_line(const Split &split) noexcept {
    TableEntry result = split.entry;
    std::string_view text = cut_at(split.text, '#');
    std::string_view before_nul = cut_at(text, '\0');
    result.cut_at_nul = before_nul.size() != text.size();
    text = before_nul;
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
        if (ends_text(c) || is_space(c))
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

TableEntry split_table_line(std::span<char> line) noexcept {
    return finish_line(split_pattern(line));
}

TableMatch match_table_line(std::span<char> line, std::string_view root) noexcept {
    TableMatch match;
    if (differs_early({line.data(), line.size()}, root))
        return match;
    Split split = split_pattern(line);
    switch (split.entry.kind) {
    case TableEntry::Kind::empty:
    case TableEntry::Kind::pattern_only:
        return match;
    case TableEntry::Kind::entry:
        if (split.entry.pattern != root)
            return match;
        break;
    case TableEntry::Kind::default_entry:
        match.is_default = true;
        break;
    }
    Options options = read_options(finish_line(split).options);
    if (options.end == Options::End::prog)
        match.program = options.prog;
    return match;
}

bool TableReader::next_for(NumberedLine &line, std::string_view piece) {
    if (!file_.next(line.text, piece, '*'))
        return false;
    line.number = file_.line_number();
    return true;
}

std::string_view root_piece(std::string_view root) noexcept {
    constexpr std::size_t rare = 4; // "/src" and longer
    std::string_view chosen;
    std::size_t end = root.size();
    while (end > 0 && chosen.size() < rare) {
        std::size_t slash = root.rfind('/', end - 1);
        std::size_t start = slash == std::string_view::npos ? 0 : slash;
        std::string_view piece = slice(root, start, end - start);
        if (piece.size() > chosen.size())
            chosen = piece;
        end = start;
    }
    return chosen;
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
    CString copy = copy_or_die(colon != nullptr ? colon + 1 : root);
    normalize_path(copy.get());
    return copy;
}

Program lookup_program(const ProgramTable &table, const char *root) {
    CString wanted = normalize_root(root);
    const std::string_view root_wanted(wanted.get());

    Program by_default{table.fallback, nullptr};
    TableReader reader(table.path);
    const std::string_view piece = root_piece(root_wanted);
    for (NumberedLine line; reader.next_for(line, piece);) {
        TableMatch match = match_table_line(line.text, root_wanted);
        if (!match.program)
            continue;
        if (!match.is_default) {
            CString owned = copy_or_die(*match.program);
            const char *path = owned.get();
            return {path, std::move(owned), Program::Choice::entry, line.number};
        }
        by_default.owned.reset(); // a later default entry replaces it
        by_default.owned = copy_or_die(*match.program);
        by_default.path = by_default.owned.get();
        by_default.choice = Program::Choice::default_entry;
        by_default.line = line.number;
    }
    by_default.no_table = reader.missing();
    return by_default;
}

} // namespace pathvane
