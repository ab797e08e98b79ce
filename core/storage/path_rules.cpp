#include "core/storage/path_rules.hpp"

#include <algorithm>
#include <iterator>

namespace vorpel {

namespace {

// The components of a path one at a time; path_components collects them,
// the comparisons below read them without building a list (ordering a set
// of paths compares often).
class ComponentCursor {
 public:
  explicit ComponentCursor(std::string_view path)
      : path_(path), absolute_(!path.empty() && path[0] == '/'), root_pending_(absolute_), i_(absolute_ ? 1 : 0) {}

  std::optional<PathComponent> next() {
    if (root_pending_) {
      root_pending_ = false;
      return PathComponent{ComponentKind::Root, {}};
    }
    while (i_ <= path_.size()) {
      std::size_t end = path_.find('/', i_);
      if (end == std::string_view::npos) end = path_.size();
      const std::string_view piece = path_.substr(i_, end - i_);
      const bool first_piece = first_piece_;
      first_piece_ = false;
      i_ = end + 1;
      if (piece.empty()) continue;  // repeated or trailing separators separate nothing
      // Only the very first piece of the text can be a current-directory
      // component; "a/./b" and "//." have none.
      if (piece == ".") {
        if (first_piece && !absolute_) return PathComponent{ComponentKind::CurDir, {}};
        continue;
      }
      if (piece == "..") return PathComponent{ComponentKind::ParentDir, {}};
      return PathComponent{ComponentKind::Name, piece};
    }
    return std::nullopt;
  }

 private:
  std::string_view path_;
  bool absolute_;
  bool root_pending_;
  bool first_piece_ = true;
  std::size_t i_;
};

}  // namespace

std::vector<PathComponent> path_components(std::string_view path) {
  std::vector<PathComponent> out;
  ComponentCursor cursor(path);
  while (auto component = cursor.next()) out.push_back(*component);
  return out;
}

namespace {

std::strong_ordering compare_component(const PathComponent& a, const PathComponent& b) {
  if (a.kind != b.kind) return static_cast<int>(a.kind) <=> static_cast<int>(b.kind);
  if (a.kind != ComponentKind::Name) return std::strong_ordering::equal;
  // unsigned byte order; a prefix sorts first
  const int c = a.name.compare(b.name);
  return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

bool components_prefix(const std::vector<PathComponent>& whole, const std::vector<PathComponent>& prefix) {
  if (prefix.size() > whole.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), whole.begin());
}

// Walks both paths to the first component where they differ or one ends.
struct Divergence {
  std::optional<PathComponent> a;  // a's component there, none when a ended
  std::optional<PathComponent> b;
};

Divergence diverge(std::string_view a, std::string_view b) {
  ComponentCursor ca(a);
  ComponentCursor cb(b);
  while (true) {
    auto x = ca.next();
    auto y = cb.next();
    if (!x || !y || *x != *y) return Divergence{x, y};
  }
}

}  // namespace

bool paths_equal(std::string_view a, std::string_view b) {
  const auto d = diverge(a, b);
  return !d.a && !d.b;
}

bool path_at_or_below(std::string_view p, std::string_view q) { return !diverge(p, q).b; }

bool paths_overlap(std::string_view a, std::string_view b) {
  const auto d = diverge(a, b);
  return !d.a || !d.b;
}

std::strong_ordering compare_paths(std::string_view a, std::string_view b) {
  const auto d = diverge(a, b);
  if (!d.a || !d.b) return static_cast<bool>(d.a) <=> static_cast<bool>(d.b);
  return compare_component(*d.a, *d.b);
}

bool paths_overlap_any(const PathSet& set, std::string_view path) {
  // In component order the paths at or below a path follow it directly, so
  // the first member not before `path` is at or below it if any is.
  auto it = set.lower_bound(path);
  if (it != set.end() && path_at_or_below(*it, path)) return true;
  // A member above `path` would come before it, and every member between
  // the two would lie below that member; as no two members overlap, such a
  // member is the one right before `path`.
  if (it == set.begin()) return false;
  return path_at_or_below(path, *std::prev(it));
}

bool is_valid_profile_id(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  return std::all_of(text.begin(), text.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-';
  });
}

bool is_valid_package_name(std::string_view text) {
  if (text.empty() || text.size() > 255) return false;
  return std::all_of(text.begin(), text.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '+' ||
           ch == '-' || ch == '.' || ch == '@' || ch == '_';
  });
}

bool is_clean_relative_path(std::string_view path) {
  if (path.empty() || path[0] == '/') return false;
  const auto comps = path_components(path);
  return std::all_of(comps.begin(), comps.end(), [](const PathComponent& c) { return c.kind == ComponentKind::Name; });
}

bool overlaps_state_directory_path(std::string_view path) { return paths_overlap(path, kStateDirectoryPath); }

std::string join_path(std::string_view base, std::string_view piece) {
  std::string out(base);
  append_path(out, piece);
  return out;
}

namespace {

// Drops what ends a path without being a component: trailing separators
// (a lone root stays) and "." pieces after the first piece.
std::string_view trim_end(std::string_view path) {
  while (path.size() > 1) {
    if (path.back() == '/') {
      path.remove_suffix(1);
    } else if (path.ends_with("/.")) {
      path.remove_suffix(1);
    } else {
      break;
    }
  }
  return path;
}

}  // namespace

std::optional<std::string> parent_path(std::string_view path) {
  const auto comps = path_components(path);
  if (comps.empty() || comps.back().kind == ComponentKind::Root) return std::nullopt;
  if (comps.size() == 1) return std::string();
  // Cut the last component off the text, then whatever is left dangling.
  const std::string_view rest = trim_end(path);
  const std::size_t slash = rest.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  const std::string_view parent = trim_end(rest.substr(0, slash == 0 ? 1 : slash));
  return std::string(parent);
}

std::optional<std::string_view> file_name(std::string_view path) {
  const auto comps = path_components(path);
  if (comps.empty() || comps.back().kind != ComponentKind::Name) return std::nullopt;
  return comps.back().name;
}

std::size_t path_depth(std::string_view path) { return path_components(path).size(); }


std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix) {
  const auto whole = path_components(path);
  const auto head = path_components(prefix);
  if (!components_prefix(whole, head)) return std::nullopt;
  if (whole.size() == head.size()) return std::string();
  // The first remaining component is never a root or a leading "."; find
  // where its piece starts by walking the pieces the way path_components
  // does, counting components.
  std::size_t i = !path.empty() && path[0] == '/' ? 1 : 0;
  std::size_t seen = i;  // a root is one component
  bool first_piece = true;
  while (i <= path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view piece = path.substr(i, end - i);
    const bool component = !piece.empty() && (piece != "." || (first_piece && path[0] != '/'));
    first_piece = false;
    if (component) {
      if (seen == head.size()) return std::string(trim_end(path.substr(i)));
      ++seen;
    }
    i = end + 1;
  }
  return std::string();
}

std::string trim_path_end(std::string_view path) { return std::string(trim_end(path)); }

void append_path(std::string& base, std::string_view piece) {
  if (!base.empty() && base.back() != '/') base.push_back('/');
  base.append(piece);
}

}  // namespace vorpel
