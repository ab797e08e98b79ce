#include "core/activation/activation_plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include <fmt/format.h>

#include "core/activation/file_tree.hpp"
#include "core/activation/file_tree_detail.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel {
namespace {

// Following symbolic links; a status that cannot be read is no directory.
bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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
    if (!state_dir_) state_dir_ = parent_path(state_path_);
    if (!*state_dir_) return fail("state path has no parent");
    const std::string& state_dir = **state_dir_;
    if (paths_overlap(target, state_dir)) {
      return fail(fmt::format("configuration path {} overlaps Vorpel state {}", display_path(target),
                              display_path(state_dir)));
    }
    // HOME itself and the target itself may be links; the directories
    // strictly between them may not.
    const auto components = path_components(relative);
    std::string directory = home_;
    for (std::size_t k = 0; k + 1 < components.size(); ++k) {
      directory = join_path(directory, components[k].name);
      if (passed_.contains(directory)) continue;
      struct stat st {};
      if (::lstat(directory.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return fail(fmt::format("configuration parent {} is a symbolic link", display_path(directory)));
      }
      passed_.insert(directory);  // also when missing or unreadable: the copy creates or meets it
    }
    return target;
  }

 private:
  const std::string& home_;
  const std::string& state_path_;
  std::optional<std::optional<std::string>> state_dir_;  // computed at the first use
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
