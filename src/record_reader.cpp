#include "record_reader.h"

#include "bytes.h"

namespace pathvane {

namespace {

constexpr std::string_view route_word = "route ";

// Where the record's text begins in `line`: after "pathvane[PID]: ", or at the start of a line
// that has no prefix. npos where the line holds no route record.
std::size_t record_start(std::string_view line) {
    if (line.starts_with(route_word))
        return 0;
    constexpr std::string_view tag = "pathvane[";
    for (std::size_t at = line.find(tag); at != std::string_view::npos;
         at = line.find(tag, at + 1)) {
        std::size_t end = at + tag.size();
        std::size_t digits = end;
        while (digits < line.size() && is_digit(line[digits]))
            ++digits;
        std::string_view rest = slice(line, digits);
        if (digits > end && rest.starts_with("]: ") && slice(rest, 3).starts_with(route_word))
            return digits + 3;
    }
    return std::string_view::npos;
}

// Reads the quoted value at the start of `text` (after its '"'), undoing the escapes that the
// record writes: `\"`, `\\` and `\` with three octal digits. Returns the length read, the closing
// '"' included, or 0 where the value is not as pathvane writes it (unclosed, or an escape it never
// writes). A NUL byte, which no root holds, is not as pathvane writes it either.
std::size_t read_quoted(std::string_view text, std::string &value) {
    value.clear();
    std::size_t at = 0;
    for (;;) {
        // The run of bytes up to the next that needs a look, at once.
        std::size_t run = at;
        while (run < text.size() && text[run] != '"' && text[run] != '\\' && text[run] != '\0')
            ++run;
        value.append(text.data() + at, run - at);
        at = run;
        if (at == text.size() || text[at] == '\0')
            return 0;
        if (text[at] == '"')
            return at + 1;
        std::string_view escape = slice(text, at + 1, 3);
        if (!escape.empty() && (escape[0] == '"' || escape[0] == '\\')) {
            value.push_back(escape[0]);
            at += 2;
            continue;
        }
        if (escape.size() < 3 || escape[0] < '0' || escape[0] > '3' || escape[1] < '0' ||
            escape[1] > '7' || escape[2] < '0' || escape[2] > '7')
            return 0;
        const int byte = (escape[0] - '0') * 64 + (escape[1] - '0') * 8 + (escape[2] - '0');
        if (byte == 0)
            return 0;
        value.push_back(static_cast<char>(byte));
        at += 4;
    }
}

} // namespace

void read_route_line(std::string_view line, RouteLine &into) {
    into.kind = RouteLine::Kind::other;
    into.cut = false;
    const std::size_t start = record_start(line);
    if (start == std::string_view::npos)
        return;
    // The mode comes first, then the fields before the root. A quoted value holds no '"' but
    // after a '\\', and a value that is not quoted no blank: the first ` root="` is the root's.
    std::string_view fields = slice(line, start + route_word.size());
    constexpr std::string_view mode = "mode=", root_field = " root=\"";
    if (!fields.starts_with(mode))
        return;
    const std::string_view word = cut_at(slice(fields, mode.size()), ' ');
    const RouteLine::Kind kind = word == "direct"                        ? RouteLine::Kind::command
                                 : word == "server" || word == "pserver" ? RouteLine::Kind::session
                                                                         : RouteLine::Kind::other;
    const std::size_t root = fields.find(root_field, mode.size() + word.size());
    if (kind == RouteLine::Kind::other || root == std::string_view::npos)
        return;
    fields.remove_prefix(root + root_field.size());
    const std::size_t length = read_quoted(fields, into.root);
    if (length == 0)
        return;
    into.cut = slice(fields, length).starts_with("...");
    into.kind = kind;
}

} // namespace pathvane
