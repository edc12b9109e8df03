// UTF-8 rules shared by every layer: which texts are well-formed, and where
// a bounded copy may cut one without splitting a character.
#pragma once

#include <cstddef>
#include <string_view>

namespace vue {

// True when `text` is well-formed UTF-8: no stray continuation byte, no
// truncated sequence, no overlong form, no encoded surrogate, nothing above
// U+10FFFF.
bool utf8_is_valid(std::string_view text);

// Length of the longest prefix of `text` that is at most `bound` bytes and
// does not end inside a multi-byte character. ASCII is cut exactly at the
// bound.
size_t utf8_cut_length(std::string_view text, size_t bound);

}  // namespace vue
