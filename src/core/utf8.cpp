#include "core/utf8.h"

namespace vue {

bool utf8_is_valid(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char *end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;       // overlong
            if (c == 0xED) hi = 0x9F;       // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;       // overlong
            if (c == 0xF4) hi = 0x8F;       // above U+10FFFF
        } else {
            return false;  // stray continuation, C0/C1 overlong lead, F5..FF
        }
        if (static_cast<size_t>(end - p) <= need) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (size_t i = 2; i <= need; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += need + 1;
    }
    return true;
}

size_t utf8_cut_length(std::string_view text, size_t bound) {
    if (text.size() <= bound) return text.size();
    size_t cut = bound;
    // Back off over continuation bytes to the lead byte of the character
    // that the bound would split; a character is never longer than 4 bytes.
    size_t steps = 0;
    while (cut > 0 && steps < 4 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
        ++steps;
    }
    if (steps == 4) return bound;  // not UTF-8 at all: keep the plain byte bound
    return cut;
}

}  // namespace vue
