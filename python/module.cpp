// The compiled part of the Python package dofmap: depth-of-field maps, means and figures of NumPy
// photos, the programs' readers, and one photo's record as dofmap-batch --json prints it.
#include "batch.hpp"
#include "focus_map.hpp"
#include "image_io.hpp"

#include <opencv2/imgproc.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The parameters dofmap-batch accepts.
constexpr double kLeastSigma = 0.1;
constexpr double kGreatestSigma = 100.0;
constexpr int kGreatestWindow = 100000;

void checkParameters(int window, double sigma)
{
    if (window < 1 || window > kGreatestWindow)
        throw py::value_error("window must be from 1 to 100000, not " + std::to_string(window));
    if (!std::isfinite(sigma) || sigma < kLeastSigma || sigma > kGreatestSigma)
        throw py::value_error("sigma must be from 0.1 to 100, not " + py::repr(py::float_(sigma)).cast<std::string>());
}

std::string shapeOf(const py::array& array)
{
    return py::repr(py::tuple(array.attr("shape"))).cast<std::string>();
}

// A photo handed in from Python. `pixels` is a header on the array's own memory when each row's
// pixels lie packed (the rows may lie apart, as in a crop), else on a packed copy; `array` keeps
// that memory alive.
struct InputPhoto {
    py::array array;
    cv::Mat pixels;
    bool rgb = false;

    // The photo as the computation takes it: BGR, converted when the array holds RGB.
    cv::Mat bgr() const
    {
        if (!rgb) return pixels;
        cv::Mat converted;
        cv::cvtColor(pixels, converted, cv::COLOR_RGB2BGR);
        return converted;
    }
};

// Checks that `photo` is an 8-bit height x width x 3 array, not empty, and takes it without a copy
// when its layout allows. Raises ValueError naming the dtype or shape given otherwise.
InputPhoto inputPhoto(const py::object& photo, bool rgb)
{
    if (!py::isinstance<py::array>(photo))
        throw py::type_error("photo must be a numpy array, not " +
                             py::str(photo.get_type().attr("__name__")).cast<std::string>());
    py::array array = py::reinterpret_borrow<py::array>(photo);
    const py::dtype dtype = array.dtype();
    if (dtype.kind() != 'u' || dtype.itemsize() != 1)
        throw py::value_error("photo must be an array of uint8, not " + py::str(py::handle(dtype)).cast<std::string>());
    if (array.ndim() != 3 || array.shape(2) != 3)
        throw py::value_error("photo must have the shape (height, width, 3), not " + shapeOf(array));
    if (array.shape(0) == 0 || array.shape(1) == 0) throw py::value_error("photo is empty: shape " + shapeOf(array));
    if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX)
        throw py::value_error("photo is too large: shape " + shapeOf(array));

    const int rows = int(array.shape(0)), cols = int(array.shape(1));
    // Numpy gives any stride to an axis of length 1: only the strides that matter are checked.
    const bool packedPixels = array.strides(2) == 1 && (cols == 1 || array.strides(1) == 3);
    const bool rowsForward = rows == 1 || array.strides(0) >= py::ssize_t(3) * cols;
    if (!packedPixels || !rowsForward) array = py::module_::import("numpy").attr("ascontiguousarray")(array);
    const std::size_t step = rows == 1 ? std::size_t(3) * cols : std::size_t(array.strides(0));
    // The pixels are only read; OpenCV's header takes a non-const pointer all the same.
    cv::Mat pixels(rows, cols, CV_8UC3, const_cast<void*>(array.data()), step);
    return {std::move(array), pixels, rgb};
}

// `mat` (continuous or not) as a NumPy array sharing its memory: height x width for one channel,
// height x width x channels otherwise.
py::array asArray(cv::Mat mat)
{
    if (!mat.isContinuous()) mat = mat.clone();
    py::dtype dtype;
    switch (mat.depth()) {
    case CV_8U:
        dtype = py::dtype::of<std::uint8_t>();
        break;
    case CV_32F:
        dtype = py::dtype::of<float>();
        break;
    case CV_64F:
        dtype = py::dtype::of<double>();
        break;
    default:
        throw std::logic_error("no NumPy type for this matrix depth");
    }
    const py::ssize_t element = py::ssize_t(mat.elemSize1());
    std::vector<py::ssize_t> shape{mat.rows, mat.cols};
    std::vector<py::ssize_t> strides{py::ssize_t(mat.step[0]), py::ssize_t(mat.elemSize())};
    if (mat.channels() > 1) {
        shape.push_back(mat.channels());
        strides.push_back(element);
    }
    // The array keeps the matrix's memory alive through a capsule that owns a reference to it.
    auto owner = std::make_unique<cv::Mat>(mat);
    const py::capsule base(owner.get(), [](void* pointer) { delete static_cast<cv::Mat*>(pointer); });
    const cv::Mat* const held = owner.release();
    return py::array(dtype, shape, strides, held->data, base);
}

