// Unicode helpers: full default case mappings, independent of locale, and UTF-16.
#pragma once

#include <string>

std::string upperCase(const std::string& utf8);
std::string lowerCase(const std::string& utf8);
std::u16string utf16(const std::string& utf8);
// The text with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& bytes);
// UTF-16 or UTF-32 text as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8(const std::u16string& units);
std::string utf8(const std::u32string& characters);
