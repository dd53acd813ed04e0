#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "proto/bus_directory.h"
#include "temp_dir.h"

namespace {

using namespace sgproto;

TEST(BusDirectory, FollowsRuntimeDirectoryOrFallsBackToTmp) {
    sgtest::TempDir tmp;
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1), 0);
    EXPECT_EQ(bus_directory(), tmp.path() + "/sgvisa");
    ASSERT_EQ(unsetenv("XDG_RUNTIME_DIR"), 0);
    EXPECT_EQ(bus_directory(), "/tmp/sgvisa-" + std::to_string(geteuid()));
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", "relative/path", 1), 0);
    EXPECT_EQ(bus_directory(), "/tmp/sgvisa-" + std::to_string(geteuid()));
}

TEST(BusDirectory, CreatedPrivateEvenUnderAWideUmask) {
    sgtest::TempDir tmp;
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1), 0);
    const mode_t old = umask(0);
    std::string error;
    const bool ok = ensure_bus_directory(error);
    umask(old);
    ASSERT_TRUE(ok) << error;
    struct stat st {};
    ASSERT_EQ(stat(bus_directory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(bus_directory_is_private(bus_directory()));
    EXPECT_TRUE(ensure_bus_directory(error));  // already there
}

TEST(BusDirectory, UnsafeDirectoriesAreNotPrivate) {
    sgtest::TempDir tmp;
    const std::string open_dir = tmp.path() + "/open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0750), 0);
    EXPECT_FALSE(bus_directory_is_private(open_dir));
    const std::string link = tmp.path() + "/link";
    const std::string target = tmp.make_subdir("target");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(bus_directory_is_private(link));  // a symlink is not trusted
    EXPECT_FALSE(bus_directory_is_private(tmp.path() + "/missing"));
    EXPECT_TRUE(bus_directory_is_private(target));
}

TEST(BusDirectory, SocketPathEscapesSerialNumber) {
    EXPECT_EQ(device_socket_path("/run/x", 0x4d19, 0x0040, "SIM001"),
              "/run/x/4d19-0040-SIM001.sock");
    EXPECT_EQ(device_socket_path("/d", 0xABCD, 1, "a b/c%.-_"),
              "/d/abcd-0001-a%20b%2Fc%25.-_.sock");
}

}  // namespace
