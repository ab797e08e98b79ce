// The pre-scan of TOML documents, before the parser sees them: a depth
// limit, and no byte outside strings and comments that TOML allows only
// inside them.
//
// The parser builds one nested table per part of a dotted key or table
// header, and one node per array or inline table, and frees that tree (and
// finishes it after parsing) by recursion. Only arrays and inline tables are
// limited by the parser itself; a key of some 30,000 parts exhausts an
// 8 MiB stack. So the text is scanned first, without recursion, and a
// document nesting deeper than the limit is refused.
//
// Depth counts the levels of the document's tree: each part of a table
// header ([a.b] reaches 2, [[a.b]] 3 with its element table), each part of a key below its table or
// inline table, and each array or inline table opened as a value or array
// element. So `[a.b]` followed by `c.d = [{ e = 1 }]` reaches 2 + 2 + 1 + 1 + 1.
// (A header part that passes through an earlier array of tables goes one
// level deeper than counted, so the tree is at most twice as deep as the
// limit.) Strings (all four forms) and comments are skipped. The scan is lenient:
// text that is not TOML is left for the parser to refuse.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vorpel {

// Far above any real document (the parser's own limit for nested arrays and
// inline tables is also 256), far below the depth that exhausts the stack
// (about 30,000 levels with an 8 MiB stack).
inline constexpr std::size_t kMaxTomlNesting = 256;

// The first fault of the scan. Nesting: the byte span of the key part or the
// opening bracket that goes one level too deep. StrayCharacter: the byte
// span of the character (a whole UTF-8 sequence where it is one, else the
// byte) that stands outside strings and comments. AfterBackslash: that of a
// non-ASCII character in a multi-line basic string right after a backslash,
// or first after the blanks and line breaks a line-ending backslash trims.
struct TomlScanFault {
  enum class Kind { Nesting, StrayCharacter, AfterBackslash };
  Kind kind = Kind::Nesting;
  std::size_t offset = 0;
  std::size_t length = 0;
};

std::optional<TomlScanFault> prescan_toml(std::string_view text, std::size_t limit = kMaxTomlNesting);

// Lexical pieces of raw TOML text, for the scans that read it without the
// parser (this one and the reader's search for a duplicated key).
bool is_toml_bare_key_char(char c);

// Where the string (any of the four forms) whose opening quote is at
// `start` ends: just past its closing delimiter, or, when it is not closed,
// at the line break or the end of the text where it stops.
struct TomlStringEnd {
  std::size_t offset = 0;
  bool closed = false;
};
TomlStringEnd toml_string_end(std::string_view text, std::size_t start);

}  // namespace vorpel
