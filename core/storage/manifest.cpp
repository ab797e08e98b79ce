#include "core/storage/manifest.hpp"

#include "core/storage/toml_record.hpp"

namespace vorpel {

std::expected<RawManifest, TomlError> parse_raw_manifest(std::string_view text) {
  static const TomlRecord<RawManifest> record = [] {
    TomlRecord<RawManifest> r("RawManifest");
    r.field("schema", &RawManifest::schema, Presence::Required)
        .field("name", &RawManifest::name, Presence::Required)
        .field("description", &RawManifest::description)
        .field("packages", &RawManifest::packages)
        .field("manage", &RawManifest::manage);
    return r;
  }();
  return read_toml_record(text, record);
}

}  // namespace vorpel
