# Finds FLTK 1.3 and its image library as the imported target Fltk::Fltk.
#
# Debian's FLTK CMake package checks that every program it exports exists, so it fails without
# the separate "fluid" package even though nothing here uses fluid; the headers and libraries
# are looked up directly instead.
find_path(FLTK_INCLUDE_DIR NAMES FL/Fl.H)
find_library(FLTK_BASE_LIBRARY NAMES fltk)
find_library(FLTK_IMAGES_LIBRARY NAMES fltk_images)
find_package(X11 REQUIRED)
if(NOT FLTK_INCLUDE_DIR OR NOT FLTK_BASE_LIBRARY OR NOT FLTK_IMAGES_LIBRARY)
  message(FATAL_ERROR "FLTK 1.3 headers or libraries not found (Debian package libfltk1.3-dev)")
endif()
add_library(Fltk::Fltk INTERFACE IMPORTED)
set_target_properties(Fltk::Fltk PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${FLTK_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${FLTK_IMAGES_LIBRARY};${FLTK_BASE_LIBRARY};${X11_X11_LIB}")
