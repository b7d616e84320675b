// Build settings for the copy of Snappy compiled into the reader with SSSE3 (its own CMake
// would generate this file). GCC and Clang on x86, Linux or mingw-w64.
#pragma once

#define HAVE_ATTRIBUTE_ALWAYS_INLINE 1
#define HAVE_BUILTIN_CTZ 1
#define HAVE_BUILTIN_EXPECT 1
#ifndef _WIN32
#define HAVE_SYS_MMAN_H 1
#define HAVE_UNISTD_H 1
#define HAVE_SYS_UIO_H 1
#define HAVE_FUNC_MMAP 1
#define HAVE_FUNC_SYSCONF 1
#endif
#define SNAPPY_HAVE_SSSE3 1
// BMI2 is newer than some SSSE3 processors; leave it out so SSSE3 is all this copy needs.
#define SNAPPY_HAVE_BMI2 0
