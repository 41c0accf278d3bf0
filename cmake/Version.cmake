# The programs' --version: rewritten at every build from the project version
# and `git describe`, so a new commit shows without a new configure.
set(KESTOVA_VERSION_CPP ${PROJECT_BINARY_DIR}/src/Version.cpp)
add_custom_target(kestova_version_text
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DPROJECT_VERSION=${PROJECT_VERSION}
          -DOUTPUT=${KESTOVA_VERSION_CPP} -P ${PROJECT_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${KESTOVA_VERSION_CPP}
  VERBATIM)
add_library(kestova_version STATIC ${KESTOVA_VERSION_CPP})
add_dependencies(kestova_version kestova_version_text)
target_include_directories(kestova_version PUBLIC ${PROJECT_SOURCE_DIR}/src)
