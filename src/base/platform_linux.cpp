// The Linux part of base/platform.hpp: the processors of the affinity mask
// and of the control groups' CPU quota, binding a thread to one of them, the
// system's runnable threads, and kernel thread ids.
#include "base/platform.hpp"

#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvane::platform {
namespace {

// The smallest CPU quota (quota / period, at least 1) set on the process's
// control group or its ancestors, or 0 when there is none.
unsigned cgroup_cpu_limit() {
    std::ifstream cgroup_file("/proc/self/cgroup");
    std::string line;
    unsigned best = 0;
    auto consider = [&](double quota, double period) {
        if (quota <= 0 || period <= 0) return;
        unsigned cpus = static_cast<unsigned>(quota / period);
        if (cpus < 1) cpus = 1;
        if (best == 0 || cpus < best) best = cpus;
    };
    auto for_each_ancestor = [](std::string path, auto&& visit) {
        for (;;) {
            visit(path);
            if (path.empty() || path == "/") return;
            size_t slash = path.find_last_of('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    };
    while (std::getline(cgroup_file, line)) {
        size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (controllers.empty()) {  // cgroup v2
            for_each_ancestor(path, [&](const std::string& p) {
                std::ifstream f("/sys/fs/cgroup" + (p == "/" ? std::string() : p) + "/cpu.max");
                std::string quota;
                double period = 0;
                if (f >> quota >> period && quota != "max") consider(std::stod(quota), period);
            });
        } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {  // cgroup v1
            for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
                for_each_ancestor(path, [&](const std::string& p) {
                    std::string dir = mount + (p == "/" ? std::string() : p);
                    std::ifstream q(dir + "/cpu.cfs_quota_us"), r(dir + "/cpu.cfs_period_us");
                    double quota = 0, period = 0;
                    if (q >> quota && r >> period) consider(quota, period);
                });
            }
        }
    }
    return best;
}

}  // namespace

int bind_to_processor(unsigned index, unsigned pool_size) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return -1;
    if (static_cast<unsigned>(CPU_COUNT(&allowed)) != pool_size) return -1;
    unsigned seen = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed) || seen++ != index) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return sched_setaffinity(0, sizeof(one), &one) == 0 ? cpu : -1;
    }
    return -1;
}

int current_processor() { return sched_getcpu(); }

int runnable_threads() {
    // The fourth field of /proc/loadavg, "running/total"; the file stays open
    // (read again from its start each time) for the life of the process.
    static const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[128];
    const ssize_t size = pread(fd, text, sizeof text - 1, 0);
    if (size <= 0) return -1;
    text[size] = '\0';
    const char* field = text;
    for (int spaces = 0; spaces < 3; ++field) {
        if (*field == '\0') return -1;
        if (*field == ' ') ++spaces;
    }
    int running = 0;
    for (; *field >= '0' && *field <= '9'; ++field) running = running * 10 + (*field - '0');
    return *field == '/' ? running : -1;
}

unsigned available_processors() {
    unsigned n = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<unsigned>(CPU_COUNT(&set));
    if (n == 0) {
        long online = sysconf(_SC_NPROCESSORS_ONLN);
        n = online > 0 ? static_cast<unsigned>(online) : 0;
    }
    if (n == 0) return 0;
    unsigned quota = cgroup_cpu_limit();
    if (quota != 0 && quota < n) n = quota;
    return n;
}

// Through syscall(): glibc has a gettid() wrapper only from 2.30, and the
// manylinux_2_28 wheels build against 2.28.
unsigned long long current_thread_id() { return static_cast<unsigned long long>(::syscall(SYS_gettid)); }

}  // namespace kelvane::platform
