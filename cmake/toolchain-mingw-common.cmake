# Shared by the MinGW-w64 toolchain files: they set CMAKE_SYSTEM_PROCESSOR and
# VS_MINGW_TRIPLE, then include this.
set(CMAKE_C_COMPILER ${VS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VS_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VS_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VS_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${VS_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Libraries, packages and headers come from the MinGW sysroot only.
set(CMAKE_FIND_ROOT_PATH /usr/${VS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# stb (libstb-dev) is header-only and installed for the build machine in
# /usr/include/stb. -I/usr/include would put the Linux C headers ahead of
# MinGW's, so the build gets a directory that holds nothing but stb.
set(VS_STB_ROOT ${CMAKE_BINARY_DIR}/mingw-stb/include)
if(NOT EXISTS ${VS_STB_ROOT}/stb AND EXISTS /usr/include/stb/stb_image_write.h)
  file(MAKE_DIRECTORY ${VS_STB_ROOT})
  file(CREATE_LINK /usr/include/stb ${VS_STB_ROOT}/stb SYMBOLIC)
endif()
if(EXISTS ${VS_STB_ROOT}/stb/stb_image_write.h)
  set(STB_INCLUDE_DIR ${VS_STB_ROOT} CACHE PATH "Directory holding stb/, the stb headers")
endif()
