#include "events/unicode.h"
#include "platform/utf16.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace {

std::u16string fromUtf8(const std::string& utf8) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    // Preflight, then convert; bytes that are not UTF-8 become U+FFFD.
    u_strFromUTF8WithSub(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()),
                         0xFFFD, nullptr, &status);
    std::u16string units(static_cast<std::size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(platform::icuChars(units.data()), length, &length, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    return U_SUCCESS(status) ? units : std::u16string();
}

std::string toUtf8(const std::u16string& units) {
    return platform::utf8FromUtf16(units);
}

template <typename Mapping> std::string mapCase(const std::string& utf8, Mapping mapping) {
    const std::u16string units = fromUtf8(utf8);
    UErrorCode status = U_ZERO_ERROR;
    // The root locale ("") gives the default mappings, whatever the user's locale.
    const int32_t length = mapping(nullptr, 0, platform::icuChars(units.data()),
                                   static_cast<int32_t>(units.size()), "", &status);
    std::u16string mapped(static_cast<std::size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    mapping(platform::icuChars(mapped.data()), length, platform::icuChars(units.data()),
            static_cast<int32_t>(units.size()), "", &status);
    return U_SUCCESS(status) ? toUtf8(mapped) : std::string();
}

} // namespace

std::string upperCase(const std::string& utf8) {
    return mapCase(utf8, u_strToUpper);
}

std::string lowerCase(const std::string& utf8) {
    return mapCase(utf8, u_strToLower);
}

std::u16string utf16(const std::string& utf8) {
    return fromUtf8(utf8);
}

std::string validUtf8(const std::string& bytes) {
    return toUtf8(fromUtf8(bytes));
}

std::string utf8(const std::u16string& units) {
    return toUtf8(units);
}

std::string utf8(const std::u32string& characters) {
    std::u16string units;
    for (const char32_t c : characters) {
        UChar pair[2];
        int32_t length = 0;
        U16_APPEND_UNSAFE(pair, length, static_cast<UChar32>(c));
        units.append(reinterpret_cast<const char16_t*>(pair), static_cast<std::size_t>(length));
    }
    return toUtf8(units);
}
