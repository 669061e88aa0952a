# CPack runs this between staging the components and packing them
# (CPACK_PRE_BUILD_SCRIPTS, see cmake/BrenvikPackaging.cmake): it gives each
# package what only a Debian package has, so that the install rules stay
# those of any `cmake --install`.
set(stage ${CPACK_TEMPORARY_DIRECTORY})
set(debian ${CPACK_BRENVIK_DEBIAN_DIR})

# gzip -9n: the greatest compression and no time stamp, as lintian asks.
function(gzip_to source target)
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${target} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
  file(CHMOD ${target} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# Files and directories made here get Debian's modes whatever the umask.
function(make_dir dir)
  file(MAKE_DIRECTORY ${dir})
  file(CHMOD ${dir} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
endfunction()
function(place source target)
  get_filename_component(dir ${target} DIRECTORY)
  make_dir(${dir})
  file(RENAME ${source} ${target})
  file(CHMOD ${target} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

file(READ ${debian}/changelog.in changelog)
string(REPLACE "@VERSION@" "${CPACK_PACKAGE_VERSION}" changelog "${changelog}")
string(REPLACE "@MAINTAINER@" "${CPACK_PACKAGE_CONTACT}" changelog "${changelog}")
string(REPLACE "@DATE@" "${CPACK_BRENVIK_DATE}" changelog "${changelog}")
file(WRITE ${stage}/changelog "${changelog}")

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(root ${stage}/${component})

  # No runpath in a package: the library lies where the dynamic linker
  # looks (the runpath is for installs into a prefix of one's own).
  file(GLOB_RECURSE files LIST_DIRECTORIES false ${root}/*)
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK ${file})
      file(READ ${file} magic LIMIT 4 HEX)
      if(magic STREQUAL "7f454c46")
        file(RPATH_REMOVE FILE ${file})
      endif()
    endif()
  endforeach()

  # Man pages compressed.
  file(GLOB pages ${root}/usr/share/man/man*/*)
  foreach(page IN LISTS pages)
    if(NOT page MATCHES "\\.gz$")
      gzip_to(${page} ${page}.gz)
      file(REMOVE ${page})
    endif()
  endforeach()

  # Every package its copyright and changelog.
  set(doc ${root}/usr/share/doc/${package})
  make_dir(${root}/usr/share/doc)
  make_dir(${doc})
  file(COPY_FILE ${debian}/copyright ${doc}/copyright)
  file(CHMOD ${doc}/copyright PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  gzip_to(${stage}/changelog ${doc}/changelog.gz)
endforeach()

# The static library without its debugging sections, as Debian strips it.
file(GLOB_RECURSE archives ${stage}/dev/*.a)
foreach(archive IN LISTS archives)
  execute_process(COMMAND ${CPACK_BRENVIK_STRIP} --strip-debug --enable-deterministic-archives ${archive}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "strip ${archive} failed")
  endif()
endforeach()

# The symbols file: each function of the version node BRENVIK_2.0 has been
# there since the first libbrenvik.so.2; a later node's since this version.
file(GLOB_RECURSE library ${stage}/lib/*/libbrenvik.so.2)
if(NOT library)
  message(FATAL_ERROR "no libbrenvik.so.2 in ${stage}/lib")
endif()
execute_process(COMMAND ${CPACK_BRENVIK_OBJDUMP} -T ${library} OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump -T ${library} failed")
endif()
set(symbols "libbrenvik.so.2 ${CPACK_DEBIAN_LIB_PACKAGE_NAME} #MINVER#\n* Build-Depends-Package: ${CPACK_DEBIAN_DEV_PACKAGE_NAME}\n")
string(REPLACE "\n" ";" lines "${dynamic}")
set(entries)
foreach(line IN LISTS lines)
  # "0000000000012340 g    DF .text  0000000000000042  BRENVIK_2.0 brenvik_open"
  if(line MATCHES "^[0-9a-f]+ g +D[FO] [^ \t]+[ \t]+[0-9a-f]+[ \t]+(BRENVIK_[0-9.]+)[ \t]+([A-Za-z0-9_.]+)$")
    set(node ${CMAKE_MATCH_1})
    set(since ${CPACK_PACKAGE_VERSION})
    if(node STREQUAL "BRENVIK_2.0")
      set(since ${CPACK_BRENVIK_ABI2_SINCE})
    endif()
    list(APPEND entries " ${CMAKE_MATCH_2}@${node} ${since}")
  endif()
endforeach()
if(NOT entries)
  message(FATAL_ERROR "no versioned symbols in ${library}")
endif()
list(SORT entries)
list(JOIN entries "\n" entries)
file(WRITE ${CPACK_BRENVIK_SYMBOLS} "${symbols}${entries}\n")

# brenvikd: the unit where Debian 12's systemd keeps its own (/lib), the
# configuration as a conffile (named in packaging/debian/brenvikd/conffiles).
set(service ${stage}/service)
place(${service}/usr/share/brenvik/service/brenvikd.service ${service}/lib/systemd/system/brenvikd.service)
place(${service}/usr/share/brenvik/service/brenvikd.json ${service}/etc/brenvikd/brenvikd.json)
file(REMOVE_RECURSE ${service}/usr/share/brenvik/service)
file(READ ${service}/lib/systemd/system/brenvikd.service unit)
if(NOT unit MATCHES "\nExecStart=/usr/${CPACK_BRENVIK_SBINDIR}/brenvikd ")
  message(FATAL_ERROR "brenvikd.service does not start /usr/${CPACK_BRENVIK_SBINDIR}/brenvikd")
endif()
