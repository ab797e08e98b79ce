#include "core/storage/user_state.hpp"

#include <fmt/format.h>

#include "core/storage/path_text.hpp"
#include "core/storage/toml_record.hpp"

namespace vorpel {
namespace {

constexpr std::string_view kBadPath = "path contains invalid UTF-8 characters";
constexpr std::string_view kBadString = "string contains invalid UTF-8 characters";

// Builds the text of "state.toml"; the first string that cannot be written
// as TOML sets `error` and ends the rendering.
class StateWriter {
 public:
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  std::string take() { return std::move(out_); }

  void raw(std::string_view text) { out_ += text; }

  // A basic string that reads back to exactly `text`.
  void string(std::string_view text, std::string_view error_if_invalid = kBadString) {
    if (failed()) return;
    if (!is_valid_utf8(text)) {
      error_ = error_if_invalid;
      return;
    }
    out_ += '"';
    for (const char ch : text) {
      const auto c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\b': out_ += "\\b"; break;
        case '\t': out_ += "\\t"; break;
        case '\n': out_ += "\\n"; break;
        case '\f': out_ += "\\f"; break;
        case '\r': out_ += "\\r"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            out_ += fmt::format("\\u{:04X}", c);
          } else {
            out_ += ch;
          }
      }
    }
    out_ += '"';
  }

  // Bare when the key allows it (every valid Profile id does), else quoted.
  void key(std::string_view text) {
    bool bare = !text.empty();
    for (const char ch : text) {
      const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                      ch == '-' || ch == '_';
      bare = bare && ok;
    }
    if (bare) {
      out_ += text;
    } else {
      string(text);
    }
  }

  // `key = [...]`: up to one element inline, more one per line.
  template <class Set>
  void array_line(std::string_view key_text, const Set& items, std::string_view error_if_invalid) {
    out_ += key_text;
    out_ += " = [";
    if (items.size() == 1) {
      string(*items.begin(), error_if_invalid);
    } else if (items.size() > 1) {
      out_ += '\n';
      for (const auto& item : items) {
        out_ += "    ";
        string(item, error_if_invalid);
        out_ += ",\n";
      }
    }
    out_ += "]\n";
  }

  void string_line(std::string_view key_text, std::string_view value) {
    out_ += key_text;
    out_ += " = ";
    string(value);
    out_ += '\n';
  }

 private:
  std::string out_;
  std::string error_;
};

void serialize_profile_state(StateWriter& w, std::string_view id, const ProfileState& entry) {
  w.raw("\n[profiles.");
  w.key(id);
  w.raw("]\n");
  w.string_line("name", entry.name);
  w.string_line("description", entry.description);
  w.array_line("packages", entry.packages, kBadString);
  w.array_line("manage", entry.manage, kBadPath);
}

const TomlRecord<UserState>& user_state_record() {
  static const TomlRecord<UserState> record = [] {
    TomlRecord<ProfileState> entry("ProfileState");
    entry.field("name", &ProfileState::name, Presence::Required)
        .field("description", &ProfileState::description)
        .field("packages", &ProfileState::packages)
        .field("manage", &ProfileState::manage);
    TomlRecord<UserState> state("UserState");
    state.field("schema", &UserState::schema, Presence::Required)
        .field("active_profile", &UserState::active_profile)
        .field("introduced_packages", &UserState::introduced_packages)
        .field("profiles", &UserState::profiles, entry);
    return state;
  }();
  return record;
}

}  // namespace

std::expected<UserState, TomlError> parse_user_state(std::string_view text) {
  auto state = read_toml_record(text, user_state_record());
  if (!state) return std::unexpected(std::move(state.error()));
  // Checked only once the whole document has been read, so any reading fault wins.
  if (state->schema != kStateSchema) {
    return std::unexpected(
        toml_message_error(fmt::format("unsupported state schema {}; expected {}", state->schema, kStateSchema)));
  }
  return state;
}

std::expected<std::string, std::string> serialize_user_state(const UserState& state) {
  StateWriter w;
  w.raw(fmt::format("schema = {}\n", state.schema));
  if (state.active_profile) w.string_line("active_profile", *state.active_profile);
  w.array_line("introduced_packages", state.introduced_packages, kBadString);
  if (state.profiles.empty()) w.raw("\n[profiles]\n");
  for (const auto& [id, entry] : state.profiles) serialize_profile_state(w, id, entry);
  if (w.failed()) return std::unexpected(w.error());
  return w.take();
}

}  // namespace vorpel
