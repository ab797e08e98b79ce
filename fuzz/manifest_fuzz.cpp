// libFuzzer target: any byte string must read as a manifest or fail with a
// report ending in a newline; nothing may crash or hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/storage/manifest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = vorpel::parse_raw_manifest(text);
  if (!manifest && (manifest.error().report.empty() || manifest.error().report.back() != '\n')) std::abort();
  return 0;
}
