#include "server_mode.h"

#include <cstring>
#include <err.h>

#include "bytes.h"

namespace pathvane {

namespace {

RootRequest scan_up_to_nul(std::string_view seen, std::size_t &offset) {
    const std::size_t end = seen.size();
    RootRequest result;
    std::size_t at = offset;
    for (;;) {
        while (at < end && !is_alpha(seen[at]))
            ++at;
        if (std::string_view rest = slice(seen, at); !rest.starts_with("Root")) {
            // Where a request must start, another word can never become a Root request.
            if (!std::string_view("Root").starts_with(rest))
                result.outcome = RootRequest::Outcome::none;
            return result;
        }
        at += 4;
        if (at == end)
            return result;
        if (is_blank(seen[at])) {
            while (at < end && is_blank(seen[at]))
                ++at;
            if (at == end)
                return result;
            if (is_space(seen[at])) {
                result.outcome = RootRequest::Outcome::empty;
                return result;
            }
            std::size_t path_start = at;
            while (at < end && !is_space(seen[at]))
                ++at;
            if (at == end)
                return result; // the path may still go on in the next read
            return found_path(slice(seen, path_start, at - path_start));
        }
        // Not a Root request ('Rooted', 'Root-x', 'Root' and a newline): pass its line over.
        while (at < end && seen[at] != '\n' && seen[at] != '\r')
            ++at;
        while (at < end && is_space(seen[at]))
            ++at;
        if (at == end)
            return result;
        offset = at;
    }
}

} // namespace

RootRequest found_path(std::string_view path) {
    RootRequest result;
    result.path.reset(::strndup(path.data(), path.size()));
    if (!result.path)
        err(1, "strndup");
    result.outcome = RootRequest::Outcome::found;
    return result;
}

RootRequest scan_root_request(std::string_view data, std::size_t &offset) {
    // A NUL byte sent by the client ends what the recognizer can see; the offset never passes one.
    std::size_t end = data.find('\0', offset);
    if (end == std::string_view::npos)
        end = data.size();
    RootRequest result = scan_up_to_nul(slice(data, 0, end), offset);
    // Nothing after a NUL byte is ever seen: what is still missing can never come.
    if (result.outcome == RootRequest::Outcome::need_more && end < data.size())
        result.outcome = RootRequest::Outcome::none;
    return result;
}

} // namespace pathvane
