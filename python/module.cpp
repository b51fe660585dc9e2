// The compiled part of the Python package dofmap: depth-of-field maps, means and figures of NumPy
// photos, the programs' readers, and one photo's record as dofmap-batch --json prints it.
#include "batch.hpp"
#include "cull_figures.hpp"
#include "culling.hpp"
#include "focus_map.hpp"
#include "image_io.hpp"
#include "messages.hpp"

#include <opencv2/imgproc.hpp>
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

std::string typeNameOf(const py::handle& object)
{
    return py::str(object.get_type().attr("__name__")).cast<std::string>();
}

// The window of a call: any Python integer (or object with __index__) from 1 to 100000. Raises
// ValueError naming an integer out of that range, however large, and TypeError naming the type of
// anything else, without pybind11's listing of every argument (the photo's pixels among them).
int windowOf(const py::object& window)
{
    if (PyFloat_Check(window.ptr()) || !PyIndex_Check(window.ptr()))
        throw py::type_error("window must be an int, not " + typeNameOf(window));
    const py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(window.ptr()));
    if (!value) throw py::error_already_set();
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    dofmap::Parameters parameters;
    // An integer beyond an int is out of range whatever it is, as is one beyond a long long.
    parameters.window = overflow != 0 ? INT_MAX : int(std::clamp<long long>(number, INT_MIN, INT_MAX));
    if (const std::optional<dofmap::ParameterProblem> problem = dofmap::parameterProblem(parameters))
        throw py::value_error("window must be " + problem->range + ", not " +
                              py::str(py::handle(value)).cast<std::string>());
    return parameters.window;
}

// The sigma of a call: a real number (int, float or an object with __float__) from 0.1 to 100; the
// same errors as windowOf.
double sigmaOf(const py::object& sigma)
{
    if (PyUnicode_Check(sigma.ptr()) || PyBytes_Check(sigma.ptr()) || PyComplex_Check(sigma.ptr()) ||
        !PyNumber_Check(sigma.ptr()))
        throw py::type_error("sigma must be a float, not " + typeNameOf(sigma));
    const double value = PyFloat_AsDouble(sigma.ptr());
    // An integer too large for a float lies beyond every range: it is named as given.
    bool tooLarge = false;
    if (value == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        tooLarge = true;
    }
    dofmap::Parameters parameters;
    parameters.sigma = tooLarge ? HUGE_VAL : value;
    if (const std::optional<dofmap::ParameterProblem> problem = dofmap::parameterProblem(parameters))
        throw py::value_error(
            "sigma must be " + problem->range + ", not " +
            (tooLarge ? py::str(py::handle(sigma)) : py::repr(py::float_(value))).cast<std::string>());
    return value;
}

