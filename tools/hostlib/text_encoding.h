// Texts from modules arrive as bytes: display modules send their fixed texts
// in code page 936. They are shown as UTF-8, whatever they were.
#ifndef VELK_HOSTLIB_TEXT_ENCODING_H
#define VELK_HOSTLIB_TEXT_ENCODING_H

#include <string>

namespace hostlib {

// `bytes` unchanged when it is UTF-8 already; else converted from code page
// 936; bytes that neither explains are shown as \xNN.
std::string DisplayText(const std::string& bytes);

// The system's conversion from code page 936 to UTF-8; false when the bytes
// are not valid there or the system cannot convert.
bool ConvertFromCodePage936(const std::string& bytes, std::string* utf8);

// The columns `utf8` takes on a terminal: East Asian wide characters take
// two, combining marks none, everything else one.
size_t DisplayWidth(const std::string& utf8);

// `utf8` filled with spaces to `width` columns (never cut); when `right`,
// the spaces go first.
std::string PadToWidth(const std::string& utf8, size_t width, bool right = false);

// `utf8` cut to at most `width` columns, a cut text ending in '~'.
std::string CutToWidth(const std::string& utf8, size_t width);

}  // namespace hostlib

#endif
