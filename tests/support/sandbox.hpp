// A throw-away world for end-to-end runs of the binary: a HOME, a profile
// root with content roots beside it, and the fake pacman and sudo first on
// PATH with their log and installed list.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel::testing {

class Sandbox {
 public:
  Sandbox();

  const std::string& root() const { return dir_.path(); }
  std::string home() const { return root() + "/home"; }
  // <root>/share/vorpel/profiles, so that content roots are <root>/share/<id>.
  std::string profile_root() const { return root() + "/share/vorpel/profiles"; }
  std::string content_root(const std::string& id) const { return root() + "/share/" + id; }
  std::string state_dir() const { return home() + "/.local/state/vorpel"; }
  std::string state_file() const { return state_dir() + "/state.toml"; }
  std::string snapshot_dir(const std::string& id) const { return state_dir() + "/profiles/" + id + "/managed"; }
  std::string log_path() const { return root() + "/fake-log"; }
  std::string installed_path() const { return root() + "/fake-installed"; }

  // Writes <profile root>/<id>/profile.toml with exactly `text`.
  void write_manifest(const std::string& id, const std::string& text) const;
  // Declares a valid schema-4 Profile named after its id. Every managed path
  // must then exist in the content root (write_content creates files).
  void add_profile(const std::string& id, const std::vector<std::string>& packages,
                   const std::vector<std::string>& manage) const;
  // Writes a file below the Profile's content root.
  void write_content(const std::string& id, const std::string& relative, const std::string& text) const;
  // Writes a file below HOME.
  void write_home(const std::string& relative, const std::string& text) const;
  // Writes "state.toml" by hand.
  void write_state(const std::string& text) const;

  // The names the fake `pacman -Qq` reports, one per line.
  void set_installed(const std::vector<std::string>& names) const;
  // Lines the fakes recorded ("sudo pacman -S --needed -- a", ...).
  std::vector<std::string> fake_log() const;

  // Environment of every run: HOME, VORPEL_PROFILE_ROOT, XDG_STATE_HOME
  // unset, PATH with the fakes first, the fakes' log and installed list.
  // `env` holds extra changes (std::nullopt unsets).
  std::map<std::string, std::optional<std::string>> env;
  RunResult run(const std::vector<std::string>& args) const;

 private:
  TempDir dir_;
};

// Runs the binary in the sandbox with `extra` applied over its environment
// (std::nullopt unsets), so that concurrent runs can differ.
RunResult run_with_env(const Sandbox& sandbox, const std::vector<std::string>& args,
                       const std::map<std::string, std::optional<std::string>>& extra);

// The lines of `text` without their newlines; a final newline ends the
// last line rather than starting an empty one.
std::vector<std::string> lines_of(const std::string& text);

// The directory named by the "Backup: {}" line that starts `out`; empty
// when `out` does not start with one.
std::string backup_dir_of(const std::string& out);

// Polls `done` every few milliseconds until it holds or `limit_seconds`
// have passed; returns whether it held. For waiting on another process,
// never for asserting how long something took.
bool wait_until(const std::function<bool()>& done, int limit_seconds = 120);

// True when /proc/locks shows a process blocked waiting for a lock on the
// file at `path`. std::nullopt when /proc/locks cannot be read.
std::optional<bool> lock_has_waiter(const std::string& path);

}  // namespace vorpel::testing