// The rgb flag of a call: true or false as a bool, a number or None is, as pybind11 took it.
bool rgbOf(const py::object& rgb)
{
    if (rgb.is_none()) return false;
    if (!PyBool_Check(rgb.ptr()) && !PyNumber_Check(rgb.ptr()))
        throw py::type_error("rgb must be a bool, not " + typeNameOf(rgb));
    const int truth = PyObject_IsTrue(rgb.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
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
        throw py::type_error("photo must be a numpy array, not " + typeNameOf(photo));
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

// How long the calling thread waits for the computation between two looks at Python's signals.
constexpr std::chrono::milliseconds kSignalCheckInterval(20);

// Runs `compute(cancel)` on a thread of its own while the calling thread waits without the GIL, so
// that other Python threads run meanwhile, taking the GIL back every few milliseconds to let Python
// handle its signals. When a handler raises (Ctrl-C raises KeyboardInterrupt), `cancel` is set, the
// computation stops at its next band of rows, and the handler's exception propagates once the
// thread has ended. The computation's own exceptions are rethrown here.
template <class Compute>
auto interruptible(const Compute& compute)
{
    using Result = decltype(compute(std::declval<const std::atomic<bool>*>()));
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::optional<Result> result;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result.emplace(compute(&cancel));
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_one();
    });
    // However this function is left, the computation is stopped and its thread joined first.
    struct Joiner {
        std::thread& worker;
        std::atomic<bool>& cancel;
        ~Joiner()
        {
            if (!worker.joinable()) return;
            cancel = true;
            const py::gil_scoped_release released;
            worker.join();
        }
    } joiner{worker, cancel};
    const auto waitFor = [&](std::chrono::milliseconds slice) {
        const py::gil_scoped_release released;
        std::unique_lock<std::mutex> lock(mutex);
        return finished.wait_for(lock, slice, [&] { return done; });
    };
    while (!waitFor(kSignalCheckInterval))
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // the Joiner stops the computation
    worker.join();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Checks the parameters, takes the photo, and analyzes it as `request` asks, interruptibly.
dofmap::FocusAnalysis analyzed(const py::object& photo, const py::object& windowObject, const py::object& sigmaObject,
                               const py::object& rgb, dofmap::FocusRequest request)
{
    const int window = windowOf(windowObject);
    const double sigma = sigmaOf(sigmaObject);
    const InputPhoto input = inputPhoto(photo, rgbOf(rgb));
    return interruptible([&](const std::atomic<bool>* cancel) {
        const cv::Mat source = input.bgr();
        request.cancel = cancel;
        return dofmap::analyzeFocus(source, dofmap::blurredReference(source, sigma), window, request);
    });
}

py::tuple focusMap(const py::object& photo, const py::object& window, const py::object& sigma, const py::object& rgb)
{
    dofmap::FocusRequest request;
    request.mapChannels = 1;
    const dofmap::FocusAnalysis result = analyzed(photo, window, sigma, rgb, request);
    return py::make_tuple(asArray(result.map), result.maxMean);
}

py::array means(const py::object& photo, const py::object& window, const py::object& sigma, const py::object& rgb)
{
    dofmap::FocusRequest request;
    request.mapChannels = 0;
    request.meansDepth = CV_32F;
    return asArray(analyzed(photo, window, sigma, rgb, request).means);
}

py::object statistics(const py::module_& module, const py::object& photo, const py::object& window,
                      const py::object& sigma, const py::object& rgb)
{
    dofmap::FocusRequest request;
    request.mapChannels = 0;
    request.statistics = true;
    const dofmap::MeanStatistics result = analyzed(photo, window, sigma, rgb, request).statistics;
    return module.attr("Statistics")(result.maxMean, result.meanMean, result.p90Mean);
}

py::object cullFigures(const py::module_& module, const py::object& photo, const py::object& windowObject,
                       const py::object& sigmaObject, const py::object& rgb)
{
    const int window = windowOf(windowObject);
    const double sigma = sigmaOf(sigmaObject);
    const InputPhoto input = inputPhoto(photo, rgbOf(rgb));
    const dofmap::CullFigures result = interruptible([&](const std::atomic<bool>* cancel) {
        const cv::Mat source = input.bgr();
        const cv::Mat blurred = dofmap::blurredReference(source, sigma);
        dofmap::FocusRequest request;
        request.mapChannels = 0;
        request.statistics = true;
        request.cancel = cancel;
        const double maxMean = dofmap::analyzeFocus(source, blurred, window, request).maxMean;
        return dofmap::cullFigures(source, blurred, maxMean, sigma, cancel);
    });
    return module.attr("CullFigures")(result.noise, result.correctedMaxMean, result.detailRatio, result.motion);
}

// Raises dofmap.ReadError for the photo at `path` that cannot be read for `error`: of the kind that
// is also the OSError subclass of its error number (FileNotFoundError, PermissionError,
// IsADirectoryError, ...), with errno and filename set; errno is None for the reasons that are not
// the system's ("not an image", "not a regular file", the decoders').
[[noreturn]] void raiseReadError(const py::module_& module, const py::object& path, const dofmap::IoError& error)
{
    const py::object shown = py::module_::import("os").attr("fsdecode")(path);
    const int number = error.systemError;
    const py::object raised = module.attr("_read_error")(
        number != 0 ? py::object(py::int_(number)) : py::object(py::none()), dofmap::describe(error), shown);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
    throw py::error_already_set();
}

py::array read(const py::module_& module, const py::object& path, bool rawPreview)
{
    const std::string name = fileSystemPath(path);
    std::optional<dofmap::IoError> failed;
    cv::Mat photo;
    {
        const py::gil_scoped_release released;
        dofmap::PhotoFile file;
        const dofmap::IoStatus loaded = dofmap::loadPhotoFile(name, file);
        const dofmap::IoResult<cv::Mat> decoded = loaded
            ? dofmap::decodePhoto(file,
                                  rawPreview ? dofmap::RawDevelopment::previewWhenLarge : dofmap::RawDevelopment::full)
            : dofmap::IoResult<cv::Mat>(loaded.error());
        if (decoded)
            photo = decoded.value();
        else
            failed = decoded.error();
    }
    if (failed) raiseReadError(module, path, *failed);
    return asArray(photo);
}

// Failures reach the caller through the record; nothing is printed.
class SilentReporter : public dofmap::batch::Reporter {
public:
    void cannotRead(const std::string&, const std::string&) override { }
    void cannotWrite(const std::filesystem::path&, const std::string&) override { }
};

// The photo at `path` figured as dofmap-batch --no-map --json figures it (with the culling figures
// when `cull`), and its record line.
struct FiguredPhoto {
    dofmap::batch::PhotoOutcome outcome;
    std::string line;
};

FiguredPhoto figuredPhoto(const py::object& path, const py::object& companion, bool rawPreview,
                          const py::object& window, const py::object& sigma, bool cull)
{
    dofmap::batch::Options options;
    options.noMap = true;
    options.json = true;
    options.cull = cull;
    options.rawPreview = rawPreview;
    options.parameters.window = windowOf(window);
    options.parameters.sigma = sigmaOf(sigma);
    const dofmap::batch::Photo photo{
        fileSystemPath(path), companion.is_none() ? "" : fileSystemPath(companion), {}, {}};
    // The photos this process figures at once share one budget, as a run's jobs do.
    static dofmap::batch::MemoryBudget budget(dofmap::batch::defaultMemoryBudget());
    FiguredPhoto figured;
    {
        const py::gil_scoped_release released;
        SilentReporter reporter;
        bool complete = false;
        figured.outcome = dofmap::batch::processPhoto(photo, options, budget, reporter, complete);
    }
    figured.line = figured.outcome.statistics
        ? dofmap::batch::jsonRecord(photo.input, *figured.outcome.statistics, photo.companion)
        : dofmap::batch::jsonFailure(photo.input, figured.outcome.unreadable, photo.companion);
    return figured;
}

std::string batchRecord(const py::object& path, const py::object& companion, bool rawPreview, const py::object& window,
                        const py::object& sigma)
{
    return figuredPhoto(path, companion, rawPreview, window, sigma, false).line;
}

// What judging a shoot by culling needs of one photo, carried from the worker that figured it to
// the process that judges the shoot: its exact figures (the records print them rounded), capture
// time and signature, as bytes in this build's own layout (both ends run the same module).
struct CullState {
    bool read = false;
    int width = 0, height = 0;
    dofmap::MeanStatistics means{};
    dofmap::CullFigures cull{};
    bool timed = false;
    dofmap::CaptureTime time{};
    bool offset = false;
    float aspect = 0.0f;
    bool flat = false;
    std::uint16_t cells[dofmap::batch::kSignatureSide * dofmap::batch::kSignatureSide] = {};
    bool signed_ = false;  // the signature's cells are given
};

py::bytes cullStateOf(const dofmap::batch::PhotoOutcome& outcome)
{
    CullState state;
    if (outcome.statistics && outcome.statistics->cull) {
        state.read = true;
        state.width = outcome.statistics->width;
        state.height = outcome.statistics->height;
        state.means = outcome.statistics->means;
        state.cull = *outcome.statistics->cull;
        if (outcome.captureTime) {
            state.timed = true;
            state.time = *outcome.captureTime;
            state.offset = outcome.captureTime->offsetMinutes.has_value();
        }
        state.aspect = outcome.signature.aspect;
        state.flat = outcome.signature.flat;
        state.signed_ = outcome.signature.cells.size() == std::size(state.cells);
        if (state.signed_) std::copy(outcome.signature.cells.begin(), outcome.signature.cells.end(), state.cells);
    }
    return py::bytes(reinterpret_cast<const char*>(&state), sizeof state);
}

dofmap::batch::PhotoOutcome outcomeOf(const py::bytes& bytes)
{
    const std::string raw = bytes;
    if (raw.size() != sizeof(CullState)) throw py::value_error("not a culling state of this module");
    CullState state;
    std::memcpy(&state, raw.data(), sizeof state);
    dofmap::batch::PhotoOutcome outcome;
    if (!state.read) return outcome;
    outcome.statistics = dofmap::batch::PhotoStatistics{state.width, state.height, state.means, state.cull};
    if (state.timed) {
        outcome.captureTime = state.time;
        if (!state.offset) outcome.captureTime->offsetMinutes.reset();
    }
    outcome.signature.aspect = state.aspect;
    outcome.signature.flat = state.flat;
    if (state.signed_) outcome.signature.cells.assign(std::begin(state.cells), std::end(state.cells));
    return outcome;
}

// The record of the photo at `path` with its culling figures, and its culling state.
py::tuple cullRecord(const py::object& path, const py::object& companion, bool rawPreview, const py::object& window,
                     const py::object& sigma)
{
    const FiguredPhoto figured = figuredPhoto(path, companion, rawPreview, window, sigma, true);
    return py::make_tuple(figured.line, cullStateOf(figured.outcome));
}

// The verdicts of culling for the photos of one shoot, in the program's order, from their states:
// (blurry, scene, judged_by, cut) for each photo figured, None for the others.
py::list cullVerdicts(const std::vector<py::bytes>& states)
{
    std::vector<dofmap::batch::PhotoOutcome> outcomes;
    outcomes.reserve(states.size());
    for (const py::bytes& state : states) outcomes.push_back(outcomeOf(state));
    std::vector<std::optional<dofmap::batch::Verdict>> verdicts;
    {
        const py::gil_scoped_release released;
        verdicts = dofmap::batch::cullVerdicts(outcomes, dofmap::batch::assignScenes(outcomes));
    }
    py::list judged;
    for (const std::optional<dofmap::batch::Verdict>& verdict : verdicts) {
        if (!verdict || !verdict->cull) {
            judged.append(py::none());
            continue;
        }
        judged.append(
            py::make_tuple(verdict->blurry, verdict->cull->scene, verdict->cull->judgedBy, verdict->cull->cut));
    }
    return judged;
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
    py::object cullType =
        py::module_::import("collections")
            .attr("namedtuple")("CullFigures",
                                std::vector<std::string>{"noise", "corrected_max_mean", "detail_ratio", "motion"});
    cullType.attr("__module__") = "dofmap";
    cullType.attr("__doc__") =
        "Figures for judging a photo's sharpness that mean the same in every photo: noise, the noise's sigma in each "
        "channel in 8-bit levels; corrected_max_mean, the largest mean with that noise taken out; detail_ratio, a "
        "sharpness free of contrast and exposure; motion, directional blur in pixels.";
    module.attr("CullFigures") = cullType;

    // The readers' errors, defined in Python so that each kind may also be a built-in subclass of
    // OSError and keep its message and its pickling.
    py::exec(R"(
import errno as _errno

class ReadError(OSError):
    """A photo that cannot be read or decoded: `path` and `reason` say which and why. `errno` is the
    system's error number where the reason is one (None otherwise) and `filename` the path; where the
    reason is "no such file", "permission denied" or "is a folder" the error is also a
    FileNotFoundError, PermissionError or IsADirectoryError."""

    def __init__(self, errno, reason, path):
        super().__init__(errno, reason, path)
        self.path = path
        self.reason = reason

    def __str__(self):
        return f"cannot read image {self.path}: {self.reason}"

    def __reduce__(self):
        return (_read_error, (self.errno, self.reason, self.path))

_read_error_kinds = {}

def _read_error(errno, reason, path):
    """The ReadError of that error number, of the kind that is also its OSError subclass."""
    base = type(OSError(errno, reason)) if errno is not None else OSError
    if base is OSError:
        return ReadError(errno, reason, path)
    kind = _read_error_kinds.get(base)
    if kind is None:
        kind = type("ReadError", (ReadError, base), {"__doc__": ReadError.__doc__, "__module__": "dofmap"})
        kind.__qualname__ = "ReadError"
        _read_error_kinds[base] = kind
    return kind(errno, reason, path)

ReadError.__module__ = "dofmap"
_read_error.__module__ = "dofmap._dofmap"
del _errno
)",
             module.attr("__dict__"));

    module.def("focus_map", &focusMap, "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow,
               "sigma"_a = dofmap::kBlurSigma, "rgb"_a = false,
               R"(The depth-of-field map of `photo` and the largest neighborhood mean.

photo: uint8 array of shape (height, width, 3), BGR as cv2.imread gives it, or RGB.
rgb=True says the array holds RGB and has a BGR copy of it computed on; every figure treats the
three channels alike, so the results are the same either way (the flag costs only the copy).
window: side of the square neighborhood, 1 to 100000. sigma: the blur, 0.1 to 100.
Returns (map, max_mean): map a uint8 array of shape (height, width), each pixel the mean color
distance between the photo and its Gaussian blur over the window around it, scaled so that
max_mean is 255; pixel for pixel the map dofmap-batch writes. Raises ValueError for a wrong
dtype, shape or parameter value, TypeError for a parameter of another type. Runs without the GIL,
on all cores; Ctrl-C interrupts it with KeyboardInterrupt.)");
    module.def("means", &means, "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma,
               "rgb"_a = false,
               R"(The neighborhood means of `photo` (as focus_map takes it) as a float32 array of
shape (height, width), in units of color distance: the values dofmap-batch --means writes.)");
    module.def(
        "statistics",
        [module](const py::object& photo, const py::object& window, const py::object& sigma, const py::object& rgb) {
            return statistics(module, photo, window, sigma, rgb);
        },
        "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma, "rgb"_a = false,
        R"(Statistics(max_mean, mean_mean, p90_mean) of the neighborhood means of `photo` (as
focus_map takes it): the figures of dofmap-batch --stats, unrounded.)");
    module.def(
        "cull_figures",
        [module](const py::object& photo, const py::object& window, const py::object& sigma, const py::object& rgb) {
            return cullFigures(module, photo, window, sigma, rgb);
        },
        "photo"_a, py::kw_only(), "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma, "rgb"_a = false,
        R"(CullFigures(noise, corrected_max_mean, detail_ratio, motion) of `photo` (as focus_map takes it):
noise, the standard deviation of the photo's noise in each channel in 8-bit levels (Immerkaer's
estimate over the flattest pixels); corrected_max_mean, sqrt(max(0, max_mean^2 - (1.64 noise)^2));
detail_ratio, the RMS difference from the blur over that from a blur 8/3 as wide on the sharpest
tiles, unchanged by exposure and contrast, lower for a blurred photo; motion, the blur along the
least sharp direction less that along the sharpest, in pixels (high for motion blur, near 0 for a
sharp photo whatever its lines). window is that of max_mean, sigma the blur of the reference.)");
    module.def(
        "read", [module](const py::object& path, bool rawPreview) { return read(module, path, rawPreview); }, "path"_a,
        py::kw_only(), "raw_preview"_a = false,
        R"(The photo at `path` as a uint8 BGR array of shape (height, width, 3), read as the programs
read it: JPEG, PNG, TIFF, WebP, BMP, PNM, HEIF and camera RAW files, EXIF orientation applied,
grayscale expanded, alpha dropped, 16 bits scaled down. raw_preview=True takes a RAW file's
embedded preview when it is at least half the sensor's size. Raises ReadError, an OSError whose
`reason` is the programs' reason ("no such file", "not an image", "truncated or corrupt data", ...),
with `errno` and `filename` set: for "no such file", "permission denied" and "is a folder" also a
FileNotFoundError, PermissionError and IsADirectoryError.)");
    module.def("_batch_record", &batchRecord, "path"_a, py::kw_only(), "companion"_a = py::none(),
               "raw_preview"_a = false, "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma,
               "The line dofmap-batch --no-map --json prints for the photo at `path`, the other file of its shot "
               "being `companion`.");
    module.def("_cull_record", &cullRecord, "path"_a, py::kw_only(), "companion"_a = py::none(),
               "raw_preview"_a = false, "window"_a = dofmap::kWindow, "sigma"_a = dofmap::kBlurSigma,
               "(line, state): the line dofmap-batch --no-map --json --cull prints for the photo at `path` before it "
               "is judged, and what judging its shoot needs of it (for _cull_verdicts).");
    module.def("_cull_verdicts", &cullVerdicts, "states"_a,
               "The verdicts of --cull for a shoot's photos from their states, in the program's order: (blurry, "
               "scene, judged_by, cut), or None for a photo not figured.");
    module.def("_plan", &planPhotos, "inputs"_a, py::kw_only(), "recursive"_a = false,
               "(photos, unreadable): the photos dofmap-batch takes for `inputs` (paths and folders), in its "
               "order, as (path, companion) in bytes (companion None for a photo that is not one of a RAW+JPEG "
               "shot), and the folders it could not read as (path as bytes, reason); ValueError when a photo is "
               "given twice.");
}
