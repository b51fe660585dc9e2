// The memory the programs may take: what the system and the control group have available.
#include "memory.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace dofmap {
namespace {

// The first number in the file at `path`, when it holds one (cgroup files hold "max" for no limit).
std::optional<std::int64_t> numberIn(const std::string& path)
{
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) return std::nullopt;
    try {
        return std::stoll(word);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> systemAvailable()
{
    std::ifstream in("/proc/meminfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name;
        std::int64_t kibibytes = 0;
        if (fields >> name >> kibibytes && name == "MemAvailable:") return kibibytes * 1024;
    }
    return std::nullopt;
}

std::string contentOf(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A control group hierarchy that holds a memory limit, and where this process lies in it.
struct Hierarchy {
    bool v2 = false;
    std::string group;  // the process's group, as /proc/self/cgroup names it
};

// The hierarchies of /proc/self/cgroup whose groups may limit memory: v2's ("0::/path") and v1's
// memory controller ("N:memory,...:/path").
std::vector<Hierarchy> memoryHierarchies(const std::string& cgroups)
{
    std::vector<Hierarchy> found;
    std::istringstream lines(cgroups);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            found.push_back({true, group});
            continue;
        }
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');)
            if (name == "memory") found.push_back({false, group});
    }
    return found;
}

// Where `hierarchy` is mounted, as /proc/self/mountinfo says: the mount point and the group of the
// hierarchy that appears there (its root field). Each line holds the mount's ID, its parent's,
// the device, the root, the mount point and options, then " - ", the file system type, the source
// and the super block's options (where v1 names its controllers).
std::optional<std::pair<std::string, std::string>> mountOf(const Hierarchy& hierarchy, const std::string& mounts)
{
    std::istringstream lines(mounts);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        std::istringstream before(line.substr(0, separator)), after(line.substr(separator + 3));
        std::string id, parent, device, root, point, type, source, options;
        if (!(before >> id >> parent >> device >> root >> point) || !(after >> type >> source >> options)) continue;
        bool matches = hierarchy.v2 ? type == "cgroup2" : false;
        if (!hierarchy.v2 && type == "cgroup") {
            std::istringstream names(options);
            for (std::string name; std::getline(names, name, ',');) matches |= name == "memory";
        }
        if (matches) return std::make_pair(point, root);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> controlGroupRoom(const std::string& cgroups, const std::string& mounts,
                                             const std::string& root)
{
    std::optional<std::int64_t> least;
    for (const Hierarchy& hierarchy : memoryHierarchies(cgroups)) {
        const auto mount = mountOf(hierarchy, mounts);
        if (!mount) continue;
        // The group's path below the part of the hierarchy that is mounted.
        const std::string& mountedRoot = mount->second;
        std::string below = hierarchy.group;
        if (mountedRoot != "/") {
            if (below.compare(0, mountedRoot.size(), mountedRoot) != 0) continue;
            below = below.substr(mountedRoot.size());
        }
        const std::string limitName = hierarchy.v2 ? "/memory.max" : "/memory.limit_in_bytes";
        const std::string usageName = hierarchy.v2 ? "/memory.current" : "/memory.usage_in_bytes";
        // The group itself and every group above it up to the mounted root: each limit applies.
        while (true) {
            const std::string folder = root + mount->first + below;
            if (const auto limit = numberIn(folder + limitName)) {
                const std::int64_t room = *limit - numberIn(folder + usageName).value_or(0);
                if (!least || room < *least) least = room;
            }
            const std::size_t slash = below.find_last_of('/');
            if (below.empty() || slash == std::string::npos) break;
            below.erase(slash);
        }
    }
    return least;
}

// The address space left under RLIMIT_AS (prlimit --as), less what the process maps already.
std::optional<std::int64_t> addressSpaceRoom()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    std::ifstream in("/proc/self/statm");
    std::int64_t pages = 0;
    in >> pages;
    return std::int64_t(limit.rlim_cur) - pages * std::int64_t(::sysconf(_SC_PAGESIZE));
}

std::optional<std::int64_t> availableMemory()
{
    std::optional<std::int64_t> least;
    const std::optional<std::int64_t> group =
        controlGroupRoom(contentOf("/proc/self/cgroup"), contentOf("/proc/self/mountinfo"));
    for (const std::optional<std::int64_t> room : {systemAvailable(), group, addressSpaceRoom()})
        if (room && (!least || *room < *least)) least = room;
    return least;
}

std::optional<std::int64_t> parseMemorySize(const std::string& text)
{
    std::size_t used = 0;
    double number = 0.0;
    try {
        number = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::string unit = text.substr(used);
    for (const char* tail : {"iB", "B"})
        if (unit.size() > std::string(tail).size() &&
            unit.compare(unit.size() - std::string(tail).size(), std::string::npos, tail) == 0) {
            unit.resize(unit.size() - std::string(tail).size());
            break;
        }
    double scale = 1.0;
    if (unit.size() == 1) {
        const std::string units = "kmgt";
        const std::size_t power = units.find(char(std::tolower(static_cast<unsigned char>(unit[0]))));
        if (power == std::string::npos) return std::nullopt;
        scale = std::pow(1024.0, double(power + 1));
    } else if (!unit.empty()) {
        return std::nullopt;
    }
    const double bytes = number * scale;
    if (!std::isfinite(bytes) || bytes < 1.0 || bytes > 9.0e18) return std::nullopt;
    return std::int64_t(bytes);
}

std::string formatMemorySize(std::int64_t bytes)
{
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace dofmap
