# Cross-building for 64-bit ARM Linux with Debian's cross compilers and the
# arm64 libraries installed beside the machine's own (multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The build runs bridge-host-setup to write a package's manifests.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
