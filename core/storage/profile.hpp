// Catalogue records: the Profiles offered below a profile root.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/storage/path_rules.hpp"

namespace vorpel {

struct Profile {
  std::string id;
  std::string name;         // as written, never blank
  std::string description;  // empty when the manifest has none
  std::string content_root;
  std::vector<std::string> packages;  // manifest order, no repeats
  PathSet manage;
};

struct RejectedProfile {
  std::string directory;
  std::string manifest;  // directory joined with "profile.toml"; this is what is shown
  std::string message;
};

struct ProfileCatalog {
  std::vector<RejectedProfile> rejected;    // in the order the directories were examined
  std::map<std::string, Profile> profiles;  // by id, byte order
};

}  // namespace vorpel
