// Checks shared by the fuzz targets: the shape of a TOML reading report.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

#include "core/storage/path_text.hpp"

namespace vorpel::fuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// A report is either framed ("TOML parse error at line L, column C", a
// gutter line, the numbered source line, a gutter line with at least one
// caret, then the message) or the message alone on one line. Either way it
// is UTF-8 and ends with a newline.
inline void check_report(std::string_view report) {
  require(!report.empty() && report.back() == '\n');
  require(is_valid_utf8(report));
  constexpr std::string_view kHead = "TOML parse error at line ";
  if (!report.starts_with(kHead)) {
    require(report.find('\n') == report.size() - 1 && report.size() > 1);
    return;
  }
  std::string_view rest = report;
  const auto next_line = [&rest] {
    const std::size_t nl = rest.find('\n');
    require(nl != std::string_view::npos);
    const std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    return line;
  };
  const std::string_view head = next_line();
  require(head.find(", column ") != std::string_view::npos);
  const std::string_view gutter = next_line();
  require(gutter.ends_with("|") && gutter.find_first_not_of(' ') == gutter.size() - 1);
  const std::string_view source = next_line();
  require(source.size() >= gutter.size() + 1 && source.substr(gutter.size() - 1, 2) == "| ");
  const std::string_view carets = next_line();
  require(carets.starts_with(gutter) && carets.find('^') != std::string_view::npos);
  require(carets.find_first_not_of(' ', gutter.size()) == carets.find('^'));
  require(!rest.empty() && rest != "\n");  // the message
}

// A leading byte-order mark changes nothing, neither record nor report:
// `parse` of the marked text gives what `plain` (of the text itself) holds.
template <class Parse, class Result>
void check_mark_ignored(std::string_view text, Parse parse, const Result& plain) {
  if (text.starts_with("\xEF\xBB\xBF")) return;
  const auto marked = parse("\xEF\xBB\xBF" + std::string(text));
  require(marked.has_value() == plain.has_value());
  require(plain ? *marked == *plain : marked.error().report == plain.error().report);
}

}  // namespace vorpel::fuzz
