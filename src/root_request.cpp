#include "server_mode.h"

#include <cstring>
#include <err.h>

namespace pathvane {

namespace {

bool byte_is(std::string_view data, std::size_t at, bool (*test)(unsigned char) noexcept) {
    return test(static_cast<unsigned char>(data[at]));
}

} // namespace

RootRequest scan_root_request(std::string_view data, std::size_t &offset) {
    // A NUL byte sent by the client ends what the recognizer can see; the offset never passes one.
    std::size_t end = data.find('\0', offset);
    if (end == std::string_view::npos)
        end = data.size();
    std::string_view seen = slice(data, 0, end);

    RootRequest result;
    std::size_t at = offset;
    for (;;) {
        while (at < end && !byte_is(seen, at, is_alpha))
            ++at;
        if (!slice(seen, at).starts_with("Root"))
            return result;
        at += 4;
        if (at == end)
            return result;
        if (byte_is(seen, at, is_blank)) {
            while (at < end && byte_is(seen, at, is_blank))
                ++at;
            if (at == end)
                return result;
            if (byte_is(seen, at, is_space)) {
                result.outcome = RootRequest::Outcome::empty;
                return result;
            }
            std::size_t path_start = at;
            while (at < end && !byte_is(seen, at, is_space))
                ++at;
            if (at == end)
                return result; // the path may still go on in the next read
            result.path.reset(::strndup(seen.data() + path_start, at - path_start));
            if (!result.path)
                err(1, "strndup");
            result.outcome = RootRequest::Outcome::found;
            return result;
        }
        // Not a Root request ('Rooted', 'Root-x', 'Root' and a newline): pass its line over.
        while (at < end && seen[at] != '\n' && seen[at] != '\r')
            ++at;
        while (at < end && byte_is(seen, at, is_space))
            ++at;
        if (at == end)
            return result;
        offset = at;
    }
}

} // namespace pathvane
