# Finds FLTK 1.3 and its image library as the imported target Fltk::Fltk.
#
# Debian's FLTK CMake package checks that every program it exports exists, so it fails without
# the separate "fluid" package even though nothing here uses fluid; the headers and libraries
# are looked up directly instead. On Windows FLTK is the static build of scripts/windows-deps.sh
# with its bundled jpeg, png and zlib (whose symbols carry a prefix of their own, so it lives
# beside the zlib the engine links).
find_path(FLTK_INCLUDE_DIR NAMES FL/Fl.H)
find_library(FLTK_BASE_LIBRARY NAMES fltk)
find_library(FLTK_IMAGES_LIBRARY NAMES fltk_images)
if(NOT FLTK_INCLUDE_DIR OR NOT FLTK_BASE_LIBRARY OR NOT FLTK_IMAGES_LIBRARY)
  message(FATAL_ERROR "FLTK 1.3 headers or libraries not found (Debian package libfltk1.3-dev)")
endif()
if(WIN32)
  find_library(FLTK_PNG_LIBRARY NAMES fltk_png REQUIRED)
  find_library(FLTK_JPEG_LIBRARY NAMES fltk_jpeg REQUIRED)
  find_library(FLTK_Z_LIBRARY NAMES fltk_z REQUIRED)
  set(FLTK_SYSTEM_LIBRARIES ${FLTK_PNG_LIBRARY} ${FLTK_JPEG_LIBRARY} ${FLTK_Z_LIBRARY} comctl32 ws2_32 gdi32
      comdlg32 ole32 uuid shell32 winspool)
else()
  find_package(X11 REQUIRED)
  set(FLTK_SYSTEM_LIBRARIES ${X11_X11_LIB})
endif()
add_library(Fltk::Fltk INTERFACE IMPORTED)
set_target_properties(Fltk::Fltk PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${FLTK_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${FLTK_IMAGES_LIBRARY};${FLTK_BASE_LIBRARY};${FLTK_SYSTEM_LIBRARIES}")
