#include "core/storage/system_path.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using namespace std::string_literals;
using testing::make_dirs;
using testing::make_symlink;
using testing::write_file;

TEST(SystemPath, NulAnywhereIsRefusedWithThePathShownWhole) {
  for (const std::string& path : {"a\0b"s, "\0"s, "dir/\0"s, "/tmp/x\0/y"s}) {
    auto checked = check_path_io(path);
    ASSERT_FALSE(checked) << path.size();
    EXPECT_EQ(checked.error().text(), "I/O at " + path + ": file name contained an unexpected NUL byte");
  }
  for (const std::string& path : {""s, "a"s, "/a/b/"s, "\xff"s}) EXPECT_TRUE(check_path_io(path)) << path;
}

TEST(CheckPathFits, WholeBelowPathMaxAndEachCreatedNameWithinTheLimit) {
  struct Case {
    std::string path;
    std::string relative;
    long name_max;
    bool fits;
  };
  const std::string name(255, 'n');
  const std::vector<Case> cases{
      {std::string(PATH_MAX - 1, 'p'), "", NAME_MAX, true},
      {std::string(PATH_MAX, 'p'), "", NAME_MAX, false},
      {"/h/" + name, name, 255, true},
      {"/h/" + name, name, 254, false},
      {"/h/a/" + name, "a/" + name, 254, false},
      {"/" + name + "/a", "a", 254, true},  // only the names created count
  };
  for (const auto& c : cases) {
    const auto fits = check_path_fits(c.path, c.relative, c.name_max);
    EXPECT_EQ(fits.has_value(), c.fits) << c.path.size() << " " << c.relative.size() << " " << c.name_max;
    if (!fits) {
      EXPECT_EQ(fits.error().cause(), "File name too long (os error 36)");
    }
  }
}

TEST(RefuseLinksBelow, FirstLinkComponentIsRefusedAndTheBaseMayBeALink) {
  testing::TempDir tmp;
  const std::string real = tmp.path() + "/real";
  make_dirs(real + "/profiles");
  make_dirs(tmp.path() + "/elsewhere");
  make_symlink("../../elsewhere", real + "/profiles/work");
  make_symlink("real", tmp.path() + "/state");
  make_symlink("missing", real + "/dangling");
  write_file(real + "/file", "");

  const std::string base = tmp.path() + "/state";
  const struct { std::string relative; std::string refused; } cases[] = {
      {"profiles/work/managed", base + "/profiles/work"},
      {"profiles//work/", base + "/profiles/work"},
      {"dangling", base + "/dangling"},
      {"profiles", ""},
      {"profiles/none/managed", ""},
      {"file/below", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    auto checked = refuse_links_below(base, c.relative);
    if (c.refused.empty()) {
      EXPECT_TRUE(checked) << c.relative;
    } else {
      ASSERT_FALSE(checked) << c.relative;
      EXPECT_EQ(checked.error().text(),
                "I/O at " + c.refused + ": Too many levels of symbolic links (os error 40)");
    }
  }
  EXPECT_FALSE(refuse_links_below(base, "profiles/a\0b"s));
}

}  // namespace
}  // namespace vorpel
