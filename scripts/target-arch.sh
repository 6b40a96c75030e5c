# Sourced by the scripts that run built programs under Wine: which toolchain builds programs
# this host can run. Wine runs a 32-bit program in a 32-bit Linux process, which a kernel with
# IA-32 emulation turned off refuses (exec format error); the scripts then run inside
# scripts/i386-namespace.sh, where qemu's user-mode emulator runs them. Where that cannot work
# either, Wine's 64-bit loader still runs a 64-bit build of the same sources.

test_toolchain() {
    if wine --version >/dev/null 2>&1; then
        echo mingw-w64-i686
    else
        echo mingw-w64-x86_64
    fi
}

# The Wine loader and registry view for programs built with that toolchain.
test_wine() {
    if [ "$(test_toolchain)" = mingw-w64-i686 ]; then echo wine; else echo /usr/lib/wine/wine64; fi
}
test_reg_view() {
    if [ "$(test_toolchain)" = mingw-w64-i686 ]; then echo 32; else echo 64; fi
}
