// How `select` treats a Profile's packages.
#pragma once

namespace vorpel {

enum class PackageMode { Install, Verify };

}  // namespace vorpel
