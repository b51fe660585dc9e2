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

// A file of the batch: a photo found in a folder given, and the folder it lies in relative to that
// one, or a photo given.
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

// The sidecar of the photo at `source` whose stem no other photo shares: IMG_0001.xmp or
// IMG_0001.CR2.xmp beside it, whichever exists, or as `name` says when both or neither do.
fs::path sidecarOf(const fs::path& source, SidecarName name)
{
    const fs::path adobe = source.parent_path() / (source.stem().string() + ".xmp");
    const fs::path full = source.parent_path() / (source.filename().string() + ".xmp");
    std::error_code ignored;
    const bool adobeExists = fs::exists(adobe, ignored), fullExists = fs::exists(full, ignored);
    if (adobeExists != fullExists) return adobeExists ? adobe : full;
    return name == SidecarName::adobe ? adobe : full;
}

// The sidecars of a shot of the files `figured` and `companion`: IMG_0001.xmp, which the managers that
// take the two as one read, or both files' own full names, which those that list them apart read;
// whichever kind exists, or as `name` says when both or neither do.
std::vector<fs::path> shotSidecars(const fs::path& figured, const fs::path& companion, SidecarName name)
{
    const fs::path adobe = figured.parent_path() / (figured.stem().string() + ".xmp");
    const std::vector<fs::path> full = {figured.parent_path() / (figured.filename().string() + ".xmp"),
                                        companion.parent_path() / (companion.filename().string() + ".xmp")};
    std::error_code ignored;
    const bool adobeExists = fs::exists(adobe, ignored);
    const bool fullExists = fs::exists(full[0], ignored) || fs::exists(full[1], ignored);
    const bool adobeName = adobeExists != fullExists ? adobeExists : name == SidecarName::adobe;
    return adobeName ? std::vector<fs::path>{adobe} : full;
}

// The extensions of the pictures a camera writes beside its RAW file.
bool isCameraPicture(const std::string& name)
{
    const std::string extension = lowerCase(fs::path(name).extension().string());
    for (const char* known : {".jpg", ".jpeg", ".jpe", ".heic", ".heif", ".hif"})
        if (extension == known) return true;
    return false;
}

// The name a photo's outputs are named after, and its stem.
std::string fileNameOf(const std::string& input)
{
    return isStandardStream(input) ? kStandardInputStem : fs::path(input).filename().string();
}
std::string stemOf(const std::string& input)
{
    return isStandardStream(input) ? kStandardInputStem : fs::path(input).stem().string();
}

// The keys that photos of one stem in one folder share: the folder resolved as identity resolves it,
// each folder once (a shoot's thousands of photos lie in a few folders).
class StemKeys {
public:
    std::string operator()(const fs::path& folder, const std::string& stem)
    {
        auto known = folders_.find(folder);
        if (known == folders_.end())
            known = folders_.emplace(folder, resolved(folder.empty() ? fs::path(".") : folder).string()).first;
        return known->second + '/' + stem;
    }

private:
    std::map<fs::path, std::string> folders_;
};

// A photo of the batch before its outputs are named: one file, or the two of a shot.
struct Planned {
    std::string input;
    std::string companion;
    fs::path subfolder;  // under the output folder
    bool sharesStem = false;  // with another photo of its folder
};

// The files of the batch joined into photos, in input order: each shot takes the place of its first
// file (see Pairing).
std::vector<Planned> joinShots(const std::vector<Found>& files, Pairing pairing, StemKeys& stemKey)
{
    std::map<std::string, std::vector<std::size_t>> byStem;  // stem key -> files, in input order
    std::vector<const std::vector<std::size_t>*> groups(files.size(), nullptr);  // none for standard input
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!isStandardStream(files[i].path))
            byStem[stemKey(fs::path(files[i].path).parent_path(), stemOf(files[i].path))].push_back(i);
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!isStandardStream(files[i].path))
            groups[i] = &byStem[stemKey(fs::path(files[i].path).parent_path(), stemOf(files[i].path))];
    std::vector<Planned> photos;
    std::vector<bool> taken(files.size(), false);  // the second file of a shot
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (taken[i]) continue;
        const std::vector<std::size_t>* group = groups[i];
        Planned photo{files[i].path, {}, files[i].subfolder, group != nullptr && group->size() > 1};
        if (group != nullptr && group->size() == 2 && pairing != Pairing::both) {
            const std::string& first = files[(*group)[0]].path;
            const std::string& second = files[(*group)[1]].path;
            const bool firstRaw = hasRawExtension(first), secondRaw = hasRawExtension(second);
            const std::string& raw = firstRaw ? first : second;
            const std::string& picture = firstRaw ? second : first;
            if (firstRaw != secondRaw && isCameraPicture(picture)) {
                photo.input = pairing == Pairing::raw ? raw : picture;
                photo.companion = pairing == Pairing::raw ? picture : raw;
                photo.sharesStem = false;
                taken[(*group)[1]] = true;
            }
        }
        photos.push_back(std::move(photo));
    }
    return photos;
}

}  // namespace

bool figuresWanted(const Options& options)
{
    return options.stats || options.json || options.xmp || judged(options) || options.report.has_value();
}

bool mapToStandardOutput(const Options& options)
{
    return options.output && isStandardStream(options.output->string());
}

