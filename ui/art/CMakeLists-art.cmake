# The window art: ui/art/*.svg rendered to PNG at build time and built into
# the static library pfart (FindArt, ui/art/ArtResources.h).
#
# include() it from the top CMakeLists.txt after pfui is defined: the art's
# sources then leave pfui's folder glob and pfui links pfart instead.
# The art test (tests/ui/ArtResourcesTest.cpp) reads the PNGs with zlib, so
# its target links pfart and ZLIB::ZLIB.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_package(ZLIB REQUIRED)
find_program(PF_RSVG_CONVERT rsvg-convert REQUIRED)

set(PF_ART_DIR ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(PF_ART_ROOT ${PF_ART_DIR}/../.. ABSOLUTE)
file(GLOB PF_ART_SVGS CONFIGURE_DEPENDS ${PF_ART_DIR}/*.svg)
set(PF_ART_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/generated/ArtData.cpp)
set(PF_ART_PNG_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated/art)

add_custom_command(
  OUTPUT ${PF_ART_SOURCE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/generated
  COMMAND Python3::Interpreter ${PF_ART_DIR}/render_art.py --rsvg ${PF_RSVG_CONVERT}
          ${PF_ART_PNG_DIR} ${PF_ART_SOURCE}
  DEPENDS ${PF_ART_DIR}/render_art.py ${PF_ART_SVGS}
  COMMENT "Rendering the window art"
  VERBATIM)

add_library(pfart STATIC ${PF_ART_DIR}/ArtResources.cpp ${PF_ART_SOURCE})
target_include_directories(pfart PUBLIC ${PF_ART_ROOT})

if(TARGET pfui)
  get_target_property(PF_ART_UI_SOURCES pfui SOURCES)
  list(FILTER PF_ART_UI_SOURCES EXCLUDE REGEX "/ui/art/")
  set_property(TARGET pfui PROPERTY SOURCES ${PF_ART_UI_SOURCES})
  target_link_libraries(pfui PUBLIC pfart)
endif()
