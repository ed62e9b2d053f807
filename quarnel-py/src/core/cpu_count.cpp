#include "core/cpu_count.hpp"

#if defined(__linux__)
#include <sched.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace quarnel {
namespace {

#if defined(__linux__)
std::size_t affinity_count() noexcept {
    // The kernel's mask can be wider than cpu_set_t (more than 1024 CPUs configured);
    // it answers EINVAL until the set is large enough.
    for (int n = CPU_SETSIZE; n <= (1 << 22); n *= 2) {
        std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(n),
                                                             [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(n);
        CPU_ZERO_S(size, set.get());
        if (sched_getaffinity(0, size, set.get()) == 0) {
            return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
        }
        if (errno != EINVAL) return 0;
    }
    return 0;
}
#endif

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

std::string_view trim(std::string_view s) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::uint64_t> parse_u64(std::string_view s) noexcept {
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

bool has_item(std::string_view comma_list, std::string_view word) {
    for (std::string_view item : split(comma_list, ',')) {
        if (item == word) return true;
    }
    return false;
}

std::optional<std::size_t> whole_cpus(std::uint64_t quota, std::uint64_t period) noexcept {
    if (quota == 0 || period == 0) return std::nullopt;
    // Rounded up: a quota of 1.5 CPUs can keep two threads busy part of the time, and
    // rounding down would turn a small quota into none.
    const std::uint64_t n = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::max<std::uint64_t>(n, 1));
}

// v2 cpu.max: "<quota> <period>", quota "max" meaning unlimited.
std::optional<std::size_t> v2_quota(const std::string& dir) {
    const auto text = read_file(dir + "/cpu.max");
    if (!text) return std::nullopt;
    const auto fields = split(trim(*text), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    const auto quota = parse_u64(fields[0]);
    const auto period = parse_u64(fields[1]);
    if (!quota || !period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

// v1: cpu.cfs_quota_us is -1 when unlimited.
std::optional<std::size_t> v1_quota(const std::string& dir) {
    const auto quota_text = read_file(dir + "/cpu.cfs_quota_us");
    if (!quota_text) return std::nullopt;
    const auto quota = parse_u64(trim(*quota_text));
    if (!quota) return std::nullopt;
    const auto period_text = read_file(dir + "/cpu.cfs_period_us");
    if (!period_text) return std::nullopt;
    const auto period = parse_u64(trim(*period_text));
    if (!period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out.push_back(
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct CgroupDir {
    std::string mount_point;  // with the root prefix
    std::string relative;     // "" or "/a/b": the cgroup below the mount's root
};

// Where the cgroup `path` of the hierarchy picked by `v1_cpu` is visible, from
// mountinfo lines "id parent dev root point options [optional...] - fstype source super".
std::optional<CgroupDir> locate(const std::string& root, bool v1_cpu, std::string_view path) {
    const auto text = read_file(root + "/proc/self/mountinfo");
    if (!text) return std::nullopt;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto f = split(line, ' ');
        const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
        if (dash == f.end() || f.end() - dash < 4 || dash - f.begin() < 6) continue;
        const std::string_view fstype = dash[1];
        const std::string_view super_options = dash[3];
        if (v1_cpu ? !(fstype == "cgroup" && has_item(super_options, "cpu"))
                   : fstype != "cgroup2") {
            continue;
        }
        const std::string mount_root = unescape(f[3]);
        std::string_view rel = path;
        if (mount_root != "/") {
            // The mount shows only the subtree at mount_root (a container's own cgroup,
            // typically); our cgroup must lie inside it to be reachable.
            if (rel.substr(0, mount_root.size()) != mount_root) continue;
            rel.remove_prefix(mount_root.size());
            if (!rel.empty() && rel.front() != '/') continue;
        }
        while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
        return CgroupDir{root + unescape(f[4]), std::string(rel)};
    }
    return std::nullopt;
}

struct Membership {
    std::optional<std::string> v1_cpu;  // path in the v1 hierarchy holding `cpu`
    std::optional<std::string> v2;      // path in the unified hierarchy
};

// /proc/self/cgroup lines: "hierarchy-id:controller,list:path"; v2 is "0::path".
Membership read_membership(const std::string& root) {
    Membership m;
    const auto text = read_file(root + "/proc/self/cgroup");
    if (!text) return m;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t a = line.find(':');
        const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string_view controllers = std::string_view(line).substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        if (line.compare(0, a, "0") == 0 && controllers.empty()) {
            m.v2 = std::move(path);
        } else if (has_item(controllers, "cpu")) {
            m.v1_cpu = std::move(path);
        }
    }
    return m;
}

// Parent cgroups are consulted too: a quota on any ancestor caps everything below it,
// and container runtimes often set the limit one level up from the process's own
// cgroup. The walk stops at the mount point, the highest level we can see; the
// smallest quota met wins.
std::optional<std::size_t> quota_along(const CgroupDir& at, bool v1) {
    std::optional<std::size_t> best;
    std::string rel = at.relative;
    for (;;) {
        const std::string dir = at.mount_point + rel;
        if (const auto q = v1 ? v1_quota(dir) : v2_quota(dir))
            best = best ? std::min(*best, *q) : *q;
        if (rel.empty()) return best;
        rel.resize(rel.rfind('/'));
    }
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
    const Membership m = read_membership(root);
    if (m.v1_cpu) {
        if (const auto dir = locate(root, true, *m.v1_cpu)) return quota_along(*dir, true);
    }
    if (m.v2) {
        if (const auto dir = locate(root, false, *m.v2)) return quota_along(*dir, false);
    }
    return std::nullopt;
}

std::size_t processor_count(const std::string& root) {
#if defined(__linux__)
    std::size_t n = affinity_count();
    if (n == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        n = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    if (const auto quota = cgroup_cpu_quota(root)) n = std::min(n, *quota);
#else
    // No affinity sets or cgroups to consult here; 0 means the count is unknown.
    (void)root;
    std::size_t n = std::thread::hardware_concurrency();
#endif
    return std::max<std::size_t>(n, 1);
}

}  // namespace quarnel
