# Cross build for 64-bit Windows with the MinGW-w64 posix-thread compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The static nghttp2 and libcrypto built by scripts/build-mingw-deps.sh: the newest complete
# prefix unless DROVANE_MINGW_DEPS names one.
if(NOT DROVANE_MINGW_DEPS)
  file(GLOB _drovane_prefixes LIST_DIRECTORIES true "$ENV{DROVANE_DEPS}/mingw64-*" "/opt/drovane-deps/mingw64-*")
  foreach(_prefix IN LISTS _drovane_prefixes)
    if(EXISTS "${_prefix}/.complete")
      set(DROVANE_MINGW_DEPS "${_prefix}")
    endif()
  endforeach()
endif()
set(DROVANE_MINGW_DEPS "${DROVANE_MINGW_DEPS}" CACHE PATH "Prefix of the MinGW builds of nghttp2 and libcrypto")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${DROVANE_MINGW_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
