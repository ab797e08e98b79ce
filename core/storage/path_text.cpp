#include "core/storage/path_text.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace vorpel {
namespace {

// Length of the valid sequence starting at s[i], or 0 when it is ill-formed;
// `bad_len` then holds the maximal ill-formed subsequence length (at least
// 1), and `truncated` tells whether the fault is only the end of input.
std::size_t sequence_at(std::string_view s, std::size_t i, std::size_t& bad_len, bool& truncated) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  truncated = false;
  if (c < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c == 0xE0) {
    need = 2; lo = 0xA0;
  } else if (c >= 0xE1 && c <= 0xEC) {
    need = 2;
  } else if (c == 0xED) {
    need = 2; hi = 0x9F;
  } else if (c >= 0xEE && c <= 0xEF) {
    need = 2;
  } else if (c == 0xF0) {
    need = 3; lo = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    need = 3;
  } else if (c == 0xF4) {
    need = 3; hi = 0x8F;
  } else {
    bad_len = 1;
    return 0;
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) {
      bad_len = k;
      truncated = true;
      return 0;
    }
    const unsigned char cc = b(i + k);
    const unsigned char l = (k == 1) ? lo : 0x80;
    const unsigned char h = (k == 1) ? hi : 0xBF;
    if (cc < l || cc > h) {
      bad_len = k;
      return 0;
    }
  }
  return need + 1;
}

// Walks `bytes` as UTF-8, calling valid(i, n) for each well-formed sequence
// and bad(i, n) for each maximal ill-formed subsequence.
template <class Valid, class Bad>
void walk_utf8(std::string_view bytes, Valid valid, Bad bad) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad_len = 0;
    bool truncated = false;
    const std::size_t n = sequence_at(bytes, i, bad_len, truncated);
    if (n == 0) {
      bad(i, bad_len);
      i += bad_len;
    } else {
      valid(i, n);
      i += n;
    }
  }
}

}  // namespace

bool check_utf8(std::string_view bytes, Utf8Fault& fault) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    bool truncated = false;
    const std::size_t n = sequence_at(bytes, i, bad, truncated);
    if (n == 0) {
      fault.valid_up_to = i;
      fault.error_len = truncated ? 0 : bad;
      return false;
    }
    i += n;
  }
  return true;
}

bool is_valid_utf8(std::string_view bytes) {
  Utf8Fault fault{};
  return check_utf8(bytes, fault);
}

std::string display_path(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  walk_utf8(
      bytes, [&](std::size_t i, std::size_t n) { out.append(bytes.substr(i, n)); },
      [&](std::size_t, std::size_t) { out += "\xEF\xBF\xBD"; });
  return out;
}

std::string display_named(std::string_view bytes) {
  std::string shown = display_path(bytes);
  std::size_t characters = 0;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    // Counted at each first byte of a sequence; display_path left only valid ones.
    if ((static_cast<unsigned char>(shown[i]) & 0xC0) == 0x80) continue;
    if (++characters > kNamedTextLimit) {
      shown.resize(i);
      return shown + "...";
    }
  }
  return shown;
}

std::string debug_quoted(std::string_view bytes, bool escape_single_quote) {
  std::string out = "\"";
  auto valid = [&](std::size_t i, std::size_t n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9F) {
      // The C1 controls U+0080..U+009F.
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(bytes[i + 1]));
    } else if (n > 1) {
      out.append(bytes.substr(i, n));
    } else if (c == '"' || c == '\\' || (c == '\'' && escape_single_quote)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\0') {
      out += "\\0";
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{{{:x}}}", c);
    } else {
      out += static_cast<char>(c);
    }
  };
  auto bad = [&](std::size_t i, std::size_t n) {
    for (std::size_t k = i; k < i + n; ++k) out += fmt::format("\\x{:02X}", static_cast<unsigned char>(bytes[k]));
  };
  walk_utf8(bytes, valid, bad);
  return out + "\"";
}

namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  // One forward walk: the first and the last sequence that is not white
  // space bound the result. Ill-formed bytes are content.
  std::size_t begin = text.size();
  std::size_t end = 0;
  const auto content = [&](std::size_t i, std::size_t n) {
    begin = std::min(begin, i);
    end = i + n;
  };
  walk_utf8(
      text,
      [&](std::size_t i, std::size_t n) {
        const auto byte = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k])); };
        char32_t c = n == 1 ? byte(0) : byte(0) & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (byte(k) & 0x3F);
        if (!is_white_space(c)) content(i, n);
      },
      content);
  return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

bool is_blank_text(std::string_view text) { return trim_white_space(text).empty(); }

}  // namespace vorpel
