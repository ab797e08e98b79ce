// libFuzzer target for the manifest reader: any byte string reads as a
// manifest or fails with a well-formed report; nothing may crash or hang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/storage/manifest.hpp"
#include "core/storage/path_text.hpp"
#include "fuzz/report_check.hpp"

using vorpel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto manifest = vorpel::parse_raw_manifest(text);
  if (!manifest) {
    vorpel::fuzz::check_report(manifest.error().report);
  } else {
    // Everything read is text the catalogue can show and compare.
    require(vorpel::is_valid_utf8(manifest->name) && vorpel::is_valid_utf8(manifest->description));
    for (const auto& p : manifest->packages) require(vorpel::is_valid_utf8(p));
    for (const auto& m : manifest->manage) require(vorpel::is_valid_utf8(m));
  }
  vorpel::fuzz::check_mark_ignored(text, vorpel::parse_raw_manifest, manifest);
  return 0;
}
