#include "core/storage/catalog.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "tests/support/deep_tree.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::make_dirs;
using testing::make_symlink;
using testing::TempDir;
using testing::write_file;

constexpr const char* kGood = "schema = 4\nname = 'n'\n";

// A share directory laid out like the default: profile root share/vorpel/profiles,
// content roots share/<id>.
class Share {
 public:
  std::string root() const { return tmp_ / "share/vorpel/profiles"; }
  std::string content(const std::string& id) const { return tmp_ / ("share/" + id); }
  std::string manifest(const std::string& id) const { return root() + "/" + id + "/profile.toml"; }
  void profile(const std::string& id, const std::string& manifest_text, bool with_content = true) const {
    write_file(manifest(id), manifest_text);
    if (with_content) make_dirs(content(id));
  }
  const TempDir& tmp() const { return tmp_; }

 private:
  TempDir tmp_;
};

TEST(ContentRoot, LexicalGrandparentJoinedWithId) {
  const struct {
    std::string root;
    std::optional<std::string> content;
  } cases[] = {
      {"/usr/share/vorpel/profiles", "/usr/share/work"},
      {"/srv/cfg/profiles", "/srv/work"},
      {"/srv/cfg/profiles/", "/srv/work"},
      {"/cfg/profiles", "/work"},
      {"vorpel/profiles", "work"},
      {"./vorpel/profiles", "./work"},
      {"a/b/../profiles", "a/b/work"},
      {"/srv/./cfg/./profiles/.", "/srv/work"},
      {"/", std::nullopt},
      {"/profiles", std::nullopt},
      {"profiles", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(profile_content_root(c.root, "work"), c.content) << c.root;
}

TEST(ProfileRoot, EnvironmentValueUsedUnchanged) {
  unsetenv("VORPEL_PROFILE_ROOT");
  EXPECT_EQ(resolve_profile_root(), "/usr/share/vorpel/profiles");
  for (const char* value : {"", "relative/root", "/x/\xff"}) {
    setenv("VORPEL_PROFILE_ROOT", value, 1);
    EXPECT_EQ(resolve_profile_root(), value);
  }
  unsetenv("VORPEL_PROFILE_ROOT");
}

TEST(Catalog, UnreachableRootIsEmpty) {
  TempDir tmp;
  make_symlink(tmp / "nowhere", tmp / "dangling");
  for (const std::string& root : {tmp / "absent", std::string(), tmp / "dangling"}) {
    auto catalog = load_profile_catalog(root);
    ASSERT_TRUE(catalog) << root;
    EXPECT_TRUE(catalog->profiles.empty());
    EXPECT_TRUE(catalog->rejected.empty());
  }
}

TEST(Catalog, RootThatCannotBeListedFailsTheLoad) {
  TempDir tmp;
  write_file(tmp / "file", "");
  auto catalog = load_profile_catalog(tmp / "file");
  ASSERT_FALSE(catalog);
  EXPECT_EQ(catalog.error().text(), "I/O at " + (tmp / "file") + ": Not a directory (os error 20)");
}

TEST(Catalog, SortsValidAndRejectedDirectoriesAndSkipsTheRest) {
  Share share;
  share.profile("b", kGood);
  share.profile("a", "schema = 4\nname = ' A '\ndescription = 'first'\npackages = ['zsh', 'git']\n"
                     "manage = ['bin', '.profile', 'a-b', 'a/b']\n");
  for (const char* p : {"bin/tool", ".profile", "a-b", "a/b/c"}) write_file(share.content("a") + "/" + p, "x");
  share.profile("Work", kGood);
  share.profile(std::string(65, 'x'), kGood);
  share.profile("\xff", kGood);
  make_dirs(share.root() + "/no-manifest");
  write_file(share.root() + "/plain-file", "");
  make_symlink(share.root() + "/b", share.root() + "/link");

  auto catalog = load_profile_catalog(share.root());
  ASSERT_TRUE(catalog) << catalog.error().text();
  ASSERT_EQ(catalog->profiles.size(), 2u);
  const Profile& a = catalog->profiles.at("a");
  EXPECT_EQ(a.id, "a");
  EXPECT_EQ(a.name, " A ");
  EXPECT_EQ(a.description, "first");
  EXPECT_EQ(a.content_root, share.content("a"));
  EXPECT_EQ(a.packages, (std::vector<std::string>{"zsh", "git"}));
  EXPECT_EQ(std::vector<std::string>(a.manage.begin(), a.manage.end()),
            (std::vector<std::string>{".profile", "a/b", "a-b", "bin"}));
  EXPECT_EQ(catalog->profiles.at("b").description, "");

  // Byte order of the directory names: uppercase and digits before lowercase, 0xFF last.
  ASSERT_EQ(catalog->rejected.size(), 3u);
  EXPECT_EQ(catalog->rejected[0].directory, share.root() + "/Work");
  EXPECT_EQ(catalog->rejected[0].manifest, share.manifest("Work"));
  EXPECT_EQ(catalog->rejected[0].message, "invalid profile id Work");
  EXPECT_EQ(catalog->rejected[1].message, "invalid profile id " + std::string(65, 'x'));
  EXPECT_EQ(catalog->rejected[2].manifest, share.manifest("\xff"));
  EXPECT_EQ(catalog->rejected[2].message, "profile directory name is not valid UTF-8");
}

// One Profile "p" per case; `setup` prepares anything beyond the manifest.
TEST(Catalog, RefusalsInStepOrder) {
  using namespace std::string_literals;
  const std::string good_manifest = "schema = 4\nname = 'n'\n";
  const struct {
    std::string manifest;
    std::function<void(const Share&)> setup;
    std::function<std::string(const Share&)> message;
  } cases[] = {
      {"schema = 5\nname = '  '\n", {}, [](const Share&) { return "unsupported profile schema 5; expected 4"; }},
      {"schema = 4\nname = '   '\n", {}, [](const Share&) { return "profile name cannot be empty"; }},
      {"schema = 4\nname = \"\\u3000\\t\\u00a0\\u2029\"\n", {}, [](const Share&) { return "profile name cannot be empty"; }},
      {"schema = 4\nname = 'n'\nmanage = ['/etc']\npackages = ['a b']\n", {},
       [](const Share&) { return "invalid package name a b"; }},
      {"schema = 4\nname = 'n'\npackages = ['a b', 'a b']\n", {},
       [](const Share&) { return "invalid package name a b"; }},
      {"schema = 4\nname = 'n'\npackages = ['a', 'b', 'a']\n", {},
       [](const Share&) { return "duplicate package name a"; }},
      {"schema = 4\nname = 'n'\nmanage = ['/etc']\n", {}, [](const Share&) { return "invalid managed path /etc"; }},
      {"schema = 4\nname = 'n'\nmanage = ['a/../b']\n", {},
       [](const Share&) { return "invalid managed path a/../b"; }},
      {"schema = 4\nname = 'n'\nmanage = ['.local']\n", {},
       [](const Share&) { return "managed path .local overlaps Vorpel state"; }},
      {"schema = 4\nname = 'n'\nmanage = ['.local/state/vorpel/x']\n", {},
       [](const Share&) { return "managed path .local/state/vorpel/x overlaps Vorpel state"; }},
      {"schema = 4\nname = 'n'\nmanage = ['missing']\n", {},
       [](const Share& s) { return "managed path missing does not exist in " + s.content("p"); }},
      // a NUL byte would cut the path short at "a", which exists
      {"schema = 4\nname = 'n'\nmanage = [\"a\\u0000b\"]\n", [](const Share& s) { make_dirs(s.content("p") + "/a"); },
       [](const Share& s) { return "managed path a\0b does not exist in "s + s.content("p"); }},
      {"schema = 4\nname = 'n'\nmanage = [\".local/state/vorpel\\u0000\"]\n",
       [](const Share& s) { make_dirs(s.content("p") + "/.local/state/vorpel"); },
       [](const Share& s) {
         return "managed path .local/state/vorpel\0 does not exist in "s + s.content("p");
       }},
      {"schema = 4\nname = 'n'\nmanage = ['.config', '.config/nvim']\n",
       [](const Share& s) { make_dirs(s.content("p") + "/.config/nvim"); },
       [](const Share&) { return "managed path .config/nvim overlaps another managed path"; }},
      {"schema = 4\nname = 'n'\nmanage = ['a//b', 'a/b/']\n", [](const Share& s) { make_dirs(s.content("p") + "/a/b"); },
       [](const Share&) { return "managed path a/b/ overlaps another managed path"; }},
      // the content root is checked before packages and paths
      {"schema = 4\nname = 'n'\npackages = ['a b']\n", [](const Share& s) { rmdir(s.content("p").c_str()); },
       [](const Share& s) { return "I/O at " + s.content("p") + ": No such file or directory (os error 2)"; }},
      {good_manifest,
       [](const Share& s) {
         rmdir(s.content("p").c_str());
         make_dirs(s.content("real"));
         make_symlink(s.content("real"), s.content("p"));
       },
       [](const Share& s) { return "profile content root " + s.content("p") + " must be a real directory"; }},
      {good_manifest,
       [](const Share& s) {
         rmdir(s.content("p").c_str());
         write_file(s.content("p"), "");
       },
       [](const Share& s) { return "profile content root " + s.content("p") + " must be a real directory"; }},
      {"schema = 4\nname = 'n'\npackages = ['a b']\n",
       [](const Share& s) {
         make_dirs(s.content("p") + "/sub");
         make_symlink("/nowhere", s.content("p") + "/sub/link");
       },
       [](const Share& s) { return "profile content may not contain symbolic link " + s.content("p") + "/sub/link"; }},
      {good_manifest, [](const Share& s) { mkfifo((s.content("p") + "/pipe").c_str(), 0600); },
       [](const Share& s) { return "unsupported profile content " + s.content("p") + "/pipe"; }},
      {"schema = 4\nname = 'n'\n\xff\n", {},
       [](const Share& s) { return "I/O at " + s.manifest("p") + ": stream did not contain valid UTF-8"; }},
      {"schema = 4\nname = 'a'\nname = 'b'\n", {},
       [](const Share& s) {
         return "invalid manifest " + s.manifest("p") +
                ": TOML parse error at line 3, column 1\n  |\n3 | name = 'b'\n  | ^^^^\n"
                "duplicate key `name` in document root\n";
       }},
  };
  for (const auto& c : cases) {
    Share share;
    share.profile("p", c.manifest);
    if (c.setup) c.setup(share);
    auto catalog = load_profile_catalog(share.root());
    ASSERT_TRUE(catalog) << c.manifest;
    EXPECT_TRUE(catalog->profiles.empty()) << c.manifest;
    ASSERT_EQ(catalog->rejected.size(), 1u) << c.manifest;
    EXPECT_EQ(catalog->rejected[0].message, c.message(share)) << c.manifest;
  }
}

TEST(Catalog, ManifestThatIsNotARegularFile) {
  Share share;
  make_dirs(share.manifest("d"));
  make_dirs(share.root() + "/f");
  ASSERT_EQ(mkfifo(share.manifest("f").c_str(), 0600), 0);  // must not wait for a writer
  auto catalog = load_profile_catalog(share.root());
  ASSERT_TRUE(catalog);
  ASSERT_EQ(catalog->rejected.size(), 2u);
  EXPECT_EQ(catalog->rejected[0].message, "I/O at " + share.manifest("d") + ": Is a directory (os error 21)");
  EXPECT_EQ(catalog->rejected[1].message, "I/O at " + share.manifest("f") + ": not a regular file");
}

TEST(Catalog, RootWithoutGrandparent) {
  // Relative roots are taken from the working directory.
  TempDir tmp;
  write_file(tmp / "profiles/p/profile.toml", kGood);
  write_file(tmp / "profiles/q/profile.toml", "schema = 3\nname = 'q'\n");
  write_file(tmp / "vorpel/profiles/w/profile.toml", kGood);
  make_dirs(tmp / "w");
  char* old = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  auto flat = load_profile_catalog("profiles");
  auto nested = load_profile_catalog("vorpel/profiles");
  ASSERT_EQ(chdir(old), 0);
  free(old);

  ASSERT_TRUE(flat);
  ASSERT_EQ(flat->rejected.size(), 2u);
  EXPECT_EQ(flat->rejected[0].message, "profile root must be below <share>/vorpel/profiles");
  EXPECT_EQ(flat->rejected[1].message, "unsupported profile schema 3; expected 4");  // earlier step wins
  ASSERT_TRUE(nested);
  ASSERT_EQ(nested->profiles.size(), 1u);
  EXPECT_EQ(nested->profiles.at("w").content_root, "w");
}

TEST(ContentTree, WalksEverySubdirectory) {
  TempDir tmp;
  make_dirs(tmp / "empty");
  EXPECT_TRUE(validate_content_tree(tmp / "empty"));
  write_file(tmp / "t/a/b/c/file", "");
  make_dirs(tmp / "t/d");
  EXPECT_TRUE(validate_content_tree(tmp / "t"));
  make_symlink("file", tmp / "t/a/b/c/deep-link");
  auto r = validate_content_tree(tmp / "t");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "profile content may not contain symbolic link " + (tmp / "t/a/b/c/deep-link"));
  auto missing = validate_content_tree(tmp / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "I/O at " + (tmp / "missing") + ": No such file or directory (os error 2)");
}

TEST(ContentTree, UnlistableSubdirectory) {
  if (geteuid() == 0) GTEST_SKIP() << "permission denial cannot be tested as root (euid 0)";
  TempDir tmp;
  make_dirs(tmp / "t/locked");
  chmod((tmp / "t/locked").c_str(), 0);
  auto r = validate_content_tree(tmp / "t");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "I/O at " + (tmp / "t/locked") + ": Permission denied (os error 13)");
}

