// Reading a TOML document into a C++ record described by a field table.
//
// "profile.toml" and "state.toml" share one set of reading rules; each record
// only supplies its field table. Describe a record once:
//
//   TomlRecord<ProfileState> entry("ProfileState");
//   entry.field("name", &ProfileState::name, Presence::Required)
//        .field("description", &ProfileState::description)
//        .field("packages", &ProfileState::packages)     // std::set: ordered set of strings
//        .field("manage", &ProfileState::manage);        // PathSet: ordered set of paths
//   TomlRecord<UserState> state("UserState");
//   state.field("schema", &UserState::schema, Presence::Required)
//        .field("active_profile", &UserState::active_profile)
//        .field("introduced_packages", &UserState::introduced_packages)
//        .field("profiles", &UserState::profiles, entry);  // map from id to record
//
//   std::expected<UserState, TomlError> r = read_toml_record(text, state);
//
// The value kind follows from the member's type:
//
//   member type                              kind                      expectation text
//   std::uint32_t                            32-bit unsigned integer   "u32"
//   std::string                              string                    "a string"
//   std::vector<std::string>                 list of strings           "a sequence"
//   std::set<std::string>                    ordered set of strings    "a sequence"
//   PathSet                                  ordered set of paths      "a sequence" (elements "path string")
//   std::optional<std::string>               optional string           "a string"
//   std::map<std::string, S> (+ TomlRecord<S>) map from id to record   "a map"
//
// Field declaration order is the order of names in the unknown-field message,
// the order in which missing required fields are reported and the element
// order of the array form of a record. An optional field that is absent gets
// its kind's empty value (empty string, list, set or map; std::nullopt).
// The record's name gives the texts "struct NAME" (where a record is
// expected) and "struct NAME with N elements" (array form, N = field count).
//
// Rules applied (first fault wins, nothing partial is returned):
// - the document is parsed whole (a leading UTF-8 byte-order mark is
//   skipped); syntax errors keep the parser's description; a key defined
//   twice in one table, or a table header naming a table already defined,
//   reads "duplicate key `K` in document root" / "duplicate key `K` in table
//   `a.b`";
// - table rule: entries in document order; a key matching no field fails with
//   "unknown field `K`, expected one of `f1`, `f2`, ..."; each value is read
//   by its field's kind; then the first absent required field (declaration
//   order) fails with "missing field `F`". So an unknown key beats a missing
//   field, and the earlier of two faulty entries is reported;
// - array rule (an array where a nested record is expected): elements are the
//   fields in declaration order; ending before a required field fails with
//   "invalid length N, expected struct NAME with M elements"; surplus
//   elements are ignored;
// - any other value where a record is expected: "invalid type: X, expected
//   struct NAME";
// - a wrong kind fails with "invalid type: X, expected E", an integer outside
//   u32 with "invalid value: integer `N`, expected u32". X describes the value
//   found: string "text" (quotes, backslashes and control characters escaped
//   with a backslash), integer `5`, floating point `4.0`, boolean `true`,
//   sequence (arrays), map (tables, and date-times where a string, number or
//   array is expected; where a record or a map is expected a date-time is
//   described as date-time).
//
// Report framing (TomlError::report, always ending with a newline): when the
// fault has a place in the document (the key for an unknown field and for a
// duplicate key, the value for a wrong value, the nested table for a missing
// field, the array for a short array form, the parser's position for a syntax
// error):
//
//   TOML parse error at line 2, column 10
//     |
//   2 | schema = "4"
//     |          ^^^
//   invalid type: string "4", expected u32
//
// Lines and columns count from 1, columns in characters; the carets cover
// the faulty text on its first line (at least one caret). A fault without a
// place (a missing field of the top-level table) is the message alone, with
// " in `a.b`" appended when it lies below the top level.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/storage/core_error.hpp"
#include "core/storage/path_rules.hpp"

