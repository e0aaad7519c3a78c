# SPDX-License-Identifier: Apache-2.0
# Debian's clang 16 with LLVM's C++ library instead of GCC and libstdc++:
#   cmake -S . -B build-clang -DCMAKE_TOOLCHAIN_FILE=cmake/ClangLibcxx.cmake \
#     -DQUENBURY_GTEST_SOURCE=/usr/src/googletest
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -stdlib=libc++)
