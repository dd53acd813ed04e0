# Installs the Debian packages the project needs when they are missing. A
# package may name another architecture (wine32:i386): dpkg is told about
# that architecture first (multiarch), so that apt's lists carry it.
# With SG_NO_APT set (scripts/check sets it once it has installed every
# stage's packages, so that apt never runs under a build) a missing package
# is an error, and apt is not run.
# Usage: sg_install_packages PKG...
sg_install_packages() {
    local missing=() added=() pkg arch
    local -A seen=()
    for pkg in "$@"; do
        [ -z "${seen[$pkg]:-}" ] || continue
        seen[$pkg]=1
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ -n "${SG_NO_APT:-}" ]; then
        echo "missing packages: ${missing[*]}; apt is not run now (SG_NO_APT: scripts/check" \
            "installs every stage's packages before its first build; add them to SG_ALL_PACKAGES)" >&2
        return 1
    fi
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    for pkg in "${missing[@]}"; do
        case $pkg in *:*) arch=${pkg##*:} ;; *) continue ;; esac
        [ "$arch" = "$(dpkg --print-architecture)" ] && continue
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            echo "Adding the architecture $arch to dpkg (multiarch)"
            $sudo dpkg --add-architecture "$arch"
            added+=("$arch")
        fi
    done
    # A mirror in the middle of a sync fails an update now and then ("File
    # has unexpected size"): it is tried again after a pause, and the install
    # is tried whatever the last update said (what it did fetch may do).
    local attempt
    for attempt in 1 2; do
        $sudo apt-get update -qq && break
        echo "apt-get update failed (attempt $attempt of 2)" >&2
        [ "$attempt" -lt 2 ] && sleep 5
    done
    for attempt in 1 2; do
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" && return 0
        [ "$attempt" -lt 2 ] || break
        echo "apt-get install failed: updating the package lists again" >&2
        sleep 5
        $sudo apt-get update -qq || true
    done
    # An architecture added for nothing would only fail every later update.
    for arch in ${added[@]+"${added[@]}"}; do
        $sudo dpkg --remove-architecture "$arch" || true
    done
    return 1
}

# What building the program and the simulator needs (libssl-dev: TLS for
# the secure LAN connection, secure/).
SG_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libusb-1.0-0-dev libssl-dev)
# What the test suite needs on top: GoogleTest; the secure connection's
# peers (tests/secure/run): gsasl, openssl's s_server and s_client, socat
# as the man in the middle.
SG_TEST_PACKAGES=(libgtest-dev libgmock-dev gsasl openssl socat)
# What scripts/check uses on top: a compiler cache, so that the benchmarks'
# and the packages' builds reuse the objects of the first one, Debian's
# build flags (dpkg-buildflags), which the first build shares with them, and
# libtirpc, the yardstick of the benchmarks' VXI-11 query (bench/rpc_floor.h).
SG_CHECK_PACKAGES=(ccache dpkg-dev libtirpc-dev)

# Configures and builds into DIR with extra cmake arguments.
# Usage: sg_build DIR [CMAKE_ARG...]
sg_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
    cmake --build "$dir"
}

# The same for some targets only (a space-separated list).
# Usage: sg_build_targets DIR "TARGET..." [CMAKE_ARG...]
sg_build_targets() {
    local dir=$1 targets=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
    # shellcheck disable=SC2086 # the list is split into targets on purpose
    cmake --build "$dir" --target $targets
}
# What the real-USB VM test (tests/vm/run) needs on top (usbip: its tools run
# in the guest for the USB/IP checks).
SG_VM_PACKAGES=(qemu-system-x86 busybox-static cpio xz-utils python3-pyvisa python3-pyvisa-py python3-usb usbip)
# What PyVISA's own test suite against our library (tests/pyvisa/run) needs.
SG_PYVISA_PACKAGES=(python3-pyvisa python3-pytest)
# What the clients of the simulator on the LAN (tests/lan/run-peers) need on
# top: pyvisa-py, lxi-tools, tshark (it decodes a session of our library),
# and ip and unshare for its network namespace; and LAN discovery
# (tests/lan/run-discovery): avahi-daemon with a D-Bus system bus for
# `lxi discover --mdns`, avahi-publish.
SG_LAN_PACKAGES=(python3-pyvisa-py lxi-tools iproute2 util-linux tshark avahi-daemon avahi-utils
    dbus-daemon)
# What the Windows cross builds (scripts/build-windows) need: CMake, Ninja and
# the MinGW-w64 C and C++ compilers (with binutils: dlltool, objdump).
SG_WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix)
# What running both programs under wine (tests/windows/run) needs on top: the
# 64-bit loader; and for the 32-bit program wine's 32-bit side, which Debian
# builds for i386 only (installed on its own: where the i386 package lists
# cannot be had, the 32-bit program is not run and the rest is).
SG_WINE_PACKAGES=(wine64 python3)
SG_WINE32_PACKAGES=(wine32:i386)
# What the sanitizer build and the fuzz smoke (tests/fuzz/run) need on top:
# clang with its sanitizer runtimes and libFuzzer.
SG_CLANG_PACKAGES=(clang libclang-rt-14-dev)
# What building the Debian packages (scripts/package) needs on top: dpkg's
# tools (dpkg-shlibdeps, dpkg-buildflags), file (CPack finds the binaries
# with it), lintian; and installing the PyVISA backend into a virtual
# environment (scripts/check's package stage).
SG_PACKAGE_PACKAGES=(dpkg-dev file lintian python3-venv)

# Everything scripts/check's stages need, installed in one step before its
# first build (wine32:i386 apart: it may not be had, and goes on its own).
SG_ALL_PACKAGES=("${SG_BUILD_PACKAGES[@]}" "${SG_TEST_PACKAGES[@]}" "${SG_CHECK_PACKAGES[@]}"
    "${SG_CLANG_PACKAGES[@]}" "${SG_PYVISA_PACKAGES[@]}" "${SG_LAN_PACKAGES[@]}"
    "${SG_WINDOWS_PACKAGES[@]}" "${SG_WINE_PACKAGES[@]}" "${SG_VM_PACKAGES[@]}" "${SG_PACKAGE_PACKAGES[@]}")
