# Debian's hardening and optimisation flags, exported for CMake to read at a
# build directory's first configure (CMake reads CFLAGS, CXXFLAGS and LDFLAGS,
# not CPPFLAGS, whose _FORTIFY_SOURCE goes with the others). The packages are
# built with them, and so is scripts/check's first build, so that the
# packages' compiles are the same as the tested ones (and compiler cache hits).
# Usage: sg_debian_build_flags   (in the shell, or subshell, that configures)
sg_debian_build_flags() {
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
}
