// Texts from modules arrive as bytes: display modules send their fixed texts
// in code page 936. They are shown as UTF-8, whatever they were.
#ifndef VELKHOST_TEXT_ENCODING_H
#define VELKHOST_TEXT_ENCODING_H

#include <string>

namespace velkhost {

// `bytes` unchanged when it is UTF-8 already; else converted from code page
// 936; bytes that neither explains are shown as \xNN.
std::string DisplayText(const std::string& bytes);

}  // namespace velkhost

#endif
