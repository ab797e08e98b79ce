#include "core/storage/path_text.hpp"

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
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    bool truncated = false;
    const std::size_t n = sequence_at(bytes, i, bad, truncated);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The code point of the valid sequence of `n` bytes at the start of `seq`.
char32_t decode(std::string_view seq, std::size_t n) {
  const auto byte = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(seq[k])); };
  char32_t c = n == 1 ? byte(0) : byte(0) & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (byte(k) & 0x3F);
  return c;
}

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    std::size_t bad = 0;
    bool truncated = false;
    const std::size_t n = sequence_at(text, 0, bad, truncated);
    if (n == 0 || !is_white_space(decode(text, n))) break;
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    // The last character starts at the last byte that is no continuation
    // byte; it counts only when it is one valid sequence reaching the end.
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 && is_continuation(text[start])) --start;
    std::size_t bad = 0;
    bool truncated = false;
    const std::size_t n = sequence_at(text, start, bad, truncated);
    if (n == 0 || start + n != text.size() || !is_white_space(decode(text.substr(start), n))) break;
    text.remove_suffix(n);
  }
  return text;
}

bool is_blank_text(std::string_view text) { return trim_white_space(text).empty(); }

}  // namespace vorpel
