# The shipped Linux library: libvantorel-screenshot.so.1, the core with its
# display services: one dispatch and the layers it chooses from, X11 (XCB;
# never Xlib, whose error handling is process-wide), Wayland (libwayland-client)
# and the desktop portal. Exactly the nine exports and the raw-pixels
# extension leave it.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(VS_XCB REQUIRED IMPORTED_TARGET GLOBAL xcb xcb-shm xcb-randr xcb-composite xcb-xinerama
                  xcb-xfixes)
pkg_check_modules(VS_WAYLAND REQUIRED IMPORTED_TARGET GLOBAL wayland-client)
pkg_get_variable(VS_WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
pkg_get_variable(VS_WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT VS_WAYLAND_PROTOCOLS_DIR OR NOT VS_WAYLAND_SCANNER)
  message(FATAL_ERROR "wayland-protocols and wayland-scanner are needed (libwayland-dev, wayland-protocols)")
endif()

# Protocol code generated at build time: xdg-output from Debian's
# wayland-protocols; wlroots' screen copy, image capture sources and image
# copy capture from our own descriptions (Debian 12 ships none of them).
set(VS_PROTOCOL_DIR ${CMAKE_CURRENT_BINARY_DIR}/protocols)
file(MAKE_DIRECTORY ${VS_PROTOCOL_DIR})
set(VS_PROTOCOL_SOURCES)
foreach(xml ${VS_WAYLAND_PROTOCOLS_DIR}/unstable/xdg-output/xdg-output-unstable-v1.xml
            ${CMAKE_CURRENT_SOURCE_DIR}/protocols/wlr-screencopy-unstable-v1.xml
            ${CMAKE_CURRENT_SOURCE_DIR}/protocols/ext-image-capture-source-v1.xml
            ${CMAKE_CURRENT_SOURCE_DIR}/protocols/ext-image-copy-capture-v1.xml
            ${CMAKE_CURRENT_SOURCE_DIR}/protocols/ext-foreign-toplevel-list-v1.xml
            ${CMAKE_CURRENT_SOURCE_DIR}/protocols/wlr-foreign-toplevel-management-unstable-v1.xml)
  get_filename_component(base ${xml} NAME_WE)
  add_custom_command(
    OUTPUT ${VS_PROTOCOL_DIR}/${base}-client-protocol.h ${VS_PROTOCOL_DIR}/${base}-protocol.c
    COMMAND ${VS_WAYLAND_SCANNER} client-header ${xml} ${VS_PROTOCOL_DIR}/${base}-client-protocol.h
    COMMAND ${VS_WAYLAND_SCANNER} private-code ${xml} ${VS_PROTOCOL_DIR}/${base}-protocol.c
    DEPENDS ${xml}
    VERBATIM)
  list(APPEND VS_PROTOCOL_SOURCES ${VS_PROTOCOL_DIR}/${base}-protocol.c
       ${VS_PROTOCOL_DIR}/${base}-client-protocol.h)
endforeach()

# One object library per folder of src/linux: the dispatch with what the
# layers share (vs_linux), and each layer (vs_x11, vs_wayland, vs_portal).
set(VS_SRC ${CMAKE_CURRENT_SOURCE_DIR}/src/linux)
set(VS_LINUX_SOURCES ${VS_SRC}/linux_error.cpp ${VS_SRC}/linux_dispatch.cpp ${VS_SRC}/linux_bitmap.cpp
                     ${VS_SRC}/linux_frame.cpp ${VS_SRC}/linux_wait.cpp)
set(VS_X11_SOURCES
    ${VS_SRC}/x11/x11_layer.cpp
    ${VS_SRC}/x11/x11_connection.cpp
    ${VS_SRC}/x11/x11_open.cpp
    ${VS_SRC}/x11/x11_monitors.cpp
    ${VS_SRC}/x11/x11_capture.cpp
    ${VS_SRC}/x11/x11_pointer.cpp
    ${VS_SRC}/x11/x11_window.cpp
    ${VS_SRC}/x11/x11_window_list.cpp)
set(VS_WAYLAND_SOURCES
    ${VS_SRC}/wayland/wl_layer.cpp
    ${VS_SRC}/wayland/wl_connection.cpp
    ${VS_SRC}/wayland/wl_buffer.cpp
    ${VS_SRC}/wayland/wl_capture.cpp
    ${VS_SRC}/wayland/wl_ext_capture.cpp
    ${VS_SRC}/wayland/wl_windows.cpp)
# The portal module, one file per concern (see portal_capture.cpp), is built
# alone too for its own tests; portal_layer.cpp makes it a layer.
set(VS_PORTAL_MODULE_SOURCES
    ${VS_SRC}/portal/portal_bus.cpp
    ${VS_SRC}/portal/portal_capture.cpp
    ${VS_SRC}/portal/portal_file.cpp
    ${VS_SRC}/portal/portal_png.cpp
    ${VS_SRC}/portal/portal_probe.cpp
    ${VS_SRC}/portal/portal_request.cpp
    ${VS_SRC}/portal/portal_uri.cpp
    ${VS_SRC}/portal/portal_userdirs.cpp)
set(VS_PORTAL_SOURCES ${VS_SRC}/portal/portal_layer.cpp ${VS_PORTAL_MODULE_SOURCES})
# Everything below the core, for the builds that compile it again with other
# bounds (tests/hostile).
set(VS_LINUX_ALL_SOURCES ${VS_LINUX_SOURCES} ${VS_X11_SOURCES} ${VS_WAYLAND_SOURCES}
                         ${VS_PORTAL_SOURCES})

pkg_check_modules(VS_SDBUS REQUIRED IMPORTED_TARGET GLOBAL libsystemd)
pkg_check_modules(VS_PNG REQUIRED IMPORTED_TARGET GLOBAL libpng16)
set(VS_LAYER_OPTIONS ${VS_WARNINGS} -fno-exceptions -fno-rtti)
set(VS_VERSION_SCRIPT ${VS_SRC}/vantorel-screenshot.map)

function(vs_linux_objects name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                            ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_include_directories(${name} PRIVATE ${VS_PROTOCOL_DIR} ${STB_INCLUDE_DIR})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VS_LAYER_OPTIONS}>)
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON
                                           CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
