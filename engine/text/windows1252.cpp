#include "engine/text/windows1252.h"

#include "engine/text/utf8.h"

namespace veltor {

std::string Utf8FromWindows1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) AppendUtf8(out, Windows1252ToUnicode(static_cast<uint8_t>(c)));
  return out;
}

}  // namespace veltor
