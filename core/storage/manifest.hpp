// The record read from a Profile's "profile.toml".
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/storage/core_error.hpp"

namespace vorpel {

inline constexpr std::uint32_t kManifestSchema = 4;

// Only the shape of the document is checked here; the catalogue decides
// whether the values are acceptable.
struct RawManifest {
  std::uint32_t schema = 0;
  std::string name;                   // as written
  std::string description;            // empty when absent
  std::vector<std::string> packages;  // document order, repeats kept
  std::vector<std::string> manage;    // document order, repeats kept; not checked as paths yet
  bool operator==(const RawManifest&) const = default;
};

std::expected<RawManifest, TomlError> parse_raw_manifest(std::string_view text);

}  // namespace vorpel
