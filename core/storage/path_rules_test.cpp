#include "core/storage/path_rules.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vorpel {
namespace {

TEST(ProfileId, LengthAndBytes) {
  const struct { std::string text; bool ok; } cases[] = {
      {std::string(64, 'a'), true}, {std::string(65, 'a'), false}, {"", false}, {"-", true}, {"--", true},
      {"7", true}, {"work-2", true}, {"Work", false}, {"my_profile", false}, {"a.b", false}, {"a b", false},
      {"\xC3\xA9t\xC3\xA9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_profile_id(c.text), c.ok) << c.text;
}

TEST(PackageName, LengthAndBytes) {
  const struct { std::string text; bool ok; } cases[] = {
      {std::string(255, 'x'), true}, {std::string(256, 'x'), false}, {"", false}, {"gtk+", true},
      {"lib32-glibc", true}, {"python3.12", true}, {"Foo_Bar", true}, {"a@b", true}, {"-x", true},
      {".x", true}, {"a b", false}, {"a/b", false}, {"a:b", false}, {"caf\xC3\xA9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_package_name(c.text), c.ok) << c.text;
}

TEST(CleanRelativePath, Table) {
  const struct { std::string path; bool ok; } cases[] = {
      {".config/nvim", true}, {"a//b", true}, {"a/b/", true}, {"a/./b", true}, {"a/.", true}, {"...", true},
      {".a", true}, {"..a", true}, {".", false}, {"./a", false}, {"..", false}, {"a/..", false},
      {"a/../b", false}, {"/etc", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_clean_relative_path(c.path), c.ok) << c.path;
}

TEST(PathComponents, EqualityIgnoresSeparatorsAndInnerDots) {
  EXPECT_TRUE(paths_equal("a//b", "a/b"));
  EXPECT_TRUE(paths_equal("a/b/", "a/b"));
  EXPECT_TRUE(paths_equal("a/./b", "a/b"));
  EXPECT_TRUE(paths_equal("a/b/.", "a/b"));
  EXPECT_FALSE(paths_equal("./a", "a"));
  EXPECT_EQ(path_components("a/../b").size(), 3u);
  const auto dot_a = path_components("./a");
  ASSERT_EQ(dot_a.size(), 2u);
  EXPECT_EQ(dot_a[0].kind, ComponentKind::CurDir);
  EXPECT_EQ(dot_a[1], (PathComponent{ComponentKind::Name, "a"}));
  EXPECT_EQ(path_components("/a").front().kind, ComponentKind::Root);
}

TEST(PathOverlap, WholeComponentsOnly) {
  EXPECT_TRUE(paths_overlap(".config", ".config/nvim"));
  EXPECT_TRUE(paths_overlap(".config/nvim", ".config"));
  EXPECT_FALSE(paths_overlap(".config/nvim", ".config/nvim-old"));
  EXPECT_TRUE(paths_overlap("a/b/", "a/b"));
  EXPECT_FALSE(path_at_or_below("a/bc", "a/b"));
  EXPECT_TRUE(path_at_or_below("a/b", "a/b"));
  EXPECT_FALSE(paths_overlap_any(PathSet{}, "a"));
  EXPECT_TRUE(paths_overlap_any(PathSet{"x", "a/b"}, "a"));
}

// The set is searched by order, not member by member: an ancestor may sort
// far from the path, with its siblings (a-b, a.c) between them in byte order.
TEST(PathOverlap, AnyMemberOfASetOfDisjointPaths) {
  const struct {
    PathSet set;
    std::string path;
    bool overlaps;
  } cases[] = {
      {{"a", "a-b", "a.c", "b"}, "a/x", true},
      {{"a", "a-b", "a.c", "b"}, "a-b/c", true},
      {{"a", "a-b", "a.c", "b"}, "a/", true},
      {{"a", "a-b", "a.c", "b"}, "a-", false},
      {{"a", "a-b", "a.c", "b"}, "c", false},
      {{"a/b", "a/c/d", "ab"}, "a", true},
      {{"a/b", "a/c/d", "ab"}, "a/c", true},
      {{"a/b", "a/c/d", "ab"}, "a/c/d/e", true},
      {{"a/b", "a/c/d", "ab"}, "a//c/d/", true},
      {{"a/b", "a/c/d", "ab"}, "a/b/./x", true},
      {{"a/b", "a/c/d", "ab"}, "a/bb", false},
      {{"a/b", "a/c/d", "ab"}, "a/c/e", false},
      {{".config/nvim", ".config/nvim-old"}, ".config/nvim/init.lua", true},
      {{".config/nvim", ".config/nvim-old"}, ".config/nvim-", false},
      {{".config/nvim", ".config/nvim-old"}, ".config", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(paths_overlap_any(c.set, c.path), c.overlaps) << c.path;
  }
}

TEST(PathOverlap, StateDirectory) {
  for (const char* p : {".local", ".local/state", ".local/state/vorpel", ".local/state/vorpel/x"}) {
    EXPECT_TRUE(overlaps_state_directory_path(p)) << p;
  }
  for (const char* p : {".local/share", ".local/state/other", ".local/state/vorpelx", ".loc"}) {
    EXPECT_FALSE(overlaps_state_directory_path(p)) << p;
  }
}

TEST(PathOrder, ComponentOrderIsNotTextOrder) {
  const std::vector<std::string> sorted{"a", "a/b", "a-b", "a.txt", "b"};
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
    EXPECT_TRUE(compare_paths(sorted[i], sorted[i + 1]) < 0) << sorted[i] << " < " << sorted[i + 1];
  }
  PathSet set{"b", "a-b", "a/b", "a"};
  EXPECT_EQ(std::vector<std::string>(set.begin(), set.end()), (std::vector<std::string>{"a", "a/b", "a-b", "b"}));
  // equal paths collapse; the first one inserted stays as written
  PathSet dup;
  dup.insert("a//b");
  dup.insert("a/b");
  ASSERT_EQ(dup.size(), 1u);
  EXPECT_EQ(*dup.begin(), "a//b");
}

TEST(LexicalHelpers, JoinParentName) {
  EXPECT_EQ(join_path("/home/u", ".local"), "/home/u/.local");
  EXPECT_EQ(join_path("/home/u/", ".local"), "/home/u/.local");
  EXPECT_EQ(join_path("", "x"), "x");
  EXPECT_EQ(join_path("/", "x"), "/x");
  EXPECT_EQ(join_path("/a", ""), "/a/");
  EXPECT_EQ(parent_path("/srv/cfg/profiles"), "/srv/cfg");
  EXPECT_EQ(parent_path("/srv"), "/");
  EXPECT_EQ(parent_path("a"), "");
  EXPECT_EQ(parent_path("a/b/"), "a");
  // What is left is cut back to its last component too.
  EXPECT_EQ(parent_path("a/./b"), "a");
  EXPECT_EQ(parent_path("/srv/./cfg/."), "/srv");
  EXPECT_EQ(parent_path("/./a"), "/");
  EXPECT_EQ(parent_path("./a"), ".");
  EXPECT_EQ(parent_path("a//b"), "a");
  EXPECT_EQ(parent_path("a/.."), "a");
  EXPECT_FALSE(parent_path("/").has_value());
  EXPECT_FALSE(parent_path("").has_value());
  EXPECT_EQ(file_name("a/b.toml"), "b.toml");
  EXPECT_FALSE(file_name("/").has_value());
  EXPECT_EQ(path_depth("/a/b"), 3u);
}

}  // namespace
}  // namespace vorpel

namespace vorpel {
namespace {

TEST(LexicalHelpers, StripPrefixByComponents) {
  const struct { std::string path, prefix; std::optional<std::string> rest; } cases[] = {
      {"/home/u/.config/app", "/home/u", ".config/app"},
      {"/home/u/.config/app", "/home/u/", ".config/app"},
      {"/home//u/a//b/", "/home/u", "a//b"},
      {"/home/u/a/b/.", "/home/u", "a/b"},
      {"/home/u", "/home/u/", ""},
      {"/home/u", "/home/u/a", std::nullopt},
      {"/home/uv/a", "/home/u", std::nullopt},
      {"/home/u/a", "home/u", std::nullopt},
      {"seed/./x", "seed", "x"},
      {"./a/b", ".", "a/b"},
      {"/a", "/", "a"},
      {"a/../b", "a", "../b"},
      {"", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(strip_path_prefix(c.path, c.prefix), c.rest) << c.path << " - " << c.prefix;
}

TEST(LexicalHelpers, AppendIsJoinInPlace) {
  for (const std::string base : {"/home/u", "/home/u/", "", "/"}) {
    std::string text = base;
    append_path(text, "x");
    EXPECT_EQ(text, join_path(base, "x")) << base;
  }
}

TEST(LexicalHelpers, TrimPathEnd) {
  const struct { std::string path, trimmed; } cases[] = {
      {"/home/u/link/", "/home/u/link"}, {"a/b/.", "a/b"}, {"a/./", "a"}, {"a//", "a"}, {"/", "/"},
      {"/.", "/"}, {"//", "/"}, {"./", "."}, {".", "."}, {"a/..", "a/.."}, {"a/...", "a/..."}, {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trim_path_end(c.path), c.trimmed) << c.path;
    EXPECT_TRUE(paths_equal(trim_path_end(c.path), c.path)) << c.path;
  }
}

}  // namespace
}  // namespace vorpel
