// The analysis on a prepared scan: for callers that choose the scan's terms themselves.
#pragma once

#include "box_scan.hpp"
#include "focus_map.hpp"

namespace dofmap::detail {

// analyzeFocus on the images and window of `scan`.
void analyze(const BoxScan& scan, const FocusRequest& request, FocusAnalysis& result);

}  // namespace dofmap::detail
