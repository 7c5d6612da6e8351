// UTF-16 text as characters and as UTF-8, shared by the core and the backends that need
// it.
#pragma once

#include <cstdint>
#include <string>

#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace platform {

// ICU's UChar is char16_t with ICU's own headers and uint16_t with Apple's libicucore
// headers; the code units are the same either way.
inline const UChar* icuChars(const char16_t* units) {
    return reinterpret_cast<const UChar*>(units);
}
inline UChar* icuChars(char16_t* units) {
    return reinterpret_cast<UChar*>(units);
}

// The code units as UTF-8; a lone surrogate becomes U+FFFD.
inline std::string utf8FromUtf16(const std::u16string& units) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strToUTF8WithSub(nullptr, 0, &length, icuChars(units.data()),
                       static_cast<int32_t>(units.size()), 0xFFFD, nullptr, &status);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8WithSub(utf8.data(), length, &length, icuChars(units.data()),
                       static_cast<int32_t>(units.size()), 0xFFFD, nullptr, &status);
    return U_SUCCESS(status) ? utf8 : std::string();
}

// How many code units the character at units[i] takes: 2 for a surrogate pair, otherwise
// 1 (a lone surrogate is a character of its own). A pair is one character because it
// travels as one: a receiver given its halves apart sees two broken characters.
inline std::size_t characterLength(const std::u16string& units, std::size_t i) {
    return U16_IS_LEAD(units[i]) && i + 1 < units.size() && U16_IS_TRAIL(units[i + 1]) ? 2 : 1;
}

// The code point of the character at units[i]; a lone surrogate stands for itself.
inline char32_t codePoint(const std::u16string& units, std::size_t i = 0) {
    if (i >= units.size())
        return 0;
    if (characterLength(units, i) == 2)
        return static_cast<char32_t>(U16_GET_SUPPLEMENTARY(units[i], units[i + 1]));
    return units[i];
}

} // namespace platform
