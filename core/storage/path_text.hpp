// Text forms of byte-string paths.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorpel {

// The path's bytes read as UTF-8, each maximal ill-formed subsequence
// replaced by one U+FFFD; nothing else changes. Every message, report line
// and JSON string that shows a path goes through this.
std::string display_path(std::string_view bytes);

// How many characters of a value a refusal names.
inline constexpr std::size_t kNamedTextLimit = 200;

// display_path cut after kNamedTextLimit characters, with "..." after them:
// the form of a value that a refusal names, so that a file of megabytes
// cannot make a message of megabytes.
std::string display_named(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The text in double quotes with the escapes of a debug rendering: '"' and
// '\\' escaped, "\n", "\r", "\t" and "\0" spelled so, every other control
// character as "\u{hex}", and each byte that is not part of valid UTF-8 as
// "\xHH". `escape_single_quote` also escapes "'", as the rendering of an
// operating-system string (an environment value) does.
std::string debug_quoted(std::string_view bytes, bool escape_single_quote = false);

// Length of the longest valid UTF-8 prefix of `bytes`, and for the first
// fault after it the length of the maximal ill-formed subsequence (0 when
// the input ends inside an otherwise valid sequence).
struct Utf8Fault {
  std::size_t valid_up_to;
  std::size_t error_len;  // 0: incomplete sequence at the end
};
// Returns true when `bytes` is valid; otherwise fills `fault`.
bool check_utf8(std::string_view bytes, Utf8Fault& fault);

// `text` without the Unicode White_Space characters at both ends. Bytes
// that are not UTF-8 count as content and are never trimmed.
std::string_view trim_white_space(std::string_view text);

// True when nothing is left of `text` once the Unicode White_Space
// characters are removed from both ends (the empty text included). Bytes
// that are not UTF-8 count as content.
bool is_blank_text(std::string_view text);

}  // namespace vorpel
