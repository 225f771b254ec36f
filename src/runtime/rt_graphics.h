// Rules of images and text that every back end applies the same way. No toolkit or
// system type here.
#pragma once

#include <string>
#include <string_view>

namespace rt {

// The largest image a decode may produce: installed skin files are ours, bytes from the
// network (CatchUntrustedImage) get the tighter bound.
struct DecodeLimit {
  long long side = 16384;
  long long pixels = 64LL * 1024 * 1024;
};
DecodeLimit UntrustedDecodeLimit();
bool SizeAllowed(long long width, long long height, DecodeLimit limit = {});
// Skin images and artwork are small; a file of hundreds of MB is not one of them.
constexpr long long kMaxImageFileBytes = 256LL * 1024 * 1024;

// Without "no prefix", "&x" shows x and "&&" shows "&", as DrawText does.
std::string StripPrefixes(std::string_view text);

}  // namespace rt
