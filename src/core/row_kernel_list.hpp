// The row kernels, listed once: each DOFMAP_ROW_KERNEL(name, signature) entry names a kernel and
// gives its function type. The includer defines DOFMAP_ROW_KERNEL to make of the entries what it
// needs (the declarations of each instruction set, the dispatch table, the active set's calls) and
// includes this file once for each (no include guard on purpose). Every set gives the same results
// bit for bit: the loops hold only exact arithmetic and correctly rounded IEEE operations, and the
// sums are of terms few enough to be exact in any order.

// squared[i] = squared color distance between pixel i of the BGR rows `source` and `blurred`.
DOFMAP_ROW_KERNEL(squaredDistances,
                  void(const std::uint8_t* source, const std::uint8_t* blurred, int count, std::int32_t* squared))

// roots[i] = rootOf(squared[i]); columnSums[i] += roots[i].
DOFMAP_ROW_KERNEL(addRow, void(const std::int32_t* squared, int count, float* roots, double* columnSums))

// columnSums[i] -= roots[i].
DOFMAP_ROW_KERNEL(subtractRow, void(const float* roots, int count, double* columnSums))

// Replaces one row of the running column sums by another: with r = rootOf(squared[i]),
// columnSums[i] += r - roots[i], then roots[i] = r.
DOFMAP_ROW_KERNEL(replaceRow, void(const std::int32_t* squared, int count, float* roots, double* columnSums))

// sums[i] += rootOf(squared[i]).
DOFMAP_ROW_KERNEL(addDistances, void(const std::int32_t* squared, int count, double* sums))

// The same as squaredDistances of the BGR rows `source` and `blurred` followed by addRow,
// replaceRow or addDistances of those distances, without a row of them in memory between the two.
DOFMAP_ROW_KERNEL(addPixelRow,
                  void(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots,
                       double* columnSums))
DOFMAP_ROW_KERNEL(replacePixelRow,
                  void(const std::uint8_t* source, const std::uint8_t* blurred, int count, float* roots,
                       double* columnSums))
DOFMAP_ROW_KERNEL(addPixelDistances,
                  void(const std::uint8_t* source, const std::uint8_t* blurred, int count, double* sums))

// columnSums[i] += terms[entering[i]] - terms[leaving[i]], where a null row counts as absent: the
// fixed-point scan's update, with terms[s] = fixedRootOf(s, units) tabulated for every squared
// distance. The column sums are integers in those units, below 2^53.
DOFMAP_ROW_KERNEL(moveFixedRows,
                  void(const std::int32_t* entering, const std::int32_t* leaving, int count, const double* terms,
                       double* columnSums))

// Splits integers below 2^53 at kPartUnit: high[i] = floor(values[i] / kPartUnit), low[i] = the
// rest, so that prefix sums of each part stay exact in double precision over rows of up to 2^26
// values.
DOFMAP_ROW_KERNEL(splitParts, void(const double* values, int count, double* high, double* low))

// out[i] = ((highEnd[i] - highBegin[i]) * kPartUnit + (lowEnd[i] - lowBegin[i])) * scale: sums over
// a run of split values, from the prefix sums of their parts, rounded once and scaled by a power of
// two.
DOFMAP_ROW_KERNEL(joinDifferences,
                  void(const double* highEnd, const double* highBegin, const double* lowEnd, const double* lowBegin,
                       int count, double scale, double* out))

// prefix[0] = start, prefix[i + 1] = prefix[i] + values[i]. Every prefix sum must be exact (sums of
// roots few enough), so that the grouping of the additions does not matter.
DOFMAP_ROW_KERNEL(prefixSums, void(const double* values, int count, double start, double* prefix))

// out[i] = high[i] - low[i].
DOFMAP_ROW_KERNEL(differences, void(const double* high, const double* low, int count, double* out))

// levels[i] = levelOf(boxSums[i], columnScale[i], rowScale) rounded to the nearest integer (halves
// to even), plus kDoubtful where exactness::inDoubt; gray[i] = min(levels[i], 255). Levels must
// lie in [0, 2^15). Returns whether any level is in doubt: the caller settles those pixels.
DOFMAP_ROW_KERNEL(grayLevels,
                  bool(const double* boxSums, const double* columnScale, double rowScale, int count, LevelError error,
                       std::int32_t* levels, std::uint8_t* gray))

// The increment of a literal sum over a run of distances whose partial sums all stay in one binade,
// where the sum rounds every addition to a multiple of 1 / scale: *total = the sum over the run of
// round(sqrt(squared[i]) * scale), each to the nearest integer. Returns false, with *total
// unspecified, when one of them lies exactly half-way, which the literal sum rounds by the parity
// of its running value. Requires 1 <= scale <= 2^42; *total is exact while below 2^53.
DOFMAP_ROW_KERNEL(gridSum, bool(const std::int32_t* squared, int count, double scale, double* total))

// means[i] = boxSums[i] * columnScale[i] * rowScale: the fast means of a row; also rounded to single
// precision into floats[i] unless floats is null.
DOFMAP_ROW_KERNEL(fastMeans,
                  void(const double* boxSums, const double* columnScale, double rowScale, int count, double* means,
                       float* floats))

// The first i < count with values[i] >= threshold, or count when there is none.
DOFMAP_ROW_KERNEL(firstAtLeast, int(const double* values, int count, double threshold))

// The largest of values[0 .. count - 1], count >= 1 (none of them NaN).
DOFMAP_ROW_KERNEL(largestOf, double(const double* values, int count))

// floats[i] = float(boxSums[i] * columnScale[i] * rowScale): the fast means of a row rounded to
// single precision, as fastMeans rounds them; returns the largest box sum (0 when count is 0, box
// sums being at least 0). The vectorized sets write past the caches (a table of means is read again
// only once the whole image has been scanned), so other threads may read the floats only after
// finishStreamingStores.
DOFMAP_ROW_KERNEL(floatMeans,
                  double(const double* boxSums, const double* columnScale, double rowScale, int count, float* floats))

// levels[i] = double(means[i]) * toLevel rounded to the nearest integer (halves to even), plus
// kDoubtful where exactness::inDoubt; gray[i] = min(levels[i], 255). Levels must lie in [0, 2^15).
// Returns whether any level is in doubt: the caller settles those pixels. `levels` may be null,
// when the caller asks again for the levels of a row in doubt. The gray bytes may be written past
// the caches, as floatMeans writes: other threads may read them only after finishStreamingStores.
DOFMAP_ROW_KERNEL(grayLevelsOfMeans,
                  bool(const float* means, int count, double toLevel, LevelError error, std::int32_t* levels,
                       std::uint8_t* gray))

// Gathers a row of means for the statistics: lanes[i % 8] += values[i] (a fixed pattern of partial
// sums, so that the total does not depend on the instruction set), *below += how many values lie
// below `low`, and the values in [low, high] copied to `kept` in order; returns how many were kept.
// `kept` has room for `count` values.
DOFMAP_ROW_KERNEL(gatherRow,
                  int(const double* values, int count, double low, double high, double* lanes, std::int64_t* below,
                      double* kept))

// out[3 * i + c] = gray[i] for the three channels c.
DOFMAP_ROW_KERNEL(grayToThreeChannels, void(const std::uint8_t* gray, int count, std::uint8_t* out))
