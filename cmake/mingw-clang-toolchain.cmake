# Cross build for 64-bit Windows with Debian's clang over the MinGW-w64 posix-thread runtime:
# the same headers, libraries and dependency prefix as the GCC build, a second compiler's eyes.
include("${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake")

set(_drovane_target x86_64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${_drovane_target})
set(CMAKE_CXX_COMPILER_TARGET ${_drovane_target})
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)

# clang does not recognise Debian's "12-posix" GCC directory as a GCC installation, so it is
# named here: libstdc++'s headers and the libgcc/libstdc++ archives of the posix-thread build.
file(GLOB _drovane_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
list(SORT _drovane_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _drovane_gcc_dirs 0 _drovane_gcc)
set(_drovane_libstdcxx "${_drovane_gcc}/include/c++")
# GCC's MinGW libstdc++ keeps its thread-local variables (std::call_once's) in emulated TLS;
# clang has to use the same model to link against it.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -nostdinc++ -isystem ${_drovane_libstdcxx} \
-isystem ${_drovane_libstdcxx}/x86_64-w64-mingw32 -isystem ${_drovane_libstdcxx}/backward")
# The host's ld is an ELF linker; lld links PE images in its MinGW mode. libstdc++ of the
# posix-thread build needs winpthreads, which GCC's driver adds by itself and clang's with
# -pthread. The compile-only -nostdinc++ is also on link lines, where it is no news.
set(_drovane_link "-fuse-ld=lld -L${_drovane_gcc} -pthread -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_drovane_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_drovane_link}")
