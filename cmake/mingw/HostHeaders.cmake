# brenvik_host_headers(Package Target dir...): a header-only library of the
# host's Debian packages for the cross builds. Only its own header folders
# are linked into the build tree: /usr/include itself holds glibc's headers,
# which must never reach a MinGW compile.
function(brenvik_host_headers package target)
  set(root ${CMAKE_BINARY_DIR}/host-headers/${package})
  foreach(dir ${ARGN})
    if(NOT EXISTS /usr/include/${dir})
      set(${package}_FOUND FALSE PARENT_SCOPE)
      set(${package}_NOT_FOUND_MESSAGE "/usr/include/${dir} is missing (scripts/setup.sh installs it)" PARENT_SCOPE)
      return()
    endif()
    if(NOT EXISTS ${root}/${dir})
      file(MAKE_DIRECTORY ${root})
      file(CREATE_LINK /usr/include/${dir} ${root}/${dir} SYMBOLIC)
    endif()
  endforeach()
  if(NOT TARGET ${target})
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${root})
  endif()
  set(${package}_FOUND TRUE PARENT_SCOPE)
endfunction()
