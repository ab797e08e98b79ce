// Trees deeper than a recursive walk survives, and the room to walk them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace vorpel::testing {

// Creates a chain of `depth` directories named `name` below the existing
// directory `base`, one mkdirat through the last one's descriptor at a
// time, so that neither a path nor the stack grows with the depth. A
// non-empty `leaf` is written as a regular file holding its own name in the
// deepest directory. TempDir removes such a tree at any depth.
void make_deep_dirs(const std::string& base, std::size_t depth, const std::string& name = "d",
                    const std::string& leaf = "");

// "d/" repeated `depth` times, then `leaf`: the relative path of the leaf
// that make_deep_dirs wrote with the default name.
std::string deep_relative_path(std::size_t depth, const std::string& leaf);

// Raises the soft limit on open descriptors as far as the hard limit
// allows, for walks that hold one or two per level; returns the limit now
// in force.
std::size_t raise_descriptor_limit();

// The number of descriptors this process holds open, for checking that a
// call closed every one it opened.
std::size_t open_descriptors();

// Runs `work` on a thread with a 256 KiB stack: room enough for a walk that
// keeps its levels on the heap, but only for a few hundred levels of one
// that recursed per directory.
void on_small_stack(const std::function<void()>& work);

}  // namespace vorpel::testing
