# The shipped Windows library: vantorel-screenshot.dll, its MinGW import
# library libvantorel-screenshot.dll.a, and vantorel-screenshot.def, from which
# MSVC users make their own import library.
#
# The C runtime is msvcrt.dll: it ships with every Windows and with Wine, and a
# host built against it shares the heap from which the PNG bytes come. GCC's
# and the C++ runtime are linked in, so the DLL imports nothing but KERNEL32,
# USER32, GDI32 and msvcrt.dll.

# msvcrt's own printf family predates C99 ("%zu"); MinGW's replacement is
# linked in statically and imports nothing new.
target_compile_definitions(vs_core PRIVATE __USE_MINGW_ANSI_STDIO=1)

# src/win32 as one object library, as every folder of src is.
add_library(vs_win32 OBJECT src/win32/win32_dllmain.cpp src/win32/win32_dpi.cpp src/win32/win32_windows.cpp
                            src/win32/win32_path.cpp)
target_include_directories(vs_win32 PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include
                                            ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_definitions(vs_win32 PRIVATE VANTOREL_SCREENSHOT_BUILD)
target_compile_options(vs_win32 PRIVATE ${VS_WARNINGS} -fno-exceptions -fno-rtti)

add_library(vantorel-screenshot SHARED $<TARGET_OBJECTS:vs_core> $<TARGET_OBJECTS:vs_win32>
                                       src/win32/vantorel-screenshot.def)
target_include_directories(vantorel-screenshot PUBLIC
                           $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_compile_options(vantorel-screenshot PRIVATE ${VS_WARNINGS} -fno-exceptions -fno-rtti)
target_link_libraries(vantorel-screenshot PRIVATE vs_codecs user32 gdi32 kernel32)
# -static keeps libwinpthread (pulled in by the posix flavour) out of the
# import table as well.
target_link_options(vantorel-screenshot PRIVATE -static-libgcc -static-libstdc++ -static)
set_target_properties(vantorel-screenshot PROPERTIES
                      OUTPUT_NAME vantorel-screenshot
                      PREFIX ""
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
                      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Programs that exercise the DLL under Wine; they are cross-built with it.
if(VS_BUILD_TESTS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/win32/CMakeLists.txt)
  add_subdirectory(tests/win32)
endif()

# Shipped beside the import library: MSVC users make their own from it.
include(GNUInstallDirs)
install(FILES src/win32/vantorel-screenshot.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
