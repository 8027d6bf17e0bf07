# The one version of every program and package, stated before project():
# MAJOR.MINOR as written here, raised by hand when a release changes what
# shops see, and as the third number the count of commits on the branch.
# Every commit of main is thus a version higher than every one before it,
# which Windows Installer needs to replace an installed product and dpkg to
# call an installation an upgrade; two builds of one commit state the same
# version. (Windows Installer compares the first three numbers, the third
# up to 65535.)
set(ULVANE_SERIES 1.0)

execute_process(COMMAND git rev-list --count HEAD
                WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                OUTPUT_VARIABLE ulvane_commits OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE ulvane_git_failed ERROR_QUIET)
execute_process(COMMAND git rev-parse --is-shallow-repository
                WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                OUTPUT_VARIABLE ulvane_shallow OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(ulvane_git_failed OR NOT ulvane_commits MATCHES "^[0-9]+$")
  message(WARNING "Not a git clone: the version is ${ULVANE_SERIES}.0, which no release states")
  set(ulvane_commits 0)
elseif(ulvane_shallow STREQUAL "true")
  message(WARNING "A shallow clone counts too few commits: its version is lower than its release's "
                  "(git fetch --unshallow)")
endif()
set(ULVANE_VERSION ${ULVANE_SERIES}.${ulvane_commits})

# A new commit is a new version: configure again when HEAD moves.
foreach(ulvane_git_file .git/HEAD .git/refs/heads/main .git/packed-refs)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${ulvane_git_file})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${ulvane_git_file})
  endif()
endforeach()
