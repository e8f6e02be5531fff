# Cross-build for Windows x64: clang targeting mingw-w64 (for structured
# exceptions), GCC's mingw libstdc++, lld 16, everything linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(_gcc /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(_sys /usr/x86_64-w64-mingw32)

# -femulated-tls: GCC's mingw libstdc++ uses emulated TLS (std::call_once).
set(CMAKE_C_FLAGS_INIT "-fms-extensions -femulated-tls -isystem ${_sys}/include")
set(CMAKE_CXX_FLAGS_INIT "-fms-extensions -femulated-tls -isystem ${_gcc}/include/c++ -isystem ${_gcc}/include/c++/x86_64-w64-mingw32 -isystem ${_sys}/include")

set(_link "--ld-path=/usr/bin/ld.lld-16 -L${_gcc} -L${_sys}/lib -static -Wl,-Bstatic -lwinpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")

set(CMAKE_FIND_ROOT_PATH ${_sys})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
