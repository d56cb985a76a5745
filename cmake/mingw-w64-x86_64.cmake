# Cross-build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-x86-64-posix: GCC 12 with the POSIX thread model, so
# std::thread, std::mutex and std::condition_variable work as on Linux).
#
# Nothing of the build machine is linked: find_package and find_library only
# search the MinGW sysroot. Header-only dependencies come from Debian's
# headers through cmake/header-only-deps.cmake, GoogleTest from Debian's
# sources (/usr/src/googletest), built with this toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
find_program(CMAKE_OBJDUMP ${MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config too looks only into the MinGW sysroot: the build machine's
# packages (cairo, say) are Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${MINGW_TRIPLET}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# libgcc and libstdc++ are linked statically into every binary. The thread
# library is not: winpthread keeps its own table of threads, and a static
# copy in each DLL and program would not know the threads the others start
# (a std::thread started by a host and joined inside pelionp.dll fails with
# "No such process"; std::this_thread::get_id() differs between modules for
# one thread). So every module shares libwinpthread-1.dll, which is
# installed beside the DLLs (PELIONP_WINPTHREAD_DLL).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
find_file(PELIONP_WINPTHREAD_DLL libwinpthread-1.dll PATHS /usr/${MINGW_TRIPLET}/lib /usr/${MINGW_TRIPLET}/bin
          NO_DEFAULT_PATH REQUIRED)

# Tests run under Wine. The wrapper (written at configure time) keeps Wine's
# prefix inside the build tree and runs headless.
set(PELIONP_WINE "/usr/lib/wine/wine64" CACHE FILEPATH "Wine loader that runs the cross-built programs")
set(PELIONP_HEADER_ONLY_DEPS ON CACHE BOOL "Header-only dependencies from the build machine's headers")
