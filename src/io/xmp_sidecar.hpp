// A photo's XMP sidecar, where photo managers read keywords and ratings: the focus figures merged
// into it under this program's own namespace, and a blurred photo marked as rejected, everything
// else the sidecar holds kept.
#pragma once

#include "io_error.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace dofmap {

// The namespace of the figures: a stable URI and its prefix. The properties (all simple text):
// MaxMean, MeanMean, P90Mean (the figures of --stats, six decimals), Width, Height (of the image
// analyzed), Sigma, Window (the settings that give the figures their meaning); Noise,
// CorrectedMaxMean, DetailRatio, Motion (the culling figures, when made); and when the photo was
// judged, Verdict ("sharp" or "blurry") and Threshold, or for a verdict of culling Scene, JudgedBy
// and Cut instead. KeywordAdded, HierarchyAdded and
// RatingSet are "True" when a run of this program added the keyword to dc:subject, to
// lr:hierarchicalSubject, or set the rating, so that a later run takes back what it gave and nothing
// else; PreviousRating holds a rating replaced through overwriteRatings.
inline constexpr const char* kXmpNamespace = "http://ns.dofmap.org/xmp/1.0/";
inline constexpr const char* kXmpPrefix = "dofmap";

// The keyword of a blurred photo, in dc:subject, and its place in lr:hierarchicalSubject.
inline constexpr const char* kBlurryKeyword = "blurry";
inline constexpr const char* kBlurryHierarchy = "dofmap|blurry";

// The culling figures of a photo (see CullFigures): Noise, CorrectedMaxMean, DetailRatio, Motion.
struct SidecarCullFigures {
    double noise = 0.0, correctedMaxMean = 0.0, detailRatio = 0.0, motion = 0.0;
};

struct SidecarFigures {
    int width = 0, height = 0;
    double maxMean = 0.0, meanMean = 0.0, p90Mean = 0.0;
    double sigma = 0.0;
    int window = 0;
    std::optional<SidecarCullFigures> cull;  // when they were made; left as they are otherwise
};

// What a verdict of culling rests on: Scene (the scene's id in that run), JudgedBy (the figure), Cut.
struct SidecarJudgement {
    int scene = -1;
    std::string judgedBy;
    double cut = 0.0;
};

// A photo's verdict, as the sidecar is to record it.
struct SidecarVerdict {
    bool blurry = false;
    double threshold = 0.0;  // the largest mean below which a photo is blurry, unless judged by culling
    bool overwriteRatings = false;  // a blurry photo's existing rating (1 to 5) is replaced by -1 too
    std::optional<SidecarJudgement> cull;  // judged by culling: written instead of Threshold
};

// Merges `figures` and, when given, `verdict` into the XMP sidecar at `path`, created when there is
// none. A blurry photo gets the keyword (dc:subject, lr:hierarchicalSubject) and xmp:Rating -1
// (rejected) when it is unrated (no rating, or 0), or always with overwriteRatings; a sharp one loses
// the keyword and the rating that an earlier run gave it, if they are still as that run left them
// (a replaced rating comes back). Every other property of the sidecar is kept, empty language
// alternatives among them. The file is replaced whole or not at all (see writeFileAtomically), and
// keeps its permission bits, and its owner and group where the process may set them.
//
// The sidecar's folder is the photo's. A sidecar that is a symbolic link is followed only to a file
// in that folder or below, and then written through (the target replaced, the link kept); it is
// read without blocking and never past the size it had when opened. Just before the rename, the
// sidecar must still be the file that was read (device, inode, size, modification and change
// times; or still none): when another program changed it meanwhile, it is read and merged again,
// a few times at most.
//
// Fails, nothing written, with the system's error; IoReason::isLink (to a file elsewhere, or to
// none); notRegularFile (a FIFO, a device); hardLinks; notXmpSidecar for content that does not
// parse; cannotEncodeSidecar; changed when it changed at every attempt; outOfMemory; or, when
// Exiv2 itself fails to read or write, metadataUnreadable or metadataUnwritable.
IoStatus updateSidecar(const std::filesystem::path& path, const SidecarFigures& figures,
                       const std::optional<SidecarVerdict>& verdict);

}  // namespace dofmap
