// Parsing byte strings (header only): the POSIX locale's character classes, slices and cuts.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace pathvane {

// Character classes of the POSIX locale; bytes above 0x7F belong to none of them.
constexpr bool is_space(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    return b == ' ' || (b >= '\t' && b <= '\r');
}
constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}
constexpr bool is_alpha(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}
constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
constexpr bool is_alnum(char c) noexcept {
    return is_alpha(c) || is_digit(c);
}

// The bytes of `text` from `from` on, at most `count` of them; `from` must not pass the end.
// (string_view::substr checks that again, and its check pulls the C++ runtime's exception
// support, with a static initialiser, into the program.)
constexpr std::string_view slice(std::string_view text, std::size_t from,
                                 std::size_t count = std::string_view::npos) noexcept {
    std::size_t left = text.size() - from;
    return {text.data() + from, count < left ? count : left};
}

// The bytes of `text` before its first `c`; all of them where it holds none.
inline std::string_view cut_at(std::string_view text, char c) noexcept {
    const void *found = text.empty() ? nullptr : std::memchr(text.data(), c, text.size());
    return found == nullptr
               ? text
               : slice(text, 0,
                       static_cast<std::size_t>(static_cast<const char *>(found) - text.data()));
}

} // namespace pathvane
