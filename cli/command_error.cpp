#include "cli/command_error.hpp"

namespace vorpel {

std::string CommandError::display() const {
  std::string out;
  for (std::size_t i = 0; i < links_.size(); ++i) {
    if (i != 0) out += ": ";
    out += links_[i];
  }
  return out;
}

}  // namespace vorpel
