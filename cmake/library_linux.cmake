# The shipped Linux library: libvantorel-screenshot.so.1, the core with its
# display services over X11 (XCB; never Xlib, whose error handling is
# process-wide). Exactly the nine exports leave it.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(VS_XCB REQUIRED IMPORTED_TARGET GLOBAL xcb xcb-shm xcb-randr xcb-composite xcb-xinerama)

set(VS_X11_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_connection.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_monitors.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_capture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/src/x11_window.cpp)
set(VS_X11_OPTIONS ${VS_WARNINGS} -fno-exceptions -fno-rtti)
set(VS_VERSION_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/src/vantorel-screenshot.map)

# The layer as objects, so the X11 benchmark can link the same code with the
# core and reach its hidden internals.
add_library(vs_x11 OBJECT ${VS_X11_SOURCES})
target_link_libraries(vs_x11 PUBLIC PkgConfig::VS_XCB)
target_include_directories(vs_x11 PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                         ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_options(vs_x11 PRIVATE ${VS_X11_OPTIONS})
set_target_properties(vs_x11 PROPERTIES POSITION_INDEPENDENT_CODE ON
                                        CXX_VISIBILITY_PRESET hidden
                                        VISIBILITY_INLINES_HIDDEN ON)

add_library(vantorel-screenshot SHARED $<TARGET_OBJECTS:vs_core> $<TARGET_OBJECTS:vs_x11>)
target_include_directories(vantorel-screenshot PUBLIC
                           $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(vantorel-screenshot PRIVATE PkgConfig::VS_XCB Threads::Threads)
target_link_options(vantorel-screenshot PRIVATE -Wl,--no-undefined
                    -Wl,--version-script=${VS_VERSION_SCRIPT})
set_target_properties(vantorel-screenshot PROPERTIES
                      OUTPUT_NAME vantorel-screenshot
                      VERSION 1.0.0
                      SOVERSION 1
                      CXX_VISIBILITY_PRESET hidden
                      VISIBILITY_INLINES_HIDDEN ON
                      LINK_DEPENDS ${VS_VERSION_SCRIPT})
