// UTF-16 to UTF-8, shared by the core and the backends that need it.
#pragma once

#include <cstdint>
#include <string>

#include <unicode/ustring.h>

namespace platform {

// The code units as UTF-8; a lone surrogate becomes U+FFFD.
inline std::string utf8FromUtf16(const std::u16string& units) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strToUTF8WithSub(nullptr, 0, &length, units.data(), static_cast<int32_t>(units.size()),
                       0xFFFD, nullptr, &status);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8WithSub(utf8.data(), length, &length, units.data(),
                       static_cast<int32_t>(units.size()), 0xFFFD, nullptr, &status);
    return U_SUCCESS(status) ? utf8 : std::string();
}

} // namespace platform
