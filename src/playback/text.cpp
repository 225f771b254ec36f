// Titles as they arrive from the network: bytes in whatever encoding the server chose.
// The general text routines are in base/text.h.
#include <string>

#include "playback/playback.h"

namespace {

// Drops C0 and C1 control characters (and DEL) from valid UTF-8 text, so that escape
// sequences in a title never reach a terminal, the log file or a window.
std::string DropControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < text.size()) {
      unsigned char d = static_cast<unsigned char>(text[i + 1]);
      if (d >= 0x80 && d <= 0x9F) {
        ++i;
        continue;
      }
    }
    out += char(c);
  }
  return out;
}

}  // namespace

std::string DecodeStreamText(std::string_view bytes, int legacy) {
  size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  // The legacy server sends 8-bit text; others mostly UTF-8, but Latin-1 titles are
  // common from any server and must not turn into replacement characters.
  if (!legacy && IsValidUtf8(bytes)) return DropControls(std::string(bytes));
  return DropControls(Cp1252ToUtf8(bytes));
}