TEST(ContentTree, AnyDepthAndNoShortenedPath) {
  const std::size_t depth = std::min<std::size_t>(4000, testing::raise_descriptor_limit() - 64);
  if (depth < 3000) GTEST_SKIP() << "the descriptor limit allows only " << depth << " levels";
  TempDir tmp;
  make_dirs(tmp / "t");
  testing::make_deep_dirs(tmp / "t", depth, "d", "leaf");
  testing::make_deep_dirs(tmp / "t", depth / 2, "d");
  write_file(tmp / "t/z/file", "");
  testing::on_small_stack([&] { EXPECT_TRUE(validate_content_tree(tmp / "t")); });

  // a link below the deepest level is still found, by its whole path
  TempDir other;
  make_dirs(other / "t");
  testing::make_deep_dirs(other / "t", 50, "d", "leaf");
  make_symlink("leaf", other / ("t/" + testing::deep_relative_path(50, "link")));
  auto r = validate_content_tree(other / "t");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "profile content may not contain symbolic link " + (other / ("t/" + testing::deep_relative_path(50, "link"))));

  // a NUL byte would make the walk list another directory
  const std::string shortened = tmp / "t" + std::string(1, '\0') + "/d";
  auto cut = validate_content_tree(shortened);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().text(), "I/O at " + shortened + ": file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace vorpel
