// Text built without printf or allocation (text.cpp), and its escaping: the routing record's
// fields and the checker's quotes.
#pragma once

#include <cstddef>
#include <string_view>

namespace pathvane {

// Text built in place, in a buffer of the caller's: no allocation, and what does not fit is cut
// off. It formats numbers itself: printf's first call in a process costs more than the rest of
// a line of text.
class Text {
  public:
    Text(char *buffer, std::size_t capacity) noexcept : buffer_(buffer), capacity_(capacity) {}
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    Text &operator<<(std::string_view text) noexcept;
    Text &operator<<(char c) noexcept { return *this << std::string_view(&c, 1); }
    Text &operator<<(unsigned long long number) noexcept;
    // Adds `value` between double quotes, escaped so that any byte of it reads back
    // unambiguously and it can neither end the line nor the quotes early: '"' and '\' after a
    // '\', and every byte outside printable ASCII as '\' and three octal digits (strvis(3) does
    // much the same where the C library has it). Past `limit` bytes it is cut short, with
    // "..." after its closing quote.
    Text &quote(std::string_view value, std::size_t limit) noexcept;

    std::string_view view() const noexcept { return {buffer_, size_}; }

  private:
    char *buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

// How quoted text shows the byte `c`, written to `out`: itself; after a '\' where it is `quote`
// or '\'; or, outside printable ASCII, as '\' and three octal digits. Returns its length.
std::size_t escape_byte(char c, char quote, char (&out)[4]) noexcept;

// A Text with a buffer of `Size` bytes of its own.
template <std::size_t Size> class FixedText : public Text {
  public:
    FixedText() noexcept : Text(storage_, Size) {}

  private:
    char storage_[Size];
};

} // namespace pathvane
