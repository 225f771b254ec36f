#include "icy.h"

#include <algorithm>
#include <cstring>

namespace audiolib {

uint32_t ParseIcyMetaint(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
    value.remove_suffix(1);
  if (value.empty() || value.size() > 9) return 0;  // 9 digits cannot overflow the check below
  uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + uint64_t(c - '0');
  }
  if (n == 0 || n > kIcyMaxMetaint) return 0;
  return uint32_t(n);
}

void IcyFeed(IcyDemux& d, const uint8_t* data, size_t length, IcyAudioFn audio, IcyMetaFn meta, void* context) {
  if (d.metaint == 0) {
    if (length) audio(context, data, length);
    return;
  }
  while (length > 0) {
    if (d.inMeta) {
      const size_t take = std::min<size_t>(length, d.metaLength - d.block.size());
      d.block.append(reinterpret_cast<const char*>(data), take);
      data += take;
      length -= take;
      if (d.block.size() == d.metaLength) {
        // A full block of 255 * 16 bytes has no NUL of its own: the string ends it.
        const size_t nul = d.block.find('\0');
        std::string text = nul == std::string::npos ? d.block : d.block.substr(0, nul);
        d.block.clear();
        d.inMeta = false;
        d.untilMeta = d.metaint;
        if (!text.empty()) meta(context, text);
      }
    } else if (d.wantLength) {
      d.wantLength = false;
      d.metaLength = uint32_t(data[0]) * 16;
      ++data;
      --length;
      if (d.metaLength == 0) {
        d.untilMeta = d.metaint;
      } else {
        d.inMeta = true;
        d.block.clear();
        d.block.reserve(d.metaLength);
      }
    } else {
      const size_t take = std::min<size_t>(length, d.untilMeta);
      if (take) audio(context, data, take);
      data += take;
      length -= take;
      d.untilMeta -= uint32_t(take);
      if (d.untilMeta == 0) d.wantLength = true;
    }
  }
}

}  // namespace audiolib