// The path as the file system spells it, and as Python shows it.
std::string fileSystemPath(const py::object& path)
{
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// Checks the parameters, takes the photo, and runs `compute(source, blurred)` on it with the GIL
// released, so that other Python threads run meanwhile.
template <class Compute>
auto analyzed(const py::object& photo, int window, double sigma, bool rgb, const Compute& compute)
{
    checkParameters(window, sigma);
    const InputPhoto input = inputPhoto(photo, rgb);
    const py::gil_scoped_release released;
    const cv::Mat source = input.bgr();
    return compute(source, dofmap::blurredReference(source, sigma));
}

py::tuple focusMap(const py::object& photo, int window, double sigma, bool rgb)
{
    const dofmap::DofMap result =
        analyzed(photo, window, sigma, rgb, [&](const cv::Mat& source, const cv::Mat& blurred) {
            return dofmap::computeDofMap(source, blurred, window, 1);
        });
    return py::make_tuple(asArray(result.map), result.maxMean);
}

py::array means(const py::object& photo, int window, double sigma, bool rgb)
{
    return asArray(analyzed(photo, window, sigma, rgb, [&](const cv::Mat& source, const cv::Mat& blurred) {
        return dofmap::neighborhoodMeans(source, blurred, window, CV_32F);
    }));
}

py::object statistics(const py::module_& module, const py::object& photo, int window, double sigma, bool rgb)
{
    const dofmap::MeanStatistics result =
        analyzed(photo, window, sigma, rgb, [&](const cv::Mat& source, const cv::Mat& blurred) {
            return dofmap::meanStatistics(source, blurred, window);
        });
    return module.attr("Statistics")(result.maxMean, result.averageMean, result.p90Mean);
}

// Raises dofmap.ReadError for the photo at `path` that cannot be read for `reason`.
[[noreturn]] void raiseReadError(const py::module_& module, const py::object& path, const std::string& reason)
{
    const py::object shown = py::module_::import("os").attr("fsdecode")(path);
    const py::object type = module.attr("ReadError");
    const py::object error = type("cannot read image " + py::str(shown).cast<std::string>() + ": " + reason);
    error.attr("path") = shown;
    error.attr("reason") = reason;
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

py::array read(const py::module_& module, const py::object& path, bool rawPreview)
{
    const std::string name = fileSystemPath(path);
    std::string reason;
    cv::Mat photo;
    {
        const py::gil_scoped_release released;
        try {
            dofmap::PhotoFile file;
            if (dofmap::loadPhotoFile(name, file, reason))
                photo = dofmap::decodePhoto(
                    file, reason, rawPreview ? dofmap::RawDevelopment::previewWhenLarge : dofmap::RawDevelopment::full);
        } catch (const std::bad_alloc&) {
            photo.release();
            reason = "out of memory";
        }
    }
    if (photo.empty()) raiseReadError(module, path, reason);
    return asArray(photo);
}

// Failures reach the caller through the record; nothing is printed.
class SilentReporter : public dofmap::batch::Reporter {
public:
    void cannotRead(const std::string&, const std::string&) override { }
    void cannotWrite(const std::filesystem::path&, const std::string&) override { }
};

std::string batchRecord(const py::object& path, const py::object& companion, bool rawPreview, int window, double sigma)
{
    checkParameters(window, sigma);
    dofmap::batch::Options options;
    options.noMap = true;
    options.json = true;
    options.rawPreview = rawPreview;
    options.window = window;
    options.sigma = sigma;
    const dofmap::batch::Photo photo{
        fileSystemPath(path), companion.is_none() ? "" : fileSystemPath(companion), {}, {}};
    // The photos this process figures at once share one budget, as a run's jobs do.
    static dofmap::batch::MemoryBudget budget(dofmap::batch::defaultMemoryBudget());
    const py::gil_scoped_release released;
    SilentReporter reporter;
    bool complete = false;
    const dofmap::batch::PhotoOutcome outcome = dofmap::batch::processPhoto(photo, options, budget, reporter, complete);
    return outcome.statistics ? dofmap::batch::jsonRecord(photo.input, *outcome.statistics, photo.companion)
                              : dofmap::batch::jsonFailure(photo.input, outcome.unreadable, photo.companion);
}

// The photos dofmap-batch takes for `inputs`, each with the companion of its shot (None for a photo
// alone), and the folders it could not read with their reasons.
py::tuple planPhotos(const std::vector<py::object>& inputs, bool recursive)
{
    dofmap::batch::Options options;
    options.noMap = true;
    options.json = true;
    options.recursive = recursive;
    for (const py::object& input : inputs) options.inputs.push_back(fileSystemPath(input));
    std::vector<std::string> problems;
    std::vector<dofmap::batch::Photo> photos;
    std::vector<dofmap::batch::UnreadableFolder> unreadable;
    {
        const py::gil_scoped_release released;
        photos = dofmap::batch::plan(options, problems, &unreadable);
    }
    // The message names paths, which need not be UTF-8: decoded as os.fsdecode decodes them.
    if (!problems.empty()) {
        std::string error;
        for (const std::string& problem : problems) error += (error.empty() ? "" : "\n") + problem;
        const py::object message = py::module_::import("os").attr("fsdecode")(py::bytes(error));
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw py::error_already_set();
    }
    py::list paths;
    for (const dofmap::batch::Photo& photo : photos)
        paths.append(py::make_tuple(py::bytes(photo.input),
                                    photo.companion.empty() ? py::object(py::none()) : py::bytes(photo.companion)));
    py::list folders;
    for (const dofmap::batch::UnreadableFolder& folder : unreadable)
        folders.append(py::make_tuple(py::bytes(folder.path), folder.reason));
    return py::make_tuple(paths, folders);
}

}  // namespace

PYBIND11_MODULE(_dofmap, module)
{
    using namespace pybind11::literals;
    module.doc() = "Depth-of-field maps of photographs held in NumPy arrays (the compiled part of dofmap).";
    module.attr("__version__") = DOFMAP_VERSION;
    module.attr("WINDOW") = dofmap::kWindow;
    module.attr("SIGMA") = dofmap::kBlurSigma;

    py::object statisticsType =
        py::module_::import("collections")
            .attr("namedtuple")("Statistics", std::vector<std::string>{"max_mean", "mean_mean", "p90_mean"});
    statisticsType.attr("__module__") = "dofmap";
    statisticsType.attr("__doc__") = "Figures of a photo's neighborhood means, in units of color distance: the largest "
                                     "(exact), the average and the 90th percentile by nearest rank.";
    module.attr("Statistics") = statisticsType;

    const py::handle readError = PyErr_NewExceptionWithDoc(
        "dofmap.ReadError", "A photo that cannot be read or decoded; `path` and `reason` say which and why.",
        PyExc_OSError, nullptr);
    module.attr("ReadError") = py::reinterpret_steal<py::object>(readError);

    module.def("focus_map", &focusMap, "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow,
               "sigma"_a = dofmap::kBlurSigma, "rgb"_a = false,
               R"(The depth-of-field map of `photo` and the largest neighborhood mean.

photo: uint8 array of shape (height, width, 3), BGR as cv2.imread gives it (RGB with rgb=True).
window: side of the square neighborhood, 1 to 100000. sigma: the blur, 0.1 to 100.
Returns (map, max_mean): map a uint8 array of shape (height, width), each pixel the mean color
distance between the photo and its Gaussian blur over the window around it, scaled so that
max_mean is 255; pixel for pixel the map dofmap-batch writes. Raises ValueError for a wrong
dtype, shape or parameter. Runs without the GIL, on all cores.)");
    module.def("means", &means, "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma,
               "rgb"_a = false,
               R"(The neighborhood means of `photo` (as focus_map takes it) as a float32 array of
shape (height, width), in units of color distance: the values dofmap-batch --means writes.)");
    module.def(
        "statistics",
        [module](const py::object& photo, int window, double sigma, bool rgb) {
            return statistics(module, photo, window, sigma, rgb);
        },
        "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma, "rgb"_a = false,
        R"(Statistics(max_mean, mean_mean, p90_mean) of the neighborhood means of `photo` (as
focus_map takes it): the figures of dofmap-batch --stats, unrounded.)");
    module.def(
        "read", [module](const py::object& path, bool rawPreview) { return read(module, path, rawPreview); }, "path"_a,
        py::kw_only(), "raw_preview"_a = false,
        R"(The photo at `path` as a uint8 BGR array of shape (height, width, 3), read as the programs
read it: JPEG, PNG, TIFF, WebP, BMP, PNM, HEIF and camera RAW files, EXIF orientation applied,
grayscale expanded, alpha dropped, 16 bits scaled down. raw_preview=True takes a RAW file's
embedded preview when it is at least half the sensor's size. Raises ReadError, whose `reason` is
the programs' reason ("no such file", "not an image", "truncated or corrupt data", ...).)");
    module.def("_batch_record", &batchRecord, "path"_a, py::kw_only(), "companion"_a = py::none(),
               "raw_preview"_a = false, "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma,
               "The line dofmap-batch --no-map --json prints for the photo at `path`, the other file of its shot "
               "being `companion`.");
    module.def("_plan", &planPhotos, "inputs"_a, py::kw_only(), "recursive"_a = false,
               "(photos, unreadable): the photos dofmap-batch takes for `inputs` (paths and folders), in its "
               "order, as (path, companion) in bytes (companion None for a photo that is not one of a RAW+JPEG "
               "shot), and the folders it could not read as (path as bytes, reason); ValueError when a photo is "
               "given twice.");
}
