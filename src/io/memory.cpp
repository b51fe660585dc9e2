// The memory the programs may take: what the system and the control group have available.
#include "memory.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

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

// The control group of this process, from /proc/self/cgroup: v2's "0::/path" line.
std::string ownGroup()
{
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    return "/";
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

std::optional<std::int64_t> groupRoom()
{
    const std::string v2 = "/sys/fs/cgroup" + ownGroup();
    if (const auto limit = numberIn(v2 + "/memory.max")) return *limit - numberIn(v2 + "/memory.current").value_or(0);
    const std::string v1 = "/sys/fs/cgroup/memory";
    if (const auto limit = numberIn(v1 + "/memory.limit_in_bytes"))
        return *limit - numberIn(v1 + "/memory.usage_in_bytes").value_or(0);
    return std::nullopt;
}

}  // namespace

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
    for (const std::optional<std::int64_t> room : {systemAvailable(), groupRoom(), addressSpaceRoom()})
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
