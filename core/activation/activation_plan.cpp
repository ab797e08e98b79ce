#include "core/activation/activation_plan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unordered_set>

#include <fmt/format.h>

#include "core/activation/file_tree.hpp"
#include "core/activation/file_tree_detail.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"

namespace vorpel {
namespace {

// Following symbolic links; a status that cannot be read is no directory.
bool is_directory(const std::string& path) {
  struct stat st {};
  return check_system_path(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A source path as the copies hand it to the system.
Status check_source_path(const std::string& source) {
  if (auto checked = check_path_io(source); !checked) return checked;
  return check_path_fits(source, {}, NAME_MAX);
}

// Links followed in one walk before it gives up on them, as the system does.
constexpr int kMaxLinks = 40;

// Where a path really lies, found as the system walks it: component by
// component, every symbolic link followed (a final one too) and ".." taken
// from the directory really reached. From the first name that cannot be
// read on, the rest is taken as text: nothing is there yet, and what the
// tool creates there is a directory, never a link.
class RealWalk {
 public:
  explicit RealWalk(std::string_view path) {
    const auto components = path_components(path);
    std::size_t first = 0;
    if (!components.empty() && components[0].kind == ComponentKind::Root) {
      location_ = "/";
      first = 1;
    } else if (char* cwd = ::getcwd(nullptr, 0)) {
      location_ = cwd;
      std::free(cwd);
    } else {
      reading_ = false;  // a working directory removed meanwhile: text only
    }
    for (std::size_t i = first; i < components.size(); ++i) {
      pending_.push_back(Step{components[i].kind, std::string(components[i].name)});
      while (!pending_.empty()) {
        Step step = std::move(pending_.back());
        pending_.pop_back();
        take(step);
      }
    }
    passed_.push_back(location_);
  }

  // The real location of the whole path.
  const std::string& location() const { return passed_.back(); }
  // Every place whose removal would cut the way to the path: each link met,
  // each directory left by "..", and the location itself. Any other place
  // on the way lies above one of these.
  const std::vector<std::string>& passed() const { return passed_; }

 private:
  struct Step {
    ComponentKind kind;
    std::string name;
  };

  void take(const Step& step) {
    if (step.kind == ComponentKind::CurDir) return;
    if (step.kind == ComponentKind::Root) {
      location_ = "/";
      return;
    }
    if (step.kind == ComponentKind::ParentDir) {
      passed_.push_back(location_);
      if (auto parent = parent_path(location_)) location_ = std::move(*parent);
      return;
    }
    std::string next = join_path(location_, step.name);
    struct stat st {};
    if (reading_ && (!check_system_path(next) || ::lstat(next.c_str(), &st) != 0)) reading_ = false;
    if (!reading_ || !S_ISLNK(st.st_mode)) {
      location_ = std::move(next);
      return;
    }
    passed_.push_back(next);
    std::string text(std::max<std::size_t>(static_cast<std::size_t>(st.st_size), PATH_MAX) + 1, '\0');
    const ssize_t n = ::readlink(next.c_str(), text.data(), text.size());
    if (++links_ > kMaxLinks || n < 0 || static_cast<std::size_t>(n) >= text.size()) {
      reading_ = false;  // a loop, or a link changing under us: its name stands
      location_ = std::move(next);
      return;
    }
    text.resize(static_cast<std::size_t>(n));
    // The link's text is walked from the directory that holds it.
    const auto components = path_components(text);
    for (auto c = components.rbegin(); c != components.rend(); ++c) {
      pending_.push_back(Step{c->kind, std::string(c->name)});
    }
  }

  std::string location_;
  bool reading_ = true;
  int links_ = 0;
  std::vector<Step> pending_;  // the next step at the back
  std::vector<std::string> passed_;
};

// resolve_home_path for all targets of one plan. Planning writes nothing,
// so a directory on the way that was read once need not be read again.
class HomeResolver {
 public:
  HomeResolver(const std::string& home, const std::string& state_path) : home_(home), state_path_(state_path) {}

  Result<std::string> resolve(const std::string& relative) {
    if (!is_clean_relative_path(relative)) {
      return fail(fmt::format("invalid HOME-relative path {}", display_path(relative)));
    }
    std::string target = join_path(home_, relative);
    if (auto checked = check_path_io(target); !checked) return std::unexpected(std::move(checked.error()));
    if (!name_max_) name_max_ = longest_name_at(home_);
    if (auto fits = check_path_fits(target, relative, *name_max_); !fits) return std::unexpected(std::move(fits.error()));
    if (!state_dir_) state_dir_ = parent_path(state_path_);
    if (!*state_dir_) return fail("state path has no parent");
    const std::string& state_dir = **state_dir_;
    const auto overlap = [&] {
      return fail(fmt::format("configuration path {} overlaps Vorpel state {}", display_path(target),
                              display_path(state_dir)));
    };
    if (paths_overlap(target, state_dir)) return overlap();
    // HOME itself and the target itself may be links; the directories
    // strictly between them may not.
    const auto components = path_components(relative);
    std::optional<std::string> link;
    std::string directory = home_;
    for (std::size_t k = 0; k + 1 < components.size() && !link; ++k) {
      directory = join_path(directory, components[k].name);
      if (passed_.contains(directory)) continue;
      struct stat st {};
      if (::lstat(directory.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        link = directory;
      } else {
        passed_.insert(directory);  // also when missing or unreadable: the copy creates or meets it
      }
    }
    if (really_overlaps_state(target, relative, link.has_value())) return overlap();
    if (link) return fail(fmt::format("configuration parent {} is a symbolic link", display_path(*link)));
    return target;
  }

 private:
  // The same test on what the paths name on disk, as links (HOME's own, one
  // that puts the state directory below a target) and ".." in the state
  // location can hide an overlap from the text: the target, not followed at
  // its own name (a link there is replaced, never written through), must
  // neither lie in the state directory nor hold any place the way to it
  // passes. With no link between HOME and the target, the target lies where
  // HOME really lies joined with the relative path.
  bool really_overlaps_state(const std::string& target, const std::string& relative, bool link_on_the_way) {
    if (!state_walk_) state_walk_.emplace(**state_dir_);
    std::string real;
    if (link_on_the_way) {
      real = join_path(RealWalk(*parent_path(target)).location(), *file_name(target));
    } else {
      if (!real_home_) real_home_ = RealWalk(home_).location();
      real = join_path(*real_home_, relative);
    }
    if (path_at_or_below(real, state_walk_->location())) return true;
    const auto& way = state_walk_->passed();
    return std::any_of(way.begin(), way.end(),
                       [&real](const std::string& place) { return path_at_or_below(place, real); });
  }

  const std::string& home_;
  const std::string& state_path_;
  std::optional<std::optional<std::string>> state_dir_;  // computed at the first use
  std::optional<RealWalk> state_walk_;                   // likewise
  std::optional<std::string> real_home_;                 // likewise
  std::optional<long> name_max_;                         // likewise
  std::unordered_set<std::string> passed_;
};

}  // namespace

Result<std::string> resolve_home_path(const std::string& home, const std::string& state_path,
                                      const std::string& relative) {
  return HomeResolver(home, state_path).resolve(relative);
}

void drop_covered_paths(std::vector<std::string>& files, const PathSet& managed) {
  std::vector<std::vector<PathComponent>> covers;
  covers.reserve(managed.size());
  for (const auto& m : managed) covers.push_back(path_components(m));
  std::erase_if(files, [&covers](const std::string& file) {
    const auto parts = path_components(file);
    return std::any_of(covers.begin(), covers.end(), [&parts](const std::vector<PathComponent>& cover) {
      return cover.size() <= parts.size() && std::equal(cover.begin(), cover.end(), parts.begin());
    });
  });
}

Status check_source_trees(const std::string& source, const PathSet& manage) {
  for (const auto& path : manage) {
    const std::string tree = join_path(source, path);
    if (auto checked = check_source_path(tree); !checked) return checked;
    const std::string os_path = trim_path_end(tree);
    struct stat st {};
    if (::lstat(os_path.c_str(), &st) != 0) return fail_errno(tree);
    if (S_ISDIR(st.st_mode)) {
      if (auto walked = detail::check_content_tree(tree); !walked) return walked;
    } else if (::faccessat(AT_FDCWD, os_path.c_str(), R_OK, AT_EACCESS) != 0 && errno == EACCES) {
      return fail_errno(tree);
    }
  }
  return {};
}

Result<ActivationPlan> build_activation_plan(const UserState& state, const std::string& id, const ProfileState& target,
                                             const PlanSources& sources, const std::string& home,
                                             const std::string& state_path, bool in_place) {
  if (!is_directory(sources.source)) {
    return fail(fmt::format("profile source {} does not exist", display_path(sources.source)));
  }
  HomeResolver resolver(home, state_path);
  ActivationPlan plan;

  // Switching gives up the active Profile's paths; refreshing in place
  // gives up (and writes) only when the Profile refreshed is the active one.
  bool writing = !in_place;
  const std::optional<std::string>& active = state.active_profile;
  if (in_place) writing = active.has_value() && *active == id;
  if (active && writing) {
    if (const auto entry = state.profiles.find(*active); entry != state.profiles.end()) {
      for (const auto& path : entry->second.manage) {
        auto resolved = resolver.resolve(path);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        plan.removed.push_back(std::move(*resolved));
      }
    }
  }

  // Every managed path must be in the source, as a directory or a regular
  // file, whether or not it is written.
  for (const auto& path : target.manage) {
    std::string source = join_path(sources.source, path);
    if (auto checked = check_source_path(source); !checked) return std::unexpected(std::move(checked.error()));
    const std::string os_path = trim_path_end(source);  // "dir/" would follow a link
    struct stat st {};
    if (::lstat(os_path.c_str(), &st) != 0) return fail_errno(source);
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      return fail(fmt::format("unsupported profile content {}", display_path(source)));
    }
    if (!writing) continue;
    auto resolved = resolver.resolve(path);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    plan.written.push_back(PlannedWrite{path, std::move(source), std::move(*resolved)});
  }
  const auto managed_writes = static_cast<std::ptrdiff_t>(plan.written.size());

  const auto component_less = [](const std::string& a, const std::string& b) { return compare_paths(a, b) < 0; };
  if (sources.seed) {
    const std::string& seed = *sources.seed;
    if (!is_directory(seed)) return fail(fmt::format("profile seed source {} does not exist", display_path(seed)));
    std::vector<std::string> files;
    // Seed files under a managed path are written with it, not on their own.
    if (auto listed = detail::collect_uncovered_files(seed, files, target.manage); !listed) {
      return std::unexpected(std::move(listed.error()));
    }
    // The walk lists in this order already; the check is cheaper than the sort.
    if (!std::is_sorted(files.begin(), files.end(), component_less)) {
      std::stable_sort(files.begin(), files.end(), component_less);
    }
    for (auto& file : files) {
      auto resolved = resolver.resolve(file);
      if (!resolved) return std::unexpected(std::move(resolved.error()));
      std::string source = join_path(seed, file);
      if (auto checked = check_source_path(source); !checked) return std::unexpected(std::move(checked.error()));
      plan.written.push_back(PlannedWrite{std::move(file), std::move(source), std::move(*resolved)});
    }
  }

  std::stable_sort(plan.removed.begin(), plan.removed.end(),
                   [](const std::string& a, const std::string& b) { return path_depth(a) > path_depth(b); });
  plan.removed.erase(std::unique(plan.removed.begin(), plan.removed.end(),
                                 [](const std::string& a, const std::string& b) { return paths_equal(a, b); }),
                     plan.removed.end());
  // Both runs are in component order already (the managed set's own order,
  // the sorted seed files); a stable merge of them is the stable sort of all.
  const auto by_relative = [](const PlannedWrite& a, const PlannedWrite& b) {
    return compare_paths(a.relative, b.relative) < 0;
  };
  std::inplace_merge(plan.written.begin(), plan.written.begin() + managed_writes, plan.written.end(), by_relative);
  return plan;
}

}  // namespace vorpel
