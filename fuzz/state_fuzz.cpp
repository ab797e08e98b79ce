// Reads arbitrary bytes as "state.toml". Whatever reads must write back out
// and read again to the same record and the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/storage/path_text.hpp"
#include "core/storage/user_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The loader hands over UTF-8 text only.
  if (!vorpel::is_valid_utf8(text)) return 0;
  const auto state = vorpel::parse_user_state(text);
  if (!state) {
    if (state.error().report.empty() || state.error().report.back() != '\n') std::abort();
    return 0;
  }
  const auto written = vorpel::serialize_user_state(*state);
  if (!written) std::abort();
  const auto again = vorpel::parse_user_state(*written);
  if (!again || !(*again == *state)) std::abort();
  const auto rewritten = vorpel::serialize_user_state(*again);
  if (!rewritten || *rewritten != *written) std::abort();
  return 0;
}