std::vector<Photo> plan(const Options& options, std::vector<std::string>& problems,
                        std::vector<UnreadableFolder>* unreadable)
{
    problems.clear();
    std::vector<Found> files;
    std::vector<UnreadableFolder> unread;
    for (const std::string& input : options.inputs) {
        std::error_code ignored;
        if (!isStandardStream(input) && fs::is_directory(input, ignored)) {
            for (Found& found : photosIn(input, options.recursive, unread))
                files.push_back({std::move(found.path), found.subfolder == "." ? fs::path() : found.subfolder});
        } else {
            files.push_back({input, {}});
        }
    }
    if (unreadable) *unreadable = std::move(unread);

    std::map<std::string, std::string> inputs;  // identity -> path as given
    // The files that inputs which are links lead to: writing one would change what the link reads.
    std::map<std::string, std::string> linkedInputs;  // resolved path -> path as given
    std::vector<Found> distinct;  // the files, each once
    for (Found& file : files) {
        const std::string key = isStandardStream(file.path) ? file.path : identity(file.path);
        if (!inputs.emplace(key, file.path).second) {
            problems.push_back("input " + file.path + " is given twice");
            continue;
        }
        std::error_code ignored;
        if (fs::is_symlink(file.path, ignored)) linkedInputs.emplace(resolved(file.path).string(), file.path);
        distinct.push_back(std::move(file));
    }
    StemKeys stemKey;
    const std::vector<Planned> planned = joinShots(distinct, options.pair, stemKey);

    // The input, as given, that writing the output of this identity would change.
    const auto overwritten = [&](const std::string& key) -> const std::string* {
        if (const auto input = inputs.find(key); input != inputs.end()) return &input->second;
        if (const auto linked = linkedInputs.find(key); linked != linkedInputs.end()) return &linked->second;
        return nullptr;
    };
    // The photos whose outputs go to one folder under one stem: those are named in full.
    std::vector<fs::path> folders;
    std::vector<std::string> outputKeys;  // the stem key of each photo's outputs
    std::map<std::string, int> outputStems;  // stem key -> photos
    for (const Planned& photo : planned) {
        folders.push_back(options.output ? *options.output / photo.subfolder : fs::path(photo.input).parent_path());
        outputKeys.push_back(stemKey(folders.back(), stemOf(photo.input)));
        ++outputStems[outputKeys.back()];
    }

    std::vector<Photo> photos;
    std::map<std::string, std::string> writers;  // output identity -> the input that writes it
    const bool toStandardOutput = mapToStandardOutput(options);
    for (std::size_t i = 0; i < planned.size(); ++i) {
        const Planned& shot = planned[i];
        Photo photo{shot.input, shot.companion, {}, {}};
        const fs::path& folder = folders[i];
        const bool sharesName = outputStems[outputKeys[i]] > 1;
        const std::string name = sharesName ? fileNameOf(photo.input) : stemOf(photo.input);
        const bool standardInput = isStandardStream(photo.input);
        if (!options.dryRun) {
            if (toStandardOutput) {
                if (!options.noMap) photo.outputs.emplace_back(kStandardStream);
            } else {
                if (!options.noMap) photo.outputs.push_back(folder / (name + ".dof." + options.format));
                if (options.blurred) photo.outputs.push_back(folder / (name + ".blur." + options.format));
                if (options.colormap) photo.outputs.push_back(folder / (name + ".dof-" + *options.colormap + ".png"));
                if (options.overlay) photo.outputs.push_back(folder / (name + ".dof-overlay.jpg"));
                if (options.means) photo.outputs.push_back(folder / (name + ".means.tif"));
            }
            const fs::path source(photo.input);
            if (options.xmp && standardInput)
                problems.emplace_back("standard input (-) has no folder for a sidecar: --xmp cannot be used with it");
            else if (options.xmp && !photo.companion.empty())
                photo.sidecars = shotSidecars(source, photo.companion, options.xmpName);
            else if (options.xmp && shot.sharesStem)
                photo.sidecars = {source.parent_path() / (source.filename().string() + ".xmp")};
            else if (options.xmp)
                photo.sidecars = {sidecarOf(source, options.xmpName)};
        }
        if (standardInput && !options.output && !photo.outputs.empty())
            problems.emplace_back("standard input (-) has no folder to write beside: give --output DIR (or -o - "
                                  "for the map alone), or --no-map to figure it only");

        std::vector<fs::path> written;
        for (const fs::path& output : photo.outputs)
            if (!isStandardStream(output.string()) && !(standardInput && !options.output)) written.push_back(output);
        written.insert(written.end(), photo.sidecars.begin(), photo.sidecars.end());
        for (const fs::path& output : written) {
            const std::string key = identity(output);
            if (const std::string* input = overwritten(key)) {
                problems.push_back("output " + output.string() + " would overwrite the input " + *input);
                continue;
            }
            const auto [writer, fresh] = writers.emplace(key, photo.input);
            if (!fresh && writer->second != photo.input)
                problems.push_back("inputs " + writer->second + " and " + photo.input + " would both write " +
                                   output.string());
        }
        photos.push_back(std::move(photo));
    }
    // The report's page and thumbnails overwrite no input, and no output or sidecar of a photo.
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
            problems.push_back("report " + output.string() + " would overwrite the " +
                               (input != nullptr ? "input " + *input : "output of " + writer->second));
        }
    }
    if (!problems.empty()) return {};
    return photos;
}

}  // namespace dofmap::batch
