// Strict UTF-8 validation for the texts a producer hands over: what Python's own decoder accepts, so that a
// record's text always reads back as a str. Pure: no Python header.
#pragma once

#include <cstddef>
#include <string_view>

#pragma GCC visibility push(hidden)  // one copy per binary (producer.hpp says why)

namespace kavno {

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates (U+D800 to U+DFFF), nothing above
// U+10FFFF, no sequence cut short. NUL bytes are ordinary characters.
constexpr bool is_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    const std::size_t size = text.size();
    while (i < size) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte, narrowed by the lead byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // below: overlong
            if (lead == 0xED) high = 0x9F;  // above: surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // below: overlong
            if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
        } else {
            return false;  // a continuation byte, C0, C1 or F5 to FF
        }
        if (size - i < length) return false;
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (second < low || second > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace kavno

#pragma GCC visibility pop
