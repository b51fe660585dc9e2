// The contact sheet of --report: one HTML page to review a shoot, each photo's thumbnail, the
// thumbnail of its overlay, its figures and verdict, with the thumbnails in a folder beside the page.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace dofmap::batch {

class Reporter;
struct BatchOutcome;
struct Options;
struct Photo;

// The longer side of a thumbnail in pixels (a smaller photo keeps its size): the page shows it in a
// box of kThumbnailBox CSS pixels (three cards to a row at 1280 pixels), so screens of up to 1.8 device
// pixels a CSS pixel get it sharp.
constexpr int kThumbnailSide = 320;
constexpr int kThumbnailBox = 180;
// JPEG quality of the thumbnails: about 15 to 25 KB each for a photo with fine detail.
constexpr int kThumbnailQuality = 80;

// A photo's thumbnails, encoded as JPEG at once so that no pixels are kept: the photo, and the
// photo tinted by its colored map as --overlay makes it.
struct Thumbnails {
    std::vector<unsigned char> photo;
    std::vector<unsigned char> overlay;
    cv::Size size;  // of both

    bool empty() const { return photo.empty(); }
};

// The memory the thumbnails take at their peak beside the photo, in bytes a pixel of the photo.
constexpr double kThumbnailBytesPerPixel = 1.0;

// The thumbnails of `photo` (CV_8UC3) and of its overlay: the photo and its gray map (CV_8UC1, the
// photo's size) scaled down to kThumbnailSide (halved by pixel area, then interpolated), and the overlay's mix (see
// dofmap::overlay) made at that size through `colormap`. Throws std::bad_alloc or cv::Exception
// when their memory cannot be had; empty when an encoding fails.
Thumbnails makeThumbnails(const cv::Mat& photo, const cv::Mat& grayMap, cv::ColormapTypes colormap);

// The folder of the page's thumbnails: FILE_files beside FILE, after its name without extension
// (shoot_files for shoot.html), as browsers name the folder of a page they save.
std::filesystem::path thumbnailFolder(const std::filesystem::path& page);

// The two thumbnails of the photo with 0-based input number `index` out of `count`:
// NNNN.photo.dof-thumb.jpg and NNNN.overlay.dof-thumb.jpg in thumbnailFolder, NNNN its 1-based
// number in at least four digits. Numbers, not the photos' names, so that their links need no
// escaping; the .dof- suffix keeps folder walks from taking them for photos.
std::vector<std::filesystem::path> thumbnailPaths(const std::filesystem::path& page, std::size_t index,
                                                  std::size_t count);

// The order of the page's cards, as indices of `photos`: the records' order (recordOrder) when
// options.sort is given; otherwise the blurry photos first, then the others (sharp, unjudged or
// unreadable), each group in input order.
std::vector<std::size_t> pageOrder(const std::vector<Photo>& photos, const BatchOutcome& outcome,
                                   const Options& options);

// The page's HTML for `photos` and what became of them (`outcome`, in the photos' order): a header
// with the counts of countsOf, which the summary line gives too (photos, read, unreadable, and sharp
// and blurry when judged), the threshold, the settings and the order, then one <article
// class="card"> per photo in pageOrder, naming the photo, and the other file of its shot. Paths and
// reasons are printed as the messages print them (control characters, C1 and bidirectional
// controls and bytes that are not UTF-8 escaped), then HTML-escaped; the thumbnails are linked by
// the folder's name percent-encoded. Plain HTML and CSS, no script: its Content-Security-Policy
// allows only its own style and images from beside it.
std::string contactSheetHtml(const std::filesystem::path& page, const std::vector<Photo>& photos,
                             const BatchOutcome& outcome, const Options& options);

// The report of a run of `count` photos: thumbnails written as each photo is done, the page at the
// end from the batch's outcome.
class ContactSheet {
public:
    ContactSheet(std::filesystem::path page, std::size_t count);

    const std::filesystem::path& page() const { return page_; }

    // Creates the page's folder and the thumbnails' folder as needed. Returns whether they exist;
    // otherwise tells `reporter` that the page cannot be written, with the system's reason.
    bool prepare(Reporter& reporter) const;

    // Writes the thumbnails of photo `index` (each with writeFileAtomically), then lets their bytes
    // go; safe from any thread. A failure goes to `reporter` by file, and leaves `thumbnails` with an
    // empty size, so that the photo's card says so. Returns whether both were written.
    bool writeThumbnails(std::size_t index, Thumbnails& thumbnails, Reporter& reporter) const;

    // Writes the page (contactSheetHtml) with writeFileAtomically. Returns whether it was written;
    // otherwise tells `reporter` why.
    bool write(const std::vector<Photo>& photos, const BatchOutcome& outcome, const Options& options,
               Reporter& reporter) const;

private:
    std::filesystem::path page_;
    std::size_t count_;
};

}  // namespace dofmap::batch
