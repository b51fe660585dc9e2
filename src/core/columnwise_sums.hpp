// The literal sums of many neighborhoods over neighboring rows, column by column: each column of
// the image is read once for all the sums that cross it, and a sum crosses it in a few operations.
#pragma once

#include "box_scan.hpp"

#include <cstddef>
#include <vector>

namespace dofmap::detail {

// Areas [begin, end) of a sorted list: over the same rows, from the same first column.
struct GroupRange {
    std::size_t begin;
    std::size_t end;
};

// The literal means of the areas of `groups`, column by column: each column over the rows of the
// groups that cross it is loaded once, and every group's running sum advances through it.
void sumColumnwise(const BoxScan& scan, const std::vector<Area>& areas, const std::vector<GroupRange>& groups,
                   std::vector<double>& means);

}  // namespace dofmap::detail
