#include "core/storage/core_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "core/storage/path_text.hpp"

namespace vorpel {
namespace {

TEST(CoreError, TextAndChainOfEachVariant) {
  const auto msg = CoreError::message("invalid package name a b");
  EXPECT_EQ(msg.text(), "invalid package name a b");
  EXPECT_EQ(msg.chain(), std::vector<std::string>{"invalid package name a b"});

  const auto io = core_io_error("/x/state.toml", OsError::from_errno(ENOENT));
  EXPECT_EQ(io.text(), "I/O at /x/state.toml: No such file or directory (os error 2)");
  EXPECT_EQ(io.chain().back(), "No such file or directory (os error 2)");
  EXPECT_TRUE(io.as_io()->source.is_not_found());

  const auto toml = CoreError::toml("/p/profile.toml", TomlError{"missing field `schema`\n"});
  EXPECT_EQ(toml.text(), "invalid manifest /p/profile.toml: missing field `schema`\n");
  EXPECT_EQ(toml.chain().size(), 2u);
}

TEST(CoreError, PathShownWithReplacementCharacter) {
  const auto io = core_io_error("/tmp/a\xFF" "b", OsError::invalid_utf8());
  EXPECT_EQ(io.text(), "I/O at /tmp/a\xEF\xBF\xBD" "b: stream did not contain valid UTF-8");
}

TEST(DisplayPath, MaximalSubpartsBecomeOneReplacementEach) {
  const std::string r = "\xEF\xBF\xBD";
  const struct { std::string in, out; } cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"a\xFF", "a" + r},
      {"\xE2\x82", r},              // truncated three-byte sequence: one subpart
      {"\xE2\x82x", r + "x"},
      {"\xF0\x9F\x98", r},
      {"\xED\xA0\x80", r + r + r},  // surrogate: lead refuses its second byte
      {"\xC0\xAF", r + r},
      {"\x80\x80", r + r},
  };
  for (const auto& c : cases) EXPECT_EQ(display_path(c.in), c.out);
}

TEST(DebugQuoted, EscapesControlsQuotesAndBadBytes) {
  const struct {
    std::string in;
    bool single;
    std::string out;
  } cases[] = {
      {"plain \xC3\xA9", false, "\"plain \xC3\xA9\""},
      {"q\"b\\", false, "\"q\\\"b\\\\\""},
      {"it's", false, "\"it's\""},
      {"it's", true, "\"it\\'s\""},
      {std::string("\n\r\t\0\x01\x7F", 6), false, "\"\\n\\r\\t\\0\\u{1}\\u{7f}\""},
      {"\xC2\x85", false, "\"\\u{85}\""},
      {"/h\xFFx", true, "\"/h\\xFFx\""},
      {"a\xE2\x82", false, "\"a\\xE2\\x82\""},
      {"\xE2\x82x\xC0", false, "\"\\xE2\\x82x\\xC0\""},
  };
  for (const auto& c : cases) EXPECT_EQ(debug_quoted(c.in, c.single), c.out) << c.in;
}

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
  const struct { std::string in, out; } cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"\u00A0\u1680\u2000\u200A\u2028\u2029\u202F\u205F\u3000\u0085", ""},
      {"  a b  ", "a b"},
      {"\u3000x\u3000", "x"},
      {"\u200Bx", "\u200Bx"},  // zero-width space has no White_Space property
      {" \xFF ", "\xFF"},        // bytes that are not UTF-8 are content
      {" \xE3\x80", "\xE3\x80"},  // a truncated U+3000 is no white space
      {"x\xC2\xA0", "x"},
      {"\u00a0\u3000 a b \u2029\u0085", "a b"},
      {"\xE2\x80 ", "\xE2\x80"},  // the truncated lead of U+2000 is not trimmed
  };
  for (const auto& c : cases) EXPECT_EQ(trim_white_space(c.in), c.out) << c.in;
  EXPECT_TRUE(is_blank_text(" \u3000 "));
  EXPECT_FALSE(is_blank_text(" . "));
  EXPECT_TRUE(is_blank_text("\u2000 \t"));
  EXPECT_FALSE(is_blank_text(" \xFF "));
}

TEST(Utf8Check, ReportsWhereAndHowLong) {
  Utf8Fault f{};
  EXPECT_TRUE(check_utf8("ok\xC3\xA9", f));
  ASSERT_FALSE(check_utf8("ab\xFF", f));
  EXPECT_EQ(f.valid_up_to, 2u);
  EXPECT_EQ(f.error_len, 1u);
  ASSERT_FALSE(check_utf8("a\xE2\x82", f));
  EXPECT_EQ(f.valid_up_to, 1u);
  EXPECT_EQ(f.error_len, 0u);
  ASSERT_FALSE(check_utf8("a\xE2\x82x", f));
  EXPECT_EQ(f.error_len, 2u);
}

}  // namespace
}  // namespace vorpel
