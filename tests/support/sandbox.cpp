#include "tests/support/sandbox.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/temp_dir.hpp"

namespace vorpel::testing {

Sandbox::Sandbox() {
  make_dirs(home());
  make_dirs(profile_root());
  const char* path = std::getenv("PATH");
  env["PATH"] = source_dir() + "/tests/fakes:" + (path != nullptr ? path : "/usr/bin:/bin");
  env["HOME"] = home();
  env["VORPEL_PROFILE_ROOT"] = profile_root();
  env["XDG_STATE_HOME"] = std::nullopt;
  env["VORPEL_FAKE_LOG"] = log_path();
  env["VORPEL_FAKE_INSTALLED"] = installed_path();
  for (const char* name : {"VORPEL_FAKE_QUERY_STDERR", "VORPEL_FAKE_QUERY_EXIT", "VORPEL_FAKE_QUERY_SIGNAL",
                           "VORPEL_FAKE_CHANGE_EXIT", "VORPEL_FAKE_CHANGE_SIGNAL", "VORPEL_FAKE_SUDO_EXIT",
                           "VORPEL_FAKE_SUDO_SIGNAL", "VORPEL_FAKE_SUDO", "VORPEL_FAKE_DEPENDS",
                           "VORPEL_FAKE_AS_DEPS", "VORPEL_FAKE_GROUPS", "VORPEL_FAKE_PROVIDES",
                           "VORPEL_FAKE_UNKNOWN", "VORPEL_FAKE_NOT_INSTALLED", "VORPEL_FAKE_INSTALL_EXIT",
                           "VORPEL_FAKE_INSTALL_SIGNAL"}) {
    env[name] = std::nullopt;
  }
}

void Sandbox::write_manifest(const std::string& id, const std::string& text) const {
  write_file(profile_root() + "/" + id + "/profile.toml", text);
}

namespace {

std::string toml_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    out += "\"" + items[i] + "\"";
  }
  return out + "]";
}

}  // namespace

void Sandbox::add_profile(const std::string& id, const std::vector<std::string>& packages,
                          const std::vector<std::string>& manage) const {
  make_dirs(content_root(id));
  write_manifest(id, "schema = 4\nname = \"" + id + "\"\npackages = " + toml_array(packages) +
                         "\nmanage = " + toml_array(manage) + "\n");
}

void Sandbox::write_content(const std::string& id, const std::string& relative, const std::string& text) const {
  write_file(content_root(id) + "/" + relative, text);
}

void Sandbox::write_home(const std::string& relative, const std::string& text) const {
  write_file(home() + "/" + relative, text);
}

void Sandbox::write_state(const std::string& text) const { write_file(state_file(), text); }

void Sandbox::set_installed(const std::vector<std::string>& names) const {
  std::string text;
  for (const auto& name : names) text += name + "\n";
  write_file(installed_path(), text);
}

std::vector<std::string> Sandbox::fake_log() const {
  if (!path_exists(log_path())) return {};
  return lines_of(read_file(log_path()));
}

RunResult Sandbox::run(const std::vector<std::string>& args) const {
  RunOptions options;
  options.env = env;
  return run_vorpel(args, options);
}

RunResult run_with_env(const Sandbox& sandbox, const std::vector<std::string>& args,
                       const std::map<std::string, std::optional<std::string>>& extra) {
  RunOptions options;
  options.env = sandbox.env;
  for (const auto& [key, value] : extra) options.env[key] = value;
  return run_vorpel(args, options);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string backup_dir_of(const std::string& out) {
  const std::string prefix = "Backup: ";
  if (!out.starts_with(prefix)) return {};
  return out.substr(prefix.size(), out.find('\n') - prefix.size());
}

bool wait_until(const std::function<bool()>& done, int limit_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::optional<bool> lock_has_waiter(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  // A waiter's line: "1: -> FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF".
  const std::string inode = ":" + std::to_string(st.st_ino);
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find(" -> ") == std::string::npos) continue;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      if (word.size() > inode.size() && word.ends_with(inode) && std::count(word.begin(), word.end(), ':') == 2) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace vorpel::testing
