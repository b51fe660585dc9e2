// Planning a batch: the photos of the folders given, and the names of every output they will write.
#include "batch.hpp"

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

bool isPhotoFile(const fs::directory_entry& entry)
{
    // Hidden files are not photos of the shoot; among them are the temporary files of writes.
    if (entry.path().filename().string().rfind('.', 0) == 0) return false;
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
    if (endsWith(".means.tif") || endsWith(".dof-overlay.jpg")) return true;
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

// The photos inside `folder`, sorted by path: those directly inside, or with `recursive` those of
// every folder below too, but not of hidden folders or of folders reached through a link.
std::vector<Found> photosIn(const fs::path& folder, bool recursive)
{
    std::vector<Found> photos;
    std::error_code error;
    if (!recursive) {
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (isPhotoEntry(entry)) photos.push_back({entry.path().string(), {}});
    } else {
        auto entry = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, error);
        for (; !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
            std::error_code ignored;
            const bool folderEntry = entry->is_directory(ignored) && !entry->is_symlink(ignored);
            if (folderEntry && entry->path().filename().string().rfind('.', 0) == 0) {
                entry.disable_recursion_pending();
                continue;
            }
            if (isPhotoEntry(*entry))
                photos.push_back({entry->path().string(), entry->path().parent_path().lexically_relative(folder)});
        }
    }
    std::sort(photos.begin(), photos.end(), [](const Found& a, const Found& b) { return a.path < b.path; });
    return photos;
}

// A key that two spellings of one file share (the file itself need not exist).
std::string identity(const fs::path& path)
{
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    return (error ? fs::absolute(path) : resolved).lexically_normal().string();
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
    return options.stats || options.json || options.xmp || options.rejectBelow.has_value();
}

std::vector<Photo> plan(const Options& options, std::string& error)
{
    std::vector<Photo> photos;
    std::vector<fs::path> subfolders;  // of each photo, under the output folder
    for (const std::string& input : options.inputs) {
        std::error_code ignored;
        if (fs::is_directory(input, ignored)) {
            for (Found& found : photosIn(input, options.recursive)) {
                photos.push_back({std::move(found.path), {}, {}});
                subfolders.push_back(found.subfolder == "." ? fs::path() : found.subfolder);
            }
        } else {
            photos.push_back({input, {}, {}});
            subfolders.emplace_back();
        }
    }

    std::map<std::string, std::string> inputs;  // identity -> path as given
    for (const Photo& photo : photos)
        if (!inputs.emplace(identity(photo.input), photo.input).second) {
            error = "input " + photo.input + " is given twice";
            return {};
        }
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
            if (const auto input = inputs.find(key); input != inputs.end()) {
                error = "output " + output.string() + " would overwrite the input " + input->second;
                return {};
            }
            const auto [writer, fresh] = writers.emplace(key, photo.input);
            if (!fresh && writer->second != photo.input) {
                error = "inputs " + writer->second + " and " + photo.input + " would both write " + output.string();
                return {};
            }
        }
    }
    return photos;
}

}  // namespace dofmap::batch
