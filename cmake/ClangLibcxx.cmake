# SPDX-License-Identifier: Apache-2.0
# Debian's clang 16 with LLVM's C++ library instead of GCC and libstdc++:
#   cmake -S . -B build-clang -DCMAKE_TOOLCHAIN_FILE=cmake/ClangLibcxx.cmake
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
# The library's own checks on: an unchecked std::expected read, an index out
# of range, abort instead of reading what is not there.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -D_LIBCPP_ENABLE_ASSERTIONS=1")
set(CMAKE_EXE_LINKER_FLAGS_INIT -stdlib=libc++)
# Debian's prebuilt GoogleTest is built against libstdc++ and cannot link
# here; its sources (package googletest) are built with the tests instead.
set(QUENBURY_GTEST_SOURCE /usr/src/googletest CACHE PATH "Build GoogleTest from this source tree")
