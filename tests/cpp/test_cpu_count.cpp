#include <algorithm>
#include <optional>
#include <string>

#include "check.hpp"
#include "core/cpu_count.hpp"

using quarnel::processor_count;

// The affinity set and the cgroup quota are Linux's; elsewhere the count comes from
// the standard library alone.
#if defined(__linux__)
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using quarnel::cgroup_cpu_quota;

// A throwaway directory standing in for "/", removed at the end of the test.
class FakeRoot {
public:
    FakeRoot() {
        std::string pattern = (fs::temp_directory_path() / "quarnel-cg-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~FakeRoot() { fs::remove_all(path_); }
    const std::string& path() const { return path_; }

    void write(const std::string& rel, const std::string& text) const {
        const fs::path p = fs::path(path_ + rel);
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }

private:
    std::string path_;
};

static const char* const v2_mount =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
static const char* const v1_mounts =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "34 31 0:30 / /sys/fs/cgroup/cpuset rw shared:9 - cgroup cgroup rw,cpuset\n"
    "35 31 0:31 / /sys/fs/cgroup/cpu,cpuacct rw shared:10 - cgroup cgroup rw,cpu,cpuacct\n";

TEST_CASE("cgroup v2: cpu.max quota, rounded up") {
    FakeRoot r;
    r.write("/proc/self/cgroup", "0::/app.slice/job\n");
    r.write("/proc/self/mountinfo", v2_mount);
    r.write("/sys/fs/cgroup/app.slice/job/cpu.max", "150000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(2));
    r.write("/sys/fs/cgroup/app.slice/job/cpu.max", "50000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(1));
    r.write("/sys/fs/cgroup/app.slice/job/cpu.max", "300000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(3));
    r.write("/sys/fs/cgroup/app.slice/job/cpu.max", "max 100000\n");
    CHECK(!cgroup_cpu_quota(r.path()));
    r.write("/sys/fs/cgroup/app.slice/job/cpu.max", "lots 100000\n");
    CHECK(!cgroup_cpu_quota(r.path()));
}

TEST_CASE("cgroup v2: the smallest quota on the way up to the mount point wins") {
    FakeRoot r;
    r.write("/proc/self/cgroup", "0::/a/b/c\n");
    r.write("/proc/self/mountinfo", v2_mount);
    r.write("/sys/fs/cgroup/a/b/c/cpu.max", "max 100000\n");
    r.write("/sys/fs/cgroup/a/b/cpu.max", "400000 100000\n");
    r.write("/sys/fs/cgroup/a/cpu.max", "250000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(3));
    r.write("/sys/fs/cgroup/a/b/c/cpu.max", "100000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(1));
}

TEST_CASE("cgroup v2: a mount of a subtree is entered below its own root only") {
    FakeRoot r;
    // A container sees its own cgroup mounted at /sys/fs/cgroup; the path in
    // /proc/self/cgroup is still the host's, so the mount root must be stripped.
    r.write("/proc/self/cgroup", "0::/kubepods/pod1/ctr\n");
    r.write("/proc/self/mountinfo",
            "30 23 0:26 /kubepods/pod1 /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n");
    r.write("/sys/fs/cgroup/ctr/cpu.max", "max 100000\n");
    r.write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(2));

    r.write("/proc/self/cgroup", "0::/kubepods/pod10/ctr\n");  // not under /kubepods/pod1
    CHECK(!cgroup_cpu_quota(r.path()));
}

TEST_CASE("cgroup v1: cfs quota over period, -1 meaning none") {
    FakeRoot r;
    r.write("/proc/self/cgroup", "5:cpuset:/\n4:cpu,cpuacct:/docker/abc\n1:name=systemd:/x\n");
    r.write("/proc/self/mountinfo", v1_mounts);
    r.write("/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "150000\n");
    r.write("/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(2));
    r.write("/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "-1\n");
    CHECK(!cgroup_cpu_quota(r.path()));
    // The parent's quota applies to the child too.
    r.write("/sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_quota_us", "100000\n");
    r.write("/sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_period_us", "100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(1));
    // A quota without a readable period is no quota.
    fs::remove(r.path() + "/sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_period_us");
    CHECK(!cgroup_cpu_quota(r.path()));
}

TEST_CASE("cgroup v1: cpuset and cpuacct are not the cpu controller") {
    FakeRoot r;
    r.write("/proc/self/cgroup", "5:cpuset:/docker/abc\n3:cpuacct:/docker/abc\n");
    r.write("/proc/self/mountinfo",
            "34 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n"
            "36 31 0:32 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n");
    r.write("/sys/fs/cgroup/cpuset/docker/abc/cpu.cfs_quota_us", "100000\n");
    r.write("/sys/fs/cgroup/cpuset/docker/abc/cpu.cfs_period_us", "100000\n");
    CHECK(!cgroup_cpu_quota(r.path()));
}

TEST_CASE("cgroup hybrid: the v1 cpu controller is preferred over the unified tree") {
    FakeRoot r;
    r.write("/proc/self/cgroup", "4:cpu,cpuacct:/job\n0::/job\n");
    r.write(
        "/proc/self/mountinfo",
        std::string(v1_mounts) + "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    r.write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "300000\n");
    r.write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
    r.write("/sys/fs/cgroup/unified/job/cpu.max", "100000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(3));
}

TEST_CASE("cgroup: escaped mount points are decoded") {
    FakeRoot r;
    r.write("/proc/self/cgroup", "0::/j\n");
    r.write("/proc/self/mountinfo", "30 23 0:26 / /cg\\040root rw - cgroup2 none rw\n");
    r.write("/cg root/j/cpu.max", "200000 100000\n");
    CHECK(cgroup_cpu_quota(r.path()) == std::optional<std::size_t>(2));
}

TEST_CASE("processor count: affinity set lowered to the quota, never below 1") {
    FakeRoot none;  // no cgroup files at all
    CHECK(!cgroup_cpu_quota(none.path()));
    const std::size_t affinity = processor_count(none.path());
    CHECK(affinity >= 1);

    FakeRoot r;
    r.write("/proc/self/cgroup", "0::/j\n");
    r.write("/proc/self/mountinfo", v2_mount);
    r.write("/sys/fs/cgroup/j/cpu.max", "150000 100000\n");
    CHECK(processor_count(r.path()) == std::min<std::size_t>(affinity, 2));
    r.write("/sys/fs/cgroup/j/cpu.max", "1000 100000\n");
    CHECK(processor_count(r.path()) == 1);
    r.write("/sys/fs/cgroup/j/cpu.max", "100000000 100000\n");
    CHECK(processor_count(r.path()) == affinity);

    CHECK(processor_count() >= 1);  // the real system
}
#else
TEST_CASE("processor count: at least 1") { CHECK(processor_count() >= 1); }
#endif

QTEST_MAIN
