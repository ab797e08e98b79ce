// What tests that run as root set up for themselves: mounts they always
// take down again, and runs of the binary as an unprivileged user.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/sandbox.hpp"

namespace vorpel::testing {

// A mount made for one test, detached when the object goes away (so one
// still in use goes too), wherever it has been moved to meanwhile: code
// under test that renames a tree holding it must not leave it behind.
// Declare it after the directories it lies in, so that it is taken down
// before they are removed.
class ScopedMount {
 public:
  // Binds `from` at `at`; std::nullopt when the system refuses (not root).
  static std::optional<ScopedMount> bind(const std::string& from, const std::string& at);
  // A tmpfs at `at` with mount's `size=` value and mode 0755.
  static std::optional<ScopedMount> tmpfs(const std::string& at, const std::string& size);

  ScopedMount(ScopedMount&& other) noexcept : root_(other.root_) { other.root_ = -1; }
  ScopedMount& operator=(ScopedMount&& other) noexcept;
  ~ScopedMount();

 private:
  explicit ScopedMount(int root) : root_(root) {}
  static std::optional<ScopedMount> opened(const std::string& at);
  void detach();
  int root_;  // O_PATH descriptor of the mounted root
};

// The unprivileged user of the permission tests: nobody.
constexpr unsigned kNobody = 65534;

// Hands `path` and everything below it to kNobody, links themselves.
void give_to_nobody(const std::string& path);

// Runs the binary as kNobody without supplementary groups (setpriv), in the
// sandbox's environment with `extra` over it. Its files must be reachable
// for that user: see prepare_for_nobody.
RunResult run_as_nobody(const Sandbox& box, const std::vector<std::string>& args,
                        const std::map<std::string, std::optional<std::string>>& extra = {});

// Opens the sandbox's root for others to search and hands HOME to kNobody.
void prepare_for_nobody(const Sandbox& box);

}  // namespace vorpel::testing
