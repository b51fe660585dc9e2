// Planning a batch: the photos of the folders given, and the names of every output they will write.
#include "batch.hpp"

#include "messages.hpp"

#include <algorithm>
#include <cctype>
#include <map>

namespace dofmap::batch {
namespace fs = std::filesystem;

namespace {

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool isHidden(const fs::path& path)
{
    return path.filename().string().rfind('.', 0) == 0;
}

bool isPhotoFile(const fs::directory_entry& entry)
{
    // Hidden files are not photos of the shoot; among them are the temporary files of writes.
    if (isHidden(entry.path())) return false;
    std::error_code ignored;
    if (!entry.is_regular_file(ignored)) return false;
    const std::string extension = lowerCase(entry.path().extension().string());
    const auto& known = photoExtensions();
    return std::find(known.begin(), known.end(), extension) != known.end();
}

// True for the names this program gives its outputs, which a folder of photos may hold from an
// earlier run: they are not taken as photos.
bool isOwnOutput(const std::string& name)
{
    const std::string lower = lowerCase(name);
    const auto endsWith = [&](const std::string& suffix) {
        return lower.size() > suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    for (const char* format : {"png", "jpg", "tif"})
        if (endsWith(std::string(".dof.") + format) || endsWith(std::string(".blur.") + format)) return true;
    if (endsWith(".means.tif") || endsWith(".dof-overlay.jpg") || endsWith(".dof-thumb.jpg")) return true;
    const std::size_t colored = lower.rfind(".dof-");
    return colored != std::string::npos && endsWith(".png");
}

// A photo found in a folder given, and the folder it lies in relative to that one.
struct Found {
    std::string path;
    fs::path subfolder;
};

bool isPhotoEntry(const fs::directory_entry& entry)
{
    return isPhotoFile(entry) && !isOwnOutput(entry.path().filename().string());
}

// The photos inside `top`, sorted by path: those directly inside, or with `recursive` those of every
// folder below too, but not of hidden folders or of folders reached through a link. Each folder is
// read on its own, so that one that cannot be opened or read (its permissions, or removed meanwhile)
// goes to `unreadable` and the others are still read; one that fails part way keeps the photos
// listed before.
std::vector<Found> photosIn(const fs::path& top, bool recursive, std::vector<UnreadableFolder>& unreadable)
{
    std::vector<Found> photos;
    std::vector<fs::path> pending{top};  // folders still to read, the next one last
    while (!pending.empty()) {
        const fs::path folder = std::move(pending.back());
        pending.pop_back();
        std::vector<fs::path> below;
        std::error_code error;
        fs::directory_iterator entry(folder, error);
        for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
            std::error_code ignored;
            if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) {
                if (recursive && !isHidden(entry->path())) below.push_back(entry->path());
            } else if (isPhotoEntry(*entry)) {
                photos.push_back({entry->path().string(), folder.lexically_relative(top)});
            }
        }
        if (error) unreadable.push_back({folder.string(), reasonOf(error.value())});
        // Read in order of their paths, so that the failures are reported in that order.
        std::sort(below.rbegin(), below.rend());
        pending.insert(pending.end(), std::make_move_iterator(below.begin()), std::make_move_iterator(below.end()));
    }
    std::sort(photos.begin(), photos.end(), [](const Found& a, const Found& b) { return a.path < b.path; });
    return photos;
}

// The path made absolute, and resolved as far as it exists (links and dot-dots), or as it is when
// it cannot be made absolute.
fs::path resolved(const fs::path& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error) return path.lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return (error ? absolute : canonical).lexically_normal();
}

// A key that two spellings of one name share: the folder it lies in resolved, the name itself not,
// so that a link to a photo under another name is a photo of its own and an output's name is the
// entry its writing replaces. The file need not exist.
std::string identity(const fs::path& path)
{
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..") return resolved(path).string();
    return (resolved(path.parent_path().empty() ? fs::path(".") : path.parent_path()) / name).string();
}

// The sidecar of the photo at `source`: IMG_0001.xmp or IMG_0001.CR2.xmp beside it, whichever
// exists, or as `name` says when both or neither do.
fs::path sidecarOf(const fs::path& source, SidecarName name)
{
    const fs::path adobe = source.parent_path() / (source.stem().string() + ".xmp");
    const fs::path full = source.parent_path() / (source.filename().string() + ".xmp");
    std::error_code ignored;
    const bool adobeExists = fs::exists(adobe, ignored), fullExists = fs::exists(full, ignored);
    if (adobeExists != fullExists) return adobeExists ? adobe : full;
    return name == SidecarName::adobe ? adobe : full;
}

}  // namespace

