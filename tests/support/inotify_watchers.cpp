#include "inotify_watchers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "lock/lock_file.h"
#include "proto/bus_directory.h"

namespace sgtest {

int inotify_watches_on(pid_t pid, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    std::ostringstream want;
    want << "ino:" << std::hex << static_cast<std::uint64_t>(st.st_ino) << ' ';
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    int count = 0;
    while (const dirent* e = ::readdir(d)) {
        std::ifstream info(dir + "/" + e->d_name);
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("inotify wd:", 0) == 0 && line.find(want.str()) != std::string::npos)
                ++count;
        }
    }
    ::closedir(d);
    return count;
}

bool wait_for_inotify_watches(pid_t pid, const std::string& path, int count,
                              std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (inotify_watches_on(pid, path) < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int lock_waiters_on(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    // "1: OFDLCK ADVISORY  READ -1 fe:00:10953049 2 2": major and minor in
    // hex, the inode in decimal, then the first and last byte.
    char where[64];
    std::snprintf(where, sizeof where, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    int count = 0;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, advisory, type, pid, file, first, last;
        fields >> number >> kind >> advisory >> type >> pid >> file >> first >> last;
        if (type == "READ" && file == where && first == "2" && last == "2")
            ++count;
    }
    return count;
}

bool wait_for_lock_waiters(const std::string& path, int count, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (lock_waiters_on(path) < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string lock_file_of(unsigned vendor_id, unsigned product_id, const std::string& serial) {
    return sgvisa::lock::instrument_lock_path(
        sgproto::bus_directory(),
        {static_cast<std::uint16_t>(vendor_id), static_cast<std::uint16_t>(product_id), serial});
}

}  // namespace sgtest
