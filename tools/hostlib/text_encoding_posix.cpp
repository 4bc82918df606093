#include <iconv.h>

#include "text_encoding.h"

namespace hostlib {

bool ConvertFromCodePage936(const std::string& bytes, std::string* utf8) {
  iconv_t convert = iconv_open("UTF-8", "GBK");
  if (convert == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = bytes;
  std::string out(bytes.size() * 4 + 4, '\0');
  char* inPtr = &in[0];
  size_t inLeft = in.size();
  char* outPtr = &out[0];
  size_t outLeft = out.size();
  const size_t done = iconv(convert, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(convert);
  if (done == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  *utf8 = out;
  return true;
}

}  // namespace hostlib
