# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# The posix-thread variant of the compiler is used because the code relies on
# std::mutex and std::thread; winpthreads, libgcc and libstdc++ are linked
# statically so the DLL and the test programs need no compiler runtime DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC checks printf formats against the Microsoft runtime's rules, which lack
# %zu; the library formats through mingw's C99 printf (libstdc++ selects it),
# where %zu works, and the native build checks every format.
set(CMAKE_CXX_FLAGS_INIT "-Wno-format")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The cross-built programs run under Wine.
find_program(VANTREL_WINE wine)
if(VANTREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTREL_WINE})
endif()

# Boost is used header-only (shared_ptr), and its headers are the same for
# every target. They are reached through a folder that holds only the link
# boost -> /usr/include/boost, so none of the host's C headers can shadow the
# Windows ones.
if(NOT DEFINED Boost_INCLUDE_DIR AND EXISTS /usr/include/boost/version.hpp)
  set(_boost_dir ${CMAKE_BINARY_DIR}/host-boost)
  if(NOT EXISTS ${_boost_dir}/boost)
    file(MAKE_DIRECTORY ${_boost_dir})
    file(CREATE_LINK /usr/include/boost ${_boost_dir}/boost SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR ${_boost_dir} CACHE PATH "Boost headers (header-only use)")
endif()
