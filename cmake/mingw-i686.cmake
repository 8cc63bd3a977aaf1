# Cross build of the 32-bit Windows library with Debian's MinGW-w64 (posix
# thread model, so std::thread and std::mutex work). Everything is linked
# statically: KS318.dll and the test programs need no MinGW runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_OBJDUMP i686-w64-mingw32-objdump CACHE FILEPATH "")
set(CMAKE_AR i686-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB i686-w64-mingw32-ranlib CACHE FILEPATH "")

# Libraries cross-built for this target (libjpeg-turbo, zlib, libpng, GoogleTest)
# live under KS318_WINDOWS_PREFIX; nothing of the build machine is searched.
set(KS318_WINDOWS_PREFIX "" CACHE PATH "Install prefix of the cross-built dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KS318_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${KS318_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads only the cross-built libraries' files. (This file is read
# again inside compiler checks, which share the environment: set it only here.)
if(KS318_WINDOWS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${KS318_WINDOWS_PREFIX}/lib/pkgconfig:/usr/i686-w64-mingw32/lib/pkgconfig")
  unset(ENV{PKG_CONFIG_PATH})
endif()

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's MinGW zlib comes as an import library and a static one: the static one.
set(ZLIB_LIBRARY /usr/i686-w64-mingw32/lib/libz.a CACHE FILEPATH "")
set(ZLIB_INCLUDE_DIR /usr/i686-w64-mingw32/include CACHE PATH "")
