#include "server_mode.h"

#include "bytes.h"

namespace pathvane {

namespace {

// The first lines that a password server's client may send and name its repository after.
// "BEGIN GSSAPI REQUEST" names none before the program has authenticated the client.
constexpr std::string_view opening_lines[] = {"BEGIN AUTH REQUEST", "BEGIN VERIFICATION REQUEST"};

// Where the text of a line that starts at `from` ends, as cvs reads it (a C string read up to a
// newline): at its first newline or NUL byte; npos while neither has arrived.
std::size_t text_end(std::string_view data, std::size_t from) noexcept {
    std::string_view rest = slice(data, from);
    std::string_view text = cut_at(cut_at(rest, '\n'), '\0');
    return text.size() == rest.size() ? std::string_view::npos : from + text.size();
}

} // namespace

RootRequest scan_auth_request(std::string_view data, std::size_t &offset) {
    RootRequest result;
    if (offset == 0) {
        std::size_t end = text_end(data, 0);
        std::string_view first = slice(data, 0, end);
        bool may_be_opening = false;
        for (std::string_view line : opening_lines)
            may_be_opening =
                may_be_opening ||
                (end == std::string_view::npos ? line.starts_with(first) : line == first);
        if (!may_be_opening) {
            result.outcome = RootRequest::Outcome::none;
            return result;
        }
        if (end == std::string_view::npos)
            return result;
        // A NUL ends the text, not the line: the repository's line begins after the newline.
        std::size_t newline = data.find('\n', end);
        if (newline == std::string_view::npos)
            return result;
        offset = newline + 1;
    }
    std::size_t end = text_end(data, offset);
    if (end == std::string_view::npos)
        return result; // the repository may still go on in the next read
    if (end == offset) {
        result.outcome = RootRequest::Outcome::empty;
        return result;
    }
    return found_path(slice(data, offset, end - offset));
}

} // namespace pathvane