bool figuresWanted(const Options& options)
{
    return options.stats || options.json || options.xmp || options.rejectBelow.has_value() ||
        options.report.has_value();
}

std::vector<Photo> plan(const Options& options, std::string& error, std::vector<UnreadableFolder>* unreadable)
{
    std::vector<Photo> photos;
    std::vector<fs::path> subfolders;  // of each photo, under the output folder
    std::vector<UnreadableFolder> unread;
    for (const std::string& input : options.inputs) {
        std::error_code ignored;
        if (fs::is_directory(input, ignored)) {
            for (Found& found : photosIn(input, options.recursive, unread)) {
                photos.push_back({std::move(found.path), {}, {}});
                subfolders.push_back(found.subfolder == "." ? fs::path() : found.subfolder);
            }
        } else {
            photos.push_back({input, {}, {}});
            subfolders.emplace_back();
        }
    }
    if (unreadable) *unreadable = std::move(unread);

    std::map<std::string, std::string> inputs;  // identity -> path as given
    // The files that inputs which are links lead to: writing one would change what the link reads.
    std::map<std::string, std::string> linkedInputs;  // resolved path -> path as given
    for (const Photo& photo : photos) {
        if (!inputs.emplace(identity(photo.input), photo.input).second) {
            error = "input " + photo.input + " is given twice";
            return {};
        }
        std::error_code ignored;
        if (fs::is_symlink(photo.input, ignored)) linkedInputs.emplace(resolved(photo.input).string(), photo.input);
    }
    // The input, as given, that writing the output of this identity would change.
    const auto overwritten = [&](const std::string& key) -> const std::string* {
        if (const auto input = inputs.find(key); input != inputs.end()) return &input->second;
        if (const auto linked = linkedInputs.find(key); linked != linkedInputs.end()) return &linked->second;
        return nullptr;
    };
    std::map<std::string, std::string> writers;  // output identity -> the input that writes it
    for (std::size_t i = 0; i < photos.size(); ++i) {
        Photo& photo = photos[i];
        const fs::path source(photo.input);
        const fs::path folder = options.output ? *options.output / subfolders[i] : source.parent_path();
        const std::string stem = source.stem().string();
        if (!options.dryRun) {
            if (!options.noMap) photo.outputs.push_back(folder / (stem + ".dof." + options.format));
            if (options.blurred) photo.outputs.push_back(folder / (stem + ".blur." + options.format));
            if (options.colormap) photo.outputs.push_back(folder / (stem + ".dof-" + *options.colormap + ".png"));
            if (options.overlay) photo.outputs.push_back(folder / (stem + ".dof-overlay.jpg"));
            if (options.means) photo.outputs.push_back(folder / (stem + ".means.tif"));
            if (options.xmp) photo.sidecar = sidecarOf(source, options.xmpName);
        }

        std::vector<fs::path> written = photo.outputs;
        if (photo.sidecar) written.push_back(*photo.sidecar);
        for (const fs::path& output : written) {
            const std::string key = identity(output);
            if (const std::string* input = overwritten(key)) {
                error = "output " + output.string() + " would overwrite the input " + *input;
                return {};
            }
            const auto [writer, fresh] = writers.emplace(key, photo.input);
            if (!fresh && writer->second != photo.input) {
                error = "inputs " + writer->second + " and " + photo.input + " would both write " + output.string();
                return {};
            }
        }
    }
    // The report's page and thumbnails overwrite no input, and no output of a photo.
    if (options.report) {
        std::vector<fs::path> written{*options.report};
        for (std::size_t i = 0; i < photos.size(); ++i)
            for (fs::path& thumbnail : thumbnailPaths(*options.report, i, photos.size()))
                written.push_back(std::move(thumbnail));
        for (const fs::path& output : written) {
            const std::string key = identity(output);
            const std::string* input = overwritten(key);
            const auto writer = writers.find(key);
            if (input == nullptr && writer == writers.end()) continue;
            error = "report " + output.string() + " would overwrite the " +
                (input != nullptr ? "input " + *input : "output of " + writer->second);
            return {};
        }
    }
    return photos;
}

}  // namespace dofmap::batch
