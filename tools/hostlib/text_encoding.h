// Texts from modules arrive as bytes: display modules send their fixed texts
// in code page 936. They are shown as UTF-8, whatever they were.
#ifndef VELKHOST_TEXT_ENCODING_H
#define VELKHOST_TEXT_ENCODING_H

#include <string>

namespace velkhost {

// `bytes` unchanged when it is UTF-8 already; else converted from code page
// 936; bytes that neither explains are shown as \xNN.
std::string DisplayText(const std::string& bytes);

// The system's conversion from code page 936 to UTF-8; false when the bytes
// are not valid there or the system cannot convert.
bool ConvertFromCodePage936(const std::string& bytes, std::string* utf8);

}  // namespace velkhost

#endif