endfunction()
vs_linux_objects(vs_linux ${VS_LINUX_SOURCES})
vs_linux_objects(vs_x11 ${VS_X11_SOURCES})
target_link_libraries(vs_x11 PUBLIC PkgConfig::VS_XCB)
vs_linux_objects(vs_wayland ${VS_WAYLAND_SOURCES} ${VS_PROTOCOL_SOURCES})
target_link_libraries(vs_wayland PUBLIC PkgConfig::VS_WAYLAND)
vs_linux_objects(vs_portal ${VS_PORTAL_SOURCES})
target_link_libraries(vs_portal PUBLIC PkgConfig::VS_SDBUS PkgConfig::VS_PNG)

# The portal module alone, for its tests: a static archive, so a test takes
# only the objects it calls and not the layer's table with its Wayland needs.
add_library(vs_portal_module STATIC $<TARGET_OBJECTS:vs_portal>)
target_link_libraries(vs_portal_module PUBLIC PkgConfig::VS_SDBUS PkgConfig::VS_PNG)
target_include_directories(vs_portal_module PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)

# All the layers' objects together, so the tests and benchmarks can link the
# same code with the core and reach its hidden internals.
add_library(vs_layers INTERFACE)
target_sources(vs_layers INTERFACE $<TARGET_OBJECTS:vs_linux> $<TARGET_OBJECTS:vs_x11>
                                   $<TARGET_OBJECTS:vs_wayland> $<TARGET_OBJECTS:vs_portal>)
target_link_libraries(vs_layers INTERFACE PkgConfig::VS_XCB PkgConfig::VS_WAYLAND PkgConfig::VS_SDBUS
                                          PkgConfig::VS_PNG Threads::Threads)
target_include_directories(vs_layers INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include
                                               ${CMAKE_CURRENT_SOURCE_DIR}/src)

add_library(vantorel-screenshot SHARED $<TARGET_OBJECTS:vs_core> $<TARGET_OBJECTS:vs_linux>
            $<TARGET_OBJECTS:vs_x11> $<TARGET_OBJECTS:vs_wayland> $<TARGET_OBJECTS:vs_portal>)
target_include_directories(vantorel-screenshot PUBLIC
                           $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(vantorel-screenshot PRIVATE PkgConfig::VS_XCB PkgConfig::VS_WAYLAND
                                                  PkgConfig::VS_SDBUS PkgConfig::VS_PNG
                                                  vs_codecs Threads::Threads)
# -z nodelete: an X11 connection attempt still running on its thread when
# the host unloads the library must find its code still there.
target_link_options(vantorel-screenshot PRIVATE -Wl,--no-undefined -Wl,-z,nodelete
                    -Wl,--version-script=${VS_VERSION_SCRIPT})
set_target_properties(vantorel-screenshot PROPERTIES
                      OUTPUT_NAME vantorel-screenshot
                      VERSION 1.0.0
                      SOVERSION 1
                      CXX_VISIBILITY_PRESET hidden
                      VISIBILITY_INLINES_HIDDEN ON
                      LINK_DEPENDS ${VS_VERSION_SCRIPT})
