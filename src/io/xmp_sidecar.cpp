// A photo's XMP sidecar, where photo managers read keywords and ratings: the focus figures merged
// into it under this program's own namespace, and a blurred photo marked as rejected, everything
// else the sidecar holds kept.
#include "xmp_sidecar.hpp"

#include "atomic_file.hpp"
#include "messages.hpp"

#include <exiv2/exiv2.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace dofmap {
namespace {

const std::string kSubject = "Xmp.dc.subject";
const std::string kHierarchy = "Xmp.lr.hierarchicalSubject";
const std::string kRating = "Xmp.xmp.Rating";
const std::string kRejected = "-1";

std::string ownKey(const char* property)
{
    return std::string("Xmp.") + kXmpPrefix + "." + property;
}

// The XMP toolkit, set up once for the process (this program's namespace registered, Exiv2's own
// messages muted) and released at exit. Exiv2's XMP calls are not safe from several threads at
// once, so every use holds the lock.
class Toolkit {
public:
    Toolkit()
    {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        Exiv2::XmpProperties::registerNs(kXmpNamespace, kXmpPrefix);
    }
    ~Toolkit() { Exiv2::XmpParser::terminate(); }
    Toolkit(const Toolkit&) = delete;
    Toolkit& operator=(const Toolkit&) = delete;

    std::mutex lock;
};

Toolkit& toolkit()
{
    static Toolkit instance;
    return instance;
}

// The content of the file at `path` into `content`: empty when there is no file. Returns the
// system's reason when it exists but cannot be read.
std::string readExisting(const std::filesystem::path& path, std::string& content)
{
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? std::string() : reasonOf(errno);
    std::vector<unsigned char> bytes;
    std::string reason;
    try {
        reason = readRest(fd, bytes);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    content.assign(bytes.begin(), bytes.end());
    return reason;
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
        for (long i = 0; i < value.count(); ++i) list.push_back(value.toString(i));
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
    const Exiv2::Value::AutoPtr value = Exiv2::Value::create(type);
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

}  // namespace

std::string updateSidecar(const std::filesystem::path& path, const SidecarFigures& figures,
                          const std::optional<SidecarVerdict>& verdict)
{
    std::string packet;
    try {
        Toolkit& xmpToolkit = toolkit();
        const std::string unreadable = readExisting(path, packet);
        if (!unreadable.empty()) return unreadable;

        const std::lock_guard<std::mutex> hold(xmpToolkit.lock);
        Exiv2::XmpData xmp;
        if (!packet.empty() && (Exiv2::XmpParser::decode(xmp, packet) != 0 || (xmp.empty() && !isXmp(packet))))
            return "not an XMP sidecar";

        setText(xmp, ownKey("MaxMean"), decimal(figures.maxMean));
        setText(xmp, ownKey("MeanMean"), decimal(figures.meanMean));
        setText(xmp, ownKey("P90Mean"), decimal(figures.p90Mean));
        setText(xmp, ownKey("Width"), std::to_string(figures.width));
        setText(xmp, ownKey("Height"), std::to_string(figures.height));
        setText(xmp, ownKey("Sigma"), decimal(figures.sigma));
        setText(xmp, ownKey("Window"), std::to_string(figures.window));
        if (verdict) {
            setText(xmp, ownKey("Verdict"), verdict->blurry ? "blurry" : "sharp");
            setText(xmp, ownKey("Threshold"), decimal(verdict->threshold));
            if (verdict->blurry)
                markBlurry(xmp, *verdict);
            else
                unmarkBlurry(xmp);
        }

        packet.clear();
        if (Exiv2::XmpParser::encode(packet, xmp,
                                     Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) != 0)
            return "cannot encode the sidecar";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception&) {
        return "not an XMP sidecar";
    }
    return writeFileAtomically(path, std::vector<unsigned char>(packet.begin(), packet.end()));
}

}  // namespace dofmap
