# The shipped Linux library: libvantorel-screenshot.so.1, the core with its
# display services: one dispatch and the layers it chooses from, X11 (XCB;
# never Xlib, whose error handling is process-wide), Wayland (libwayland-client)
# and the desktop portal. Exactly the nine exports leave it.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(VS_XCB REQUIRED IMPORTED_TARGET GLOBAL xcb xcb-shm xcb-randr xcb-composite xcb-xinerama)
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
            ${CMAKE_CURRENT_SOURCE_DIR}/protocols/ext-image-copy-capture-v1.xml)
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

# The desktop portal module, one file per concern (see src/portal_capture.cpp).
set(VS_PORTAL_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_bus.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_capture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_file.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_png.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_probe.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_request.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_uri.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_userdirs.cpp)

set(VS_X11_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/src/linux_error.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/linux_dispatch.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/linux_bitmap.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/linux_frame.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/wl_connection.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/wl_buffer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/wl_layer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/wl_capture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/wl_ext_capture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/portal_layer.cpp
    ${VS_PORTAL_SOURCES}
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_connection.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_open.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_monitors.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_capture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_window.cpp)
# Desktop portal capture (org.freedesktop.portal.Screenshot over sd-bus, the
# picture decoded with libpng): part of the layers, and built alone too for its
# own tests.
pkg_check_modules(VS_SDBUS REQUIRED IMPORTED_TARGET GLOBAL libsystemd)
pkg_check_modules(VS_PNG REQUIRED IMPORTED_TARGET GLOBAL libpng16)
add_library(vs_portal OBJECT ${VS_PORTAL_SOURCES})
target_link_libraries(vs_portal PUBLIC PkgConfig::VS_SDBUS PkgConfig::VS_PNG)
target_include_directories(vs_portal PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_options(vs_portal PRIVATE ${VS_WARNINGS} -fno-exceptions -fno-rtti)
set_target_properties(vs_portal PROPERTIES POSITION_INDEPENDENT_CODE ON
                                           CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)

set(VS_X11_OPTIONS ${VS_WARNINGS} -fno-exceptions -fno-rtti)
set(VS_VERSION_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/src/vantorel-screenshot.map)

# The layers as objects, so the X11 benchmark can link the same code with the
# core and reach its hidden internals.
add_library(vs_layers OBJECT ${VS_X11_SOURCES} ${VS_PROTOCOL_SOURCES})
target_link_libraries(vs_layers PUBLIC PkgConfig::VS_XCB PkgConfig::VS_WAYLAND PkgConfig::VS_SDBUS
                                        PkgConfig::VS_PNG)
target_include_directories(vs_layers PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                         ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_include_directories(vs_layers PRIVATE ${VS_PROTOCOL_DIR} ${STB_INCLUDE_DIR})
target_compile_options(vs_layers PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VS_X11_OPTIONS}>)
set_target_properties(vs_layers PROPERTIES POSITION_INDEPENDENT_CODE ON
                                        CXX_VISIBILITY_PRESET hidden
                                        VISIBILITY_INLINES_HIDDEN ON)

add_library(vantorel-screenshot SHARED $<TARGET_OBJECTS:vs_core> $<TARGET_OBJECTS:vs_layers>)
target_include_directories(vantorel-screenshot PUBLIC
                           $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(vantorel-screenshot PRIVATE PkgConfig::VS_XCB PkgConfig::VS_WAYLAND
                                                  PkgConfig::VS_SDBUS PkgConfig::VS_PNG
                                                  Threads::Threads)
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
