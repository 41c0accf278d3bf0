# KESTOVA_GIT_DESCRIBE: `git describe --tags --always --dirty` of the source
# tree, or "" outside a git checkout. Used at configure time (package
# versions) and at build time (the programs' --version).
function(kestova_git_describe source_dir out_var)
  set(result "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
                    WORKING_DIRECTORY ${source_dir}
                    OUTPUT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      set(result "")
    endif()
  endif()
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()
