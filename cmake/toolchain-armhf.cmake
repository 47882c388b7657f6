# Cross build for the controller: 32-bit little-endian ARM, hard float,
# against Debian's armhf multiarch libraries. ctest runs every test binary
# under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Never pick up the build machine's own libraries.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

find_program(QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM})

find_program(CMAKE_READELF arm-linux-gnueabihf-readelf)
find_program(CMAKE_STRIP arm-linux-gnueabihf-strip)

# GCC notes that passing some vectors' iterators changed ABI in GCC 7.1;
# everything here is built by the same compiler, so the note tells nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
