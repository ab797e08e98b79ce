// Text forms of byte-string paths.
#pragma once

#include <string>
#include <string_view>

namespace vorpel {

// The path's bytes read as UTF-8, each maximal ill-formed subsequence
// replaced by one U+FFFD; nothing else changes. Every message, report line
// and JSON string that shows a path goes through this.
std::string display_path(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// Length of the longest valid UTF-8 prefix of `bytes`, and for the first
// fault after it the length of the maximal ill-formed subsequence (0 when
// the input ends inside an otherwise valid sequence).
struct Utf8Fault {
  std::size_t valid_up_to;
  std::size_t error_len;  // 0: incomplete sequence at the end
};
// Returns true when `bytes` is valid; otherwise fills `fault`.
bool check_utf8(std::string_view bytes, Utf8Fault& fault);

// `text` without the Unicode White_Space characters at either end. Bytes
// that are not UTF-8 count as content and stop the trimming.
std::string_view trim_white_space(std::string_view text);

// True when nothing is left of `text` once trimmed (the empty text included).
bool is_blank_text(std::string_view text);

}  // namespace vorpel
