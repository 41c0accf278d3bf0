# Fails when a source file includes with a path that climbs out of its folder
# ("../"): every include names its layer ("radio/Frame.h"), so the layer
# folders of the build decide what a file may see.
#
#   cmake -DROOT=<source dir> -DSTAMP=<file> -P IncludeFence.cmake
file(GLOB_RECURSE sources
  ${ROOT}/src/*.cpp ${ROOT}/src/*.h ${ROOT}/tools/*.cpp ${ROOT}/tools/*.h
  ${ROOT}/tests/*.cpp ${ROOT}/tests/*.h ${ROOT}/bench/*.cpp ${ROOT}/bench/*.h
  ${ROOT}/fuzz/*.cpp ${ROOT}/fuzz/*.h)
set(found "")
foreach(source ${sources})
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\./")
  foreach(line ${lines})
    file(RELATIVE_PATH name ${ROOT} ${source})
    string(APPEND found "  ${name}: ${line}\n")
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "Includes that climb out of their folder; name the layer instead "
                      "(\"radio/Frame.h\"):\n${found}")
endif()
file(TOUCH ${STAMP})
