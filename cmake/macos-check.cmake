# The macOS check on Linux: clang against a macOS SDK sysroot, linked with ld64.lld.
# Set MARNITH_SYSROOT (the SDK folder), MARNITH_ARCH (arm64 or x86_64) and MARNITH_LIBROOT,
# the second library root scripts/macos-check lays out beside the SDK.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${MARNITH_ARCH})
find_program(MARNITH_CLANGXX clang++ REQUIRED)
find_program(MARNITH_CLANG clang REQUIRED)
set(CMAKE_C_COMPILER ${MARNITH_CLANG})
set(CMAKE_CXX_COMPILER ${MARNITH_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${MARNITH_CLANGXX})
set(CMAKE_OSX_SYSROOT ${MARNITH_SYSROOT})
set(CMAKE_OSX_ARCHITECTURES ${MARNITH_ARCH})
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.0)
set(target_flags "-target ${MARNITH_ARCH}-apple-macos13.0 -stdlib=libc++")
set(CMAKE_C_FLAGS_INIT "-target ${MARNITH_ARCH}-apple-macos13.0")
set(CMAKE_CXX_FLAGS_INIT "${target_flags}")
set(CMAKE_OBJCXX_FLAGS_INIT "${target_flags}")
# Every executable is linked, against the SDK's stubs and, from the second root, the stubs
# under their install names and stand-ins for the libraries the snapshot lacks. What those
# stand-ins would provide is left to the loader: scripts/macos-check judges what is left.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -Wl,-syslibroot,${MARNITH_LIBROOT} -Wl,-undefined,dynamic_lookup")
# Feature checks only compile: against the stand-ins any symbol would seem to link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Test discovery would run the test programs: it is left to CTest, which never runs here.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
# Only looked for at configure time; nothing is installed, so nothing is rewritten.
set(CMAKE_INSTALL_NAME_TOOL true CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH ${MARNITH_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
