// Profile id, package name and managed-path rules, and the one way paths
// are split, compared, ordered and tested for overlap. All pure byte tests.
#pragma once

#include <compare>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorpel {

enum class ComponentKind { Root, CurDir, ParentDir, Name };

struct PathComponent {
  ComponentKind kind;
  std::string_view name;  // the bytes, for Name components
  bool operator==(const PathComponent&) const = default;
};

// Components left to right: a leading "/" is a root component, empty pieces
// vanish, "." counts only as the first piece of a relative path, ".." is a
// parent component, anything else is a name.
std::vector<PathComponent> path_components(std::string_view path);

bool paths_equal(std::string_view a, std::string_view b);
// True when `p` lies at or below `q` (components of q are a prefix of p's).
bool path_at_or_below(std::string_view p, std::string_view q);
bool paths_overlap(std::string_view a, std::string_view b);
std::strong_ordering compare_paths(std::string_view a, std::string_view b);

struct PathLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return compare_paths(a, b) < 0; }
};

// Ordered set of paths: component order; paths equal by components are one
// member (the first inserted stays as written).
using PathSet = std::set<std::string, PathLess>;

// Whether `path` overlaps a member of `set`, for a set no two of whose
// members overlap (one built by refusing each path that overlaps those
// before it); O(log n).
bool paths_overlap_any(const PathSet& set, std::string_view path);

bool is_valid_profile_id(std::string_view text);
bool is_valid_package_name(std::string_view text);
bool is_clean_relative_path(std::string_view path);

// The default HOME-relative location of the state directory; manifests may
// not reach into it.
inline constexpr std::string_view kStateDirectoryPath = ".local/state/vorpel";
bool overlaps_state_directory_path(std::string_view path);

// Lexical path helpers over the same components.
// Joining appends `piece` after one "/", inserted only when `base` is not
// empty and does not already end in "/".
std::string join_path(std::string_view base, std::string_view piece);
// The path without its last component (textually: everything before it,
// trailing separators dropped, "/" kept for the root). No parent for the
// empty path or a lone root; a one-component relative path has parent "".
std::optional<std::string> parent_path(std::string_view path);
// The last component when it is a name.
std::optional<std::string_view> file_name(std::string_view path);
// Number of components (the root counts as one).
std::size_t path_depth(std::string_view path);

// `path` with the components of `prefix` taken off its front (compared
// component by component), as the text that follows them with the
// separators around it dropped; "" when the two are equal. None when
// `prefix` is not at or above `path`.
std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix);

// `path` less its trailing separators and "." pieces, which add no component
// but make the system resolve a final symbolic link ("link/" is the
// directory the link points to); a lone "/" stays. Same components as
// `path`.
std::string trim_path_end(std::string_view path);

// join_path in place, for walks that extend one path text by a name per
// level and cut it back afterwards.
void append_path(std::string& base, std::string_view piece);

}  // namespace vorpel
