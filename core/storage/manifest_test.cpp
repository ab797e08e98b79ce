#include "core/storage/manifest.hpp"

#include <gtest/gtest.h>

namespace vorpel {
namespace {

std::string last_line(const std::string& text) {
  auto r = parse_raw_manifest(text);
  if (r) return "(read without error)";
  std::string report = r.error().report;
  report.pop_back();
  return report.substr(report.rfind('\n') + 1);
}

TEST(RawManifest, ReadsTheExampleAndAnyKeyOrder) {
  const auto r = parse_raw_manifest(
      "schema = 4\nname = \"work\"\npackages = [\"git\", \"nano\"]\nmanage = [\".profile\", \"bin\"]\n");
  ASSERT_TRUE(r) << r.error().report;
  EXPECT_EQ(*r, (RawManifest{4, "work", "", {"git", "nano"}, {".profile", "bin"}}));

  const auto shuffled = parse_raw_manifest(
      "# comment\nmanage = ['.profile', 'bin']\ndescription = ''\npackages = ['git', 'nano']\n"
      "name = 'work'\nschema = 0x4\n");
  ASSERT_TRUE(shuffled);
  EXPECT_EQ(*shuffled, *r);
}

TEST(RawManifest, KeepsValuesAsWritten) {
  // The catalogue judges these; reading keeps blanks, repeats, other schemas.
  const auto r = parse_raw_manifest("schema = 7\nname = '   '\npackages = ['a', 'a']\nmanage = ['a//b', 'a/b']\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (RawManifest{7, "   ", "", {"a", "a"}, {"a//b", "a/b"}}));
}

TEST(RawManifest, Refusals) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "missing field `schema`"},
      {"# nothing\n", "missing field `schema`"},
      {"schema = 4", "missing field `name`"},
      {"description = 'd'", "missing field `schema`"},
      {"schema = 4.0\nname = 'n'", "invalid type: floating point `4.0`, expected u32"},
      {"schema = -1\nname = 'n'", "invalid value: integer `-1`, expected u32"},
      {"schema = 4294967296\nname = 'n'", "invalid value: integer `4294967296`, expected u32"},
      {"schema = '4'\nname = 'n'", "invalid type: string \"4\", expected u32"},
      {"schema = 4\nname = 'n'\npackages = 'git'", "invalid type: string \"git\", expected a sequence"},
      {"schema = 4\nname = 'n'\nmanage = ['a', 5]", "invalid type: integer `5`, expected a string"},
      {"schema = 4\nSchema = 4\nname = 'n'",
       "unknown field `Schema`, expected one of `schema`, `name`, `description`, `packages`, `manage`"},
      {"schema = 4\nname = 'n'\n[packages]", "invalid type: map, expected a sequence"},
      {"schema = 4\nname = 'a'\nname = 'b'", "duplicate key `name` in document root"},
  };
  for (const auto& c : cases) EXPECT_EQ(last_line(c.text), c.message) << c.text;
}

TEST(RawManifest, ByteOrderMarkIsIgnored) {
  const auto r = parse_raw_manifest("\xEF\xBB\xBFschema = 4\nname = 'n'\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "n");
}

}  // namespace
}  // namespace vorpel
