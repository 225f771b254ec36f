// libFuzzer target for the JSON reader: any byte sequence must either parse or fail with
// an error record, never crash, hang or exhaust memory. A parsed document is written in
// both forms and parsed again, which must succeed and give the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "data/data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto doc = ParseJson(data, size);
  if (!doc) {
    if (JsonErrorMessage().empty() || JsonErrorLine() < 1 || JsonErrorPosition() < 1) std::abort();
    return 0;
  }
  std::string compact = ComposeJson(doc->root, 0);
  auto again = ParseJson(compact);
  if (!again) std::abort();
  if (ComposeJson(again->root, 0) != compact) std::abort();
  // Pretty text grows with depth squared; keep it to shallow-enough inputs.
  if (size < 4096) {
    std::string pretty = ComposeJson(doc->root, 1);
    auto third = ParseJson(pretty);
    if (!third || ComposeJson(third->root, 0) != compact) std::abort();
  }
  return 0;
}
