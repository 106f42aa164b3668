#include "text.h"

#include <cstring>

namespace pathvane {

Text &Text::operator<<(std::string_view text) noexcept {
    std::size_t count = text.size() < capacity_ - size_ ? text.size() : capacity_ - size_;
    std::memcpy(buffer_ + size_, text.data(), count);
    size_ += count;
    return *this;
}

Text &Text::operator<<(unsigned long long number) noexcept {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[sizeof digits - ++count] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    return *this << std::string_view(digits + sizeof digits - count, count);
}

std::size_t escape_byte(char c, char quote, char (&out)[4]) noexcept {
    const auto byte = static_cast<unsigned char>(c);
    out[0] = '\\';
    if (byte < 0x20 || byte > 0x7e) {
        out[1] = static_cast<char>('0' + (byte >> 6));
        out[2] = static_cast<char>('0' + ((byte >> 3) & 7));
        out[3] = static_cast<char>('0' + (byte & 7));
        return 4;
    }
    if (c == quote || c == '\\') {
        out[1] = c;
        return 2;
    }
    out[0] = c;
    return 1;
}

Text &Text::quote(std::string_view value, std::size_t limit) noexcept {
    *this << '"';
    std::size_t written = 0;
    for (char c : value) {
        if (written >= limit)
            return *this << "\"...";
        char escaped[4];
        std::size_t length = escape_byte(c, '"', escaped);
        *this << std::string_view(escaped, length);
        written += length;
    }
    return *this << '"';
}

} // namespace pathvane
