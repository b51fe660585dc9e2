// A photo's XMP sidecar, where photo managers read keywords and ratings: the focus figures merged
// into it under this program's own namespace, and a blurred photo marked as rejected, everything
// else the sidecar holds kept.
#include "xmp_sidecar.hpp"

#include "atomic_file.hpp"
#include "exiv2_compat.hpp"
#include "exiv2_toolkit.hpp"
#include "messages.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace dofmap {
namespace {

namespace fs = std::filesystem;

const std::string kSubject = "Xmp.dc.subject";
const std::string kHierarchy = "Xmp.lr.hierarchicalSubject";
const std::string kRating = "Xmp.xmp.Rating";
const std::string kRejected = "-1";

std::string ownKey(const char* property)
{
    return std::string("Xmp.") + kXmpPrefix + "." + property;
}

// Reads and merges a sidecar that changes meanwhile this many times before it is left alone.
constexpr int kAttempts = 4;

// A sidecar as it was read: the file to replace (the sidecar, or the target of its link), its
// status when it was read (none when there was no sidecar) and its content.
struct ReadSidecar {
    fs::path target;
    std::optional<struct stat> status;
    std::string content;
};

// The file a sidecar that is a symbolic link points to, when that lies in the sidecar's folder or
// below (canonical paths, every link on the way resolved); nothing otherwise, or when it cannot be
// resolved.
std::optional<fs::path> linkTargetInside(const fs::path& path)
{
    std::error_code error;
    const fs::path folder = fs::canonical(path.parent_path().empty() ? fs::path(".") : path.parent_path(), error);
    if (error) return std::nullopt;
    const fs::path target = fs::canonical(path, error);
    if (error) return std::nullopt;
    const auto [inFolder, inTarget] = std::mismatch(folder.begin(), folder.end(), target.begin(), target.end());
    if (inFolder != folder.end() || inTarget == target.end()) return std::nullopt;
    return target;
}

// An open descriptor, closed on destruction.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) { }
    ~Descriptor() { ::close(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    const int fd_;
};

// Reads the sidecar at `path` into `sidecar`, opened without following a link or blocking, and
// never past the size it had when opened. Fails with the reason to leave it alone.
IoStatus readSidecar(const fs::path& path, ReadSidecar& sidecar)
{
    sidecar = ReadSidecar{path, std::nullopt, {}};
    struct stat status { };
    int fd = openWithoutBlocking(path, O_NOFOLLOW, status);
    struct stat link { };
    if (fd < 0 && errno == ELOOP && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        const std::optional<fs::path> target = linkTargetInside(path);
        if (!target) return failure(IoReason::isLink);
        sidecar.target = *target;
        fd = openWithoutBlocking(sidecar.target, O_NOFOLLOW, status);
    }
    if (fd < 0) {
        if (errno == ENOENT) return {};
        return errno == ELOOP ? failure(IoReason::isLink) : systemFailure(errno);
    }
    const Descriptor file(fd);
    if (S_ISDIR(status.st_mode)) return systemFailure(EISDIR);
    if (!S_ISREG(status.st_mode)) return failure(IoReason::notRegularFile);
    // Replaced by a new file, the sidecar would no longer be the other names' file.
    if (status.st_nlink > 1) return failure(IoReason::hardLinks);
    sidecar.status = status;
    std::vector<unsigned char> bytes;
    const IoStatus read = readRest(file.get(), bytes, std::size_t(std::max<off_t>(status.st_size, 0)));
    sidecar.content.assign(bytes.begin(), bytes.end());
    return read;
}

bool sameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the sidecar at `path` is still the file that was read: the same link to the same target,
// and the same file (device, inode, size, modification and change times), or still none.
bool stillAsRead(const fs::path& path, const ReadSidecar& read)
{
    if (read.target != path) {
        struct stat link { };
        if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || linkTargetInside(path) != read.target)
            return false;
    }
    struct stat now { };
    if (::lstat(read.target.c_str(), &now) != 0) return errno == ENOENT && !read.status;
    if (!read.status) return false;
    const struct stat& then = *read.status;
    return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
        sameTime(now.st_mtim, then.st_mtim) && sameTime(now.st_ctim, then.st_ctim);
}

std::optional<std::string> text(const Exiv2::XmpData& xmp, const std::string& key)
{
    const auto found = xmp.findKey(Exiv2::XmpKey(key));
    if (found == xmp.end()) return std::nullopt;
    return found->toString();
}

void setText(Exiv2::XmpData& xmp, const std::string& key, const std::string& value)
{
    xmp[key] = value;
}

void erase(Exiv2::XmpData& xmp, const std::string& key)
{
    const auto found = xmp.findKey(Exiv2::XmpKey(key));
    if (found != xmp.end()) xmp.erase(found);
}

// The items of the array property `key` (a lone text value counts as one item).
std::vector<std::string> items(const Exiv2::XmpData& xmp, const std::string& key)
{
    std::vector<std::string> list;
    const auto found = xmp.findKey(Exiv2::XmpKey(key));
    if (found == xmp.end()) return list;
    const Exiv2::Value& value = found->value();
    const Exiv2::TypeId type = value.typeId();
    if (type == Exiv2::xmpBag || type == Exiv2::xmpSeq || type == Exiv2::xmpAlt) {
        for (exiv2::ComponentIndex i = 0; i < value.count(); ++i) list.push_back(value.toString(i));
    } else if (!found->toString().empty()) {
        list.push_back(found->toString());
    }
    return list;
}

// Replaces the property `key` by a bag of `list`, or removes it when the list is empty. A property
// that was an ordered array stays one.
void setItems(Exiv2::XmpData& xmp, const std::string& key, const std::vector<std::string>& list)
{
    const auto found = xmp.findKey(Exiv2::XmpKey(key));
    const Exiv2::TypeId type =
        found != xmp.end() && found->value().typeId() == Exiv2::xmpSeq ? Exiv2::xmpSeq : Exiv2::xmpBag;
    erase(xmp, key);
    if (list.empty()) return;
    const exiv2::ValuePointer value = Exiv2::Value::create(type);
    for (const std::string& item : list) value->read(item);
    xmp.add(Exiv2::XmpKey(key), value.get());
}

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string decimal(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

bool unrated(const std::optional<std::string>& rating)
{
    return !rating || std::strtol(rating->c_str(), nullptr, 10) == 0;
}

// Adds `item` to the array property `key` unless it holds it already, noting that this program
// added it under `flag`, so that a later verdict of sharp takes back only what was added.
void addItem(Exiv2::XmpData& xmp, const std::string& key, const std::string& item, const char* flag)
{
    std::vector<std::string> list = items(xmp, key);
    if (contains(list, item)) return;
    list.push_back(item);
    setItems(xmp, key, list);
    setText(xmp, ownKey(flag), "True");
}

// Removes `item` from the array property `key` when this program added it (as `flag` tells).
void removeAddedItem(Exiv2::XmpData& xmp, const std::string& key, const std::string& item, const char* flag)
{
    if (text(xmp, ownKey(flag)) == std::string("True")) {
        std::vector<std::string> list = items(xmp, key);
        list.erase(std::remove(list.begin(), list.end(), item), list.end());
        setItems(xmp, key, list);
    }
    erase(xmp, ownKey(flag));
}

void markBlurry(Exiv2::XmpData& xmp, const SidecarVerdict& verdict)
{
    addItem(xmp, kSubject, kBlurryKeyword, "KeywordAdded");
    addItem(xmp, kHierarchy, kBlurryHierarchy, "HierarchyAdded");

    const std::optional<std::string> rating = text(xmp, kRating);
    if (rating == kRejected) return;
    if (unrated(rating) || verdict.overwriteRatings) {
        if (!unrated(rating)) setText(xmp, ownKey("PreviousRating"), *rating);
        setText(xmp, kRating, kRejected);
        setText(xmp, ownKey("RatingSet"), "True");
    }
}

// Takes back the marks of an earlier verdict of blurry, where they are as that verdict left them.
void unmarkBlurry(Exiv2::XmpData& xmp)
{
    removeAddedItem(xmp, kSubject, kBlurryKeyword, "KeywordAdded");
    removeAddedItem(xmp, kHierarchy, kBlurryHierarchy, "HierarchyAdded");
    if (text(xmp, ownKey("RatingSet")) == std::string("True") && text(xmp, kRating) == kRejected) {
        const std::optional<std::string> previous = text(xmp, ownKey("PreviousRating"));
        if (previous)
            setText(xmp, kRating, *previous);
        else
            erase(xmp, kRating);
    }
    erase(xmp, ownKey("RatingSet"));
    erase(xmp, ownKey("PreviousRating"));
}

// Whether a packet that holds no property is XMP all the same (an XMP or RDF element), rather than
// some other XML that the parser takes without complaint.
bool isXmp(const std::string& packet)
{
    return packet.find("adobe:ns:meta/") != std::string::npos ||
        packet.find("http://www.w3.org/1999/02/22-rdf-syntax-ns#") != std::string::npos;
}

// Exiv2 (0.27) encodes a language alternative without its items that have no text, and leaves the
// property out when none has any (or it has no item), so that an empty title or description a
// photo manager wrote would be lost. Such a property is handed to the encoder as the paths the XMP toolkit builds it
// from: an alternative array, then each item's text and its xml:lang qualifier, which the encoder
// sets as they are; read back, the array is a language alternative again.
void keepEmptyLanguageItems(Exiv2::XmpData& xmp)
{
    std::vector<std::pair<std::string, Exiv2::LangAltValue::ValueType>> rewritten;
    for (auto it = xmp.begin(); it != xmp.end();) {
        const auto* alternative = dynamic_cast<const Exiv2::LangAltValue*>(&it->value());
        const bool lost = alternative != nullptr &&
            (alternative->value_.empty() ||
             std::any_of(alternative->value_.begin(), alternative->value_.end(),
                         [](const auto& item) { return item.second.empty(); }));
        if (!lost) {
            ++it;
            continue;
        }
        rewritten.emplace_back(it->key(), alternative->value_);
        it = xmp.erase(it);
    }
    for (const auto& [key, items] : rewritten) {
        Exiv2::XmpTextValue array;
        array.setXmpArrayType(Exiv2::XmpValue::xaAlt);
        xmp.add(Exiv2::XmpKey(key), &array);
        int index = 1;
        for (const auto& [language, itemText] : items) {
            const std::string item = key + "[" + std::to_string(index++) + "]";
            const Exiv2::XmpTextValue value(itemText), qualifier(language);
            xmp.add(Exiv2::XmpKey(item), &value);
            xmp.add(Exiv2::XmpKey(item + "/?xml:lang"), &qualifier);
        }
    }
}

// The sidecar `packet` (empty for a new one) with the figures and verdict merged in, into `merged`.
// Fails with IoReason::notXmpSidecar or cannotEncodeSidecar; throws Exiv2's errors.
IoStatus merge(const std::string& packet, const SidecarFigures& figures, const std::optional<SidecarVerdict>& verdict,
               std::string& merged)
{
    const std::lock_guard<std::mutex> hold(exiv2Toolkit().lock);
    Exiv2::XmpData xmp;
    if (!packet.empty() && (Exiv2::XmpParser::decode(xmp, packet) != 0 || (xmp.empty() && !isXmp(packet))))
        return failure(IoReason::notXmpSidecar);
    keepEmptyLanguageItems(xmp);

    setText(xmp, ownKey("MaxMean"), decimal(figures.maxMean));
    setText(xmp, ownKey("MeanMean"), decimal(figures.meanMean));
    setText(xmp, ownKey("P90Mean"), decimal(figures.p90Mean));
    setText(xmp, ownKey("Width"), std::to_string(figures.width));
    setText(xmp, ownKey("Height"), std::to_string(figures.height));
    setText(xmp, ownKey("Sigma"), decimal(figures.sigma));
    setText(xmp, ownKey("Window"), std::to_string(figures.window));
    if (const std::optional<SidecarCullFigures>& cull = figures.cull) {
        setText(xmp, ownKey("Noise"), decimal(cull->noise));
        setText(xmp, ownKey("CorrectedMaxMean"), decimal(cull->correctedMaxMean));
        setText(xmp, ownKey("DetailRatio"), decimal(cull->detailRatio));
        setText(xmp, ownKey("Motion"), decimal(cull->motion));
    }
    if (verdict) {
        setText(xmp, ownKey("Verdict"), verdict->blurry ? "blurry" : "sharp");
        // What the verdict rests on, and nothing of an earlier verdict's other kind.
        if (const std::optional<SidecarJudgement>& cull = verdict->cull) {
            erase(xmp, ownKey("Threshold"));
            setText(xmp, ownKey("Scene"), std::to_string(cull->scene));
            setText(xmp, ownKey("JudgedBy"), cull->judgedBy);
            setText(xmp, ownKey("Cut"), decimal(cull->cut));
        } else {
            setText(xmp, ownKey("Threshold"), decimal(verdict->threshold));
            for (const char* property : {"Scene", "JudgedBy", "Cut"}) erase(xmp, ownKey(property));
        }
        if (verdict->blurry)
            markBlurry(xmp, *verdict);
        else
            unmarkBlurry(xmp);
    }

    merged.clear();
    if (Exiv2::XmpParser::encode(merged, xmp,
                                 Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) != 0)
        return failure(IoReason::cannotEncodeSidecar);
    return {};
}

// The failure of an exception thrown while a sidecar is merged: Exiv2's by its code, the system's
// by its error number; any other is taken for content that Exiv2 could not make sense of.
IoError failureOfException(const std::exception& thrown)
{
    if (const auto* exiv2 = dynamic_cast<const Exiv2::AnyError*>(&thrown))
        return exiv2Failure(exiv2->code(), IoReason::notXmpSidecar);
    if (const auto* system = dynamic_cast<const std::system_error*>(&thrown)) {
        const std::error_category& category = system->code().category();
        if (category == std::generic_category() || category == std::system_category())
            return systemFailure(system->code().value());
    }
    return failure(IoReason::notXmpSidecar);
}

IoStatus mergeIntoSidecar(const std::filesystem::path& path, const SidecarFigures& figures,
                          const std::optional<SidecarVerdict>& verdict)
{
    // The sidecar is read, merged and written again until it is found unchanged just before the
    // rename: an edit another program made meanwhile is merged, not replaced.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ReadSidecar read;
        IoStatus status = readSidecar(path, read);
        if (!status) return status;
        std::string packet;
        status = merge(read.content, figures, verdict, packet);
        if (!status) return status;
        bool changed = false;
        Replacement replacement;
        replacement.keep = read.status ? &*read.status : nullptr;
        replacement.beforeRename = [&]() -> IoStatus {
            changed = !stillAsRead(path, read);
            if (changed) return failure(IoReason::changed);
            return {};
        };
        status =
            writeFileAtomically(read.target, std::vector<unsigned char>(packet.begin(), packet.end()), replacement);
        if (!changed) return status;
    }
    return failure(IoReason::changed);
}

}  // namespace

IoStatus updateSidecar(const std::filesystem::path& path, const SidecarFigures& figures,
                       const std::optional<SidecarVerdict>& verdict)
{
    return withMemoryGuard([&]() -> IoStatus {
        try {
            return mergeIntoSidecar(path, figures, verdict);
        } catch (const std::bad_alloc&) {
            throw;  // for the guard
        } catch (const std::exception& thrown) {
            return failureOfException(thrown);
        }
    });
}

}  // namespace dofmap
