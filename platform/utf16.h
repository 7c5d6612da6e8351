// UTF-16 to UTF-8, shared by the core and the backends that need it.
#pragma once

#include <cstdint>
#include <string>

#include <unicode/ustring.h>

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

} // namespace platform
