#include "core/storage/core_error.hpp"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "core/storage/path_text.hpp"

namespace vorpel {

OsError OsError::last() { return from_errno(errno); }

bool OsError::is_not_found() const { return fixed_.empty() && code_ == ENOENT; }
bool OsError::already_exists() const { return fixed_.empty() && code_ == EEXIST; }

std::string OsError::text() const {
  if (!fixed_.empty()) return fixed_;
  const char* desc = strerrordesc_np(code_);
  if (desc == nullptr) return fmt::format("Unknown error {} (os error {})", code_, code_);
  return fmt::format("{} (os error {})", desc, code_);
}

CoreError CoreError::toml(std::string_view raw_path, TomlError source) {
  return CoreError(Toml{display_path(raw_path), std::move(source)});
}

std::string CoreError::text() const {
  struct Visitor {
    std::string operator()(const Message& m) const { return m.text; }
    std::string operator()(const Io& e) const { return fmt::format("I/O at {}: {}", e.path, e.source.text()); }
    std::string operator()(const Toml& e) const {
      return fmt::format("invalid manifest {}: {}", e.path, e.source.report);
    }
  };
  return std::visit(Visitor{}, value_);
}

std::optional<std::string> CoreError::cause() const {
  if (const auto* io = std::get_if<Io>(&value_)) return io->source.text();
  if (const auto* t = std::get_if<Toml>(&value_)) return t->source.report;
  return std::nullopt;
}

std::vector<std::string> CoreError::chain() const {
  std::vector<std::string> links{text()};
  if (auto c = cause()) links.push_back(std::move(*c));
  return links;
}

std::string CoreError::debug() const {
  struct Visitor {
    std::string operator()(const Message& m) const { return fmt::format("Message({:?})", m.text); }
    std::string operator()(const Io& e) const {
      return fmt::format("Io {{ path: {:?}, source: {:?} }}", e.path, e.source.text());
    }
    std::string operator()(const Toml& e) const {
      return fmt::format("Toml {{ path: {:?}, source: {:?} }}", e.path, e.source.report);
    }
  };
  return std::visit(Visitor{}, value_);
}

CoreError core_io_error(std::string_view path, OsError error) {
  return CoreError::io(display_path(path), std::move(error));
}

}  // namespace vorpel
