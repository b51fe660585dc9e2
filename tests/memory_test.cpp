// The memory the programs may take: the limits of the control groups the process lies in, found
// through /proc/self/cgroup and /proc/self/mountinfo, and every limit of the groups above them.
#include "memory.hpp"
#include "process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

void writeFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

// Both hierarchies at once, as on hosts of cgroup v1 with v2 mounted beside it: in each, the
// process's own group sets no limit but a group above it does, and the least room of all counts.
TEST(ControlGroups, TheLeastRoomOfTheOwnGroupsAndTheirParentsCounts)
{
    const TemporaryDirectory tree("dofmap-cgroup");
    const fs::path v1 = tree.path() / "sys/fs/cgroup/memory";
    writeFile(v1 / "memory.limit_in_bytes", "9223372036854771712");
    writeFile(v1 / "memory.usage_in_bytes", "5000000000");
    writeFile(v1 / "jobs/memory.limit_in_bytes", "2000000000");
    writeFile(v1 / "jobs/memory.usage_in_bytes", "1200000000");
    writeFile(v1 / "jobs/batch/memory.limit_in_bytes", "9223372036854771712");
    writeFile(v1 / "jobs/batch/memory.usage_in_bytes", "100000000");
    const fs::path v2 = tree.path() / "sys/fs/cgroup/unified";
    writeFile(v2 / "user/memory.max", "900000000");
    writeFile(v2 / "user/memory.current", "300000000");
    writeFile(v2 / "user/session/memory.max", "max");
    writeFile(v2 / "user/session/memory.current", "200000000");
    const std::string mounts = "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
                               "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
                               "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const std::string cgroups = "5:cpu:/\n4:memory:/jobs/batch\n0::/user/session\n";
    EXPECT_EQ(controlGroupRoom(cgroups, mounts, tree.path().string()), 600000000);
    // Without the v2 hierarchy's limits the v1 parent's room is the least.
    EXPECT_EQ(controlGroupRoom("4:memory:/jobs/batch\n", mounts, tree.path().string()), 800000000);
    // A hierarchy mounted from one of its groups (a container's view) is found below that group.
    const std::string contained = "35 31 0:32 /jobs /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
    fs::rename(v1 / "jobs", tree.path() / "jobs");
    fs::remove_all(v1);
    fs::rename(tree.path() / "jobs", v1);
    EXPECT_EQ(controlGroupRoom("4:memory:/jobs/batch\n", contained, tree.path().string()), 800000000);
    EXPECT_EQ(controlGroupRoom("4:memory:/jobs/batch\n", "", tree.path().string()), std::nullopt);
}

}  // namespace
}  // namespace dofmap