namespace vorpel {

enum class Presence { Required, Optional };

// A TomlError carrying only a message (no document position), such as a
// check made after reading ("unsupported state schema 4; expected 5").
TomlError toml_message_error(std::string_view message);

namespace toml_detail {

enum class Kind { U32, String, StringList, StringSet, PathSet, OptionalString, RecordMap };

// A value read for one field; std::nullopt when the field was absent.
using Value = std::variant<std::uint32_t, std::string, std::vector<std::string>, std::set<std::string>, PathSet>;

struct Shape;

struct FieldShape {
  std::string name;
  Kind kind;
  bool required;
  // Stores the value read (or, when absent, the kind's empty value) into the
  // record at `record`. Not used for RecordMap.
  std::function<void(void* record, std::optional<Value>&& value)> assign;
  // RecordMap: the entries' record and a function adding an empty entry
  // under `key` to the record's map, returning the entry.
  std::shared_ptr<const Shape> nested;
  std::function<void*(void* record, const std::string& key)> add_entry;
  std::function<void(void* record)> clear;
};

struct Shape {
  std::string name;
  std::vector<FieldShape> fields;
};

// Reads `text` into the record at `record` (a default-constructed record of
// the type `shape` describes).
std::expected<void, TomlError> read_document(std::string_view text, const Shape& shape, void* record);

}  // namespace toml_detail

template <class R>
class TomlRecord {
 public:
  explicit TomlRecord(std::string name) : shape_(std::make_shared<toml_detail::Shape>()) {
    shape_->name = std::move(name);
  }

  TomlRecord& field(std::string name, std::uint32_t R::*m, Presence p = Presence::Optional) {
    return plain(std::move(name), toml_detail::Kind::U32, p, m);
  }
  TomlRecord& field(std::string name, std::string R::*m, Presence p = Presence::Optional) {
    return plain(std::move(name), toml_detail::Kind::String, p, m);
  }
  TomlRecord& field(std::string name, std::vector<std::string> R::*m, Presence p = Presence::Optional) {
    return plain(std::move(name), toml_detail::Kind::StringList, p, m);
  }
  TomlRecord& field(std::string name, std::set<std::string> R::*m, Presence p = Presence::Optional) {
    return plain(std::move(name), toml_detail::Kind::StringSet, p, m);
  }
  TomlRecord& field(std::string name, PathSet R::*m, Presence p = Presence::Optional) {
    return plain(std::move(name), toml_detail::Kind::PathSet, p, m);
  }
  // TOML has no null: an optional string is present or absent, never required.
  TomlRecord& field(std::string name, std::optional<std::string> R::*m) {
    toml_detail::FieldShape f{std::move(name), toml_detail::Kind::OptionalString, false, {}, {}, {}, {}};
    f.assign = [m](void* rec, std::optional<toml_detail::Value>&& v) {
      auto& slot = static_cast<R*>(rec)->*m;
      if (v) {
        slot = std::get<std::string>(std::move(*v));
      } else {
        slot.reset();
      }
    };
    shape_->fields.push_back(std::move(f));
    return *this;
  }
  template <class S>
  TomlRecord& field(std::string name, std::map<std::string, S> R::*m, const TomlRecord<S>& entry,
                    Presence p = Presence::Optional) {
    toml_detail::FieldShape f{std::move(name), toml_detail::Kind::RecordMap, p == Presence::Required, {}, {}, {}, {}};
    f.nested = entry.shape();
    f.add_entry = [m](void* rec, const std::string& key) -> void* {
      auto& map = static_cast<R*>(rec)->*m;
      return &map.insert_or_assign(key, S{}).first->second;
    };
    f.clear = [m](void* rec) { (static_cast<R*>(rec)->*m).clear(); };
    shape_->fields.push_back(std::move(f));
    return *this;
  }

  std::shared_ptr<const toml_detail::Shape> shape() const { return shape_; }

 private:
  template <class T>
  TomlRecord& plain(std::string name, toml_detail::Kind kind, Presence p, T R::*m) {
    toml_detail::FieldShape f{std::move(name), kind, p == Presence::Required, {}, {}, {}, {}};
    f.assign = [m](void* rec, std::optional<toml_detail::Value>&& v) {
      auto& slot = static_cast<R*>(rec)->*m;
      slot = v ? std::get<T>(std::move(*v)) : T{};
    };
    shape_->fields.push_back(std::move(f));
    return *this;
  }

  std::shared_ptr<toml_detail::Shape> shape_;
};

// Reads the whole document `text` (UTF-8) as the record `record` describes.
template <class R>
std::expected<R, TomlError> read_toml_record(std::string_view text, const TomlRecord<R>& record) {
  R out{};
  auto status = toml_detail::read_document(text, *record.shape(), &out);
  if (!status) return std::unexpected(std::move(status.error()));
  return out;
}

}  // namespace vorpel
