// libFuzzer target for the state reader: arbitrary bytes read as
// "state.toml". A failure is a well-formed report; whatever reads must write
// out, read back to the same record and write again to the same text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/storage/user_state.hpp"
#include "fuzz/report_check.hpp"

using vorpel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto state = vorpel::parse_user_state(text);
  vorpel::fuzz::check_mark_ignored(text, vorpel::parse_user_state, state);
  if (!state) {
    vorpel::fuzz::check_report(state.error().report);
    return 0;
  }
  require(state->schema == vorpel::kStateSchema);
  const auto written = vorpel::serialize_user_state(*state);
  require(written.has_value());
  const auto again = vorpel::parse_user_state(*written);
  require(again.has_value() && *again == *state);
  const auto rewritten = vorpel::serialize_user_state(*again);
  require(rewritten.has_value() && *rewritten == *written);
  return 0;
}
