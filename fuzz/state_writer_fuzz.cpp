// libFuzzer target for the state writer: a record built from the input
// (any strings, ids and paths) either is refused for text that is not UTF-8
// or is written in the pretty layout and reads back equal.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/storage/path_text.hpp"
#include "core/storage/user_state.hpp"
#include "fuzz/report_check.hpp"

using vorpel::fuzz::require;

namespace {

std::string some_text(FuzzedDataProvider& in) { return in.ConsumeRandomLengthString(24); }

vorpel::UserState build_state(FuzzedDataProvider& in) {
  vorpel::UserState state;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) state.schema = in.ConsumeIntegral<std::uint32_t>();
  if (in.ConsumeBool()) state.active_profile = some_text(in);
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) state.introduced_packages.insert(some_text(in));
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
    vorpel::ProfileState entry{.name = some_text(in), .description = some_text(in), .packages = {}, .manage = {}};
    for (int k = in.ConsumeIntegralInRange<int>(0, 3); k > 0; --k) entry.packages.insert(some_text(in));
    for (int k = in.ConsumeIntegralInRange<int>(0, 4); k > 0; --k) entry.manage.insert(some_text(in));
    state.profiles.insert_or_assign(some_text(in), std::move(entry));
  }
  return state;
}

bool all_utf8(const vorpel::UserState& s, bool paths) {
  using vorpel::is_valid_utf8;
  bool ok = true;
  if (!paths) {
    ok = !s.active_profile || is_valid_utf8(*s.active_profile);
    for (const auto& p : s.introduced_packages) ok = ok && is_valid_utf8(p);
  }
  for (const auto& [id, e] : s.profiles) {
    if (paths) {
      for (const auto& m : e.manage) ok = ok && is_valid_utf8(m);
    } else {
      ok = ok && is_valid_utf8(id) && is_valid_utf8(e.name) && is_valid_utf8(e.description);
      for (const auto& p : e.packages) ok = ok && is_valid_utf8(p);
    }
  }
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const vorpel::UserState state = build_state(in);
  const auto written = vorpel::serialize_user_state(state);
  if (!written) {
    require(written.error() == "path contains invalid UTF-8 characters" ||
            written.error() == "string contains invalid UTF-8 characters");
    require(!all_utf8(state, written.error().starts_with("path")));
    return 0;
  }
  require(all_utf8(state, true) && all_utf8(state, false));
  // Layout: every line ends with a newline, no trailing blanks, no two
  // blank lines in a row.
  const std::string& text = *written;
  require(!text.empty() && text.back() == '\n');
  require(text.find(" \n") == std::string::npos && text.find("\n\n\n") == std::string::npos);

  const auto read = vorpel::parse_user_state(text);
  if (state.schema != vorpel::kStateSchema) {
    require(!read && read.error().report == "unsupported state schema " + std::to_string(state.schema) +
                                               "; expected 5\n");
    return 0;
  }
  require(read.has_value() && *read == state);
  return 0;
}
