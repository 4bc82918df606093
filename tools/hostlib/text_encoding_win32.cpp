#include <windows.h>

#include "text_encoding.h"

namespace hostlib {

bool ConvertFromCodePage936(const std::string& bytes, std::string* utf8) {
  if (bytes.empty()) {
    utf8->clear();
    return true;
  }
  const int inLength = static_cast<int>(bytes.size());
  const int wide = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), inLength, nullptr, 0);
  if (wide <= 0) return false;
  std::wstring text(static_cast<size_t>(wide), L'\0');
  if (MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), inLength, &text[0], wide) != wide) return false;
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return false;
  utf8->assign(static_cast<size_t>(length), '\0');
  return WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, &(*utf8)[0], length, nullptr, nullptr) == length;
}

}  // namespace hostlib
