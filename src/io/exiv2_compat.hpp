// Exiv2 as this program includes it, with the names where its releases differ, so that the same
// code builds with 0.27 (Debian 12) and 0.28 (Debian 13, Ubuntu 24.10 on): 0.28 renamed the owner
// of a value it makes and counts a value's components in size_t rather than long.
#pragma once

#include <exiv2/exiv2.hpp>

#include <cstddef>

namespace dofmap::exiv2 {

#if EXIV2_TEST_VERSION(0, 28, 0)
// The owner of a value that Exiv2::Value::create makes.
using ValuePointer = Exiv2::Value::UniquePtr;
// A component's index, as Exiv2::Value::count gives them and Exiv2::Value::toString(n) takes one.
using ComponentIndex = std::size_t;
#else
using ValuePointer = Exiv2::Value::AutoPtr;
using ComponentIndex = long;
#endif

}  // namespace dofmap::exiv2
