# Cross build of the bench host's package for 64-bit ARM boxes (Raspberry
# Pi OS 64-bit and the like), against Debian's arm64 multiarch libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Never pick up the build machine's own libraries.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

find_program(QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})

find_program(CMAKE_READELF aarch64-linux-gnu-readelf)
find_program(CMAKE_STRIP aarch64-linux-gnu-strip)

# GCC notes ABI changes of passing some aggregates in GCC 10.1 and 12;
# everything here is built by the same compiler, so the note tells nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
