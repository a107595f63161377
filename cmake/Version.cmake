# The program's version has one source: project(VERSION) in the top CMakeLists.txt. From it come
# a header for the programs (--version, both About boxes, the Windows version block) and a text
# file for the packaging scripts (the .deb and the zip are named with it).
#
# The version shown drops a patch level of 0 ("1.0" for 1.0.0), as the About box always has.
if(PROJECT_VERSION_PATCH EQUAL 0)
  set(KORV_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
else()
  set(KORV_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
endif()
# The day the build was configured, in UTC; SOURCE_DATE_EPOCH, when set, fixes it for a
# reproducible build.
string(TIMESTAMP KORV_BUILD_DATE "%Y-%m-%d" UTC)

set(KORV_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.h.in ${KORV_GENERATED_DIR}/korv_version.h @ONLY)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/korvalin-version.txt CONTENT "${KORV_VERSION}\n")

add_library(korv_version INTERFACE)
target_include_directories(korv_version INTERFACE ${KORV_GENERATED_DIR})
