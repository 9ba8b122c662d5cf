# Shared build settings of every target of the project.

# Warnings are always shown; they stop the build only where the project's own
# checks ask for it (scripts/test, CI), never in a user's build, whose
# compiler may warn where ours does not.
option(BTRKIT_WERROR "Treat compiler warnings as errors" OFF)
set(BTRKIT_WARNINGS -Wall -Wextra)
if(BTRKIT_WERROR)
  list(APPEND BTRKIT_WARNINGS -Werror)
endif()

function(btrkit_warnings target)
  target_compile_options(${target} PRIVATE ${BTRKIT_WARNINGS})
endfunction()

if(BTRKIT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Adds the sources of one folder to libbtrkit.
function(btrkit_sources)
  target_sources(btrkit PRIVATE ${ARGN})
endfunction()

# Adds the public headers of one folder; they are installed under the same
# folder name, so "#include "engine/btrfile.h"" works for installed users too.
function(btrkit_headers)
  file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/btrkit/${dir})
endfunction()
