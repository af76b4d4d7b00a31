# Toolchain for the manylinux2014 wheels (scripts/wheels.sh): zig's clang with
# LLVM's libc++, linking against the symbols of glibc 2.17 and with the whole C++
# runtime (libc++, libc++abi, libunwind) static, so that a library needs nothing
# newer than glibc 2.17 and no libstdc++ at all.  Libraries are stripped as they
# are linked.
#
# ZIG (environment or -D) names the zig executable, e.g. the ziglang package's.
if(NOT ZIG)
  set(ZIG "$ENV{ZIG}")
endif()
if(NOT ZIG OR NOT EXISTS "${ZIG}")
  message(FATAL_ERROR "zig-manylinux2014.cmake: set ZIG to the zig executable (it is '${ZIG}')")
endif()
set(ZIG "${ZIG}" CACHE FILEPATH "zig executable")
set(VELORA_ZIG_TARGET x86_64-linux-gnu.2.17)

set(CMAKE_C_COMPILER "${ZIG}" cc -target ${VELORA_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target ${VELORA_ZIG_TARGET})
# CMake takes the archiver as one program: the rules name zig's instead.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${ZIG}\" ranlib <TARGET>")
endforeach()
# zig builds its C++ runtime for each optimisation level and stripping and keeps
# it in its cache (minutes, once per machine): the compiler checks build as
# Release does, and stripped as the libraries are, so that one runtime serves all.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
foreach(kind EXE MODULE SHARED)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-s")
endforeach()
# The sources use no C++20 modules, and zig ships no clang-scan-deps.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
# A distribution's interpreter may keep pyconfig.h in a multiarch folder, which its
# Python.h reaches as <x86_64-linux-gnu/python3.X/pyconfig.h>, from /usr/include:
# that folder alone is made reachable, since zig's own C library headers stand in
# for the rest of /usr/include.
if(EXISTS /usr/include/x86_64-linux-gnu)
  set(VELORA_MULTIARCH "${CMAKE_BINARY_DIR}/multiarch")
  file(MAKE_DIRECTORY "${VELORA_MULTIARCH}")
  if(NOT EXISTS "${VELORA_MULTIARCH}/x86_64-linux-gnu")
    file(CREATE_LINK /usr/include/x86_64-linux-gnu "${VELORA_MULTIARCH}/x86_64-linux-gnu" SYMBOLIC)
  endif()
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${VELORA_MULTIARCH}")
endif()
