# Brenvik-<version>-x64.msi, made by wixl from brenvik.wxs and what the two
# cross builds made; built with the setup program (make installer).
find_program(BRENVIK_WIXL wixl)
find_program(BRENVIK_MSIBUILD msibuild)
if(NOT BRENVIK_WIXL OR NOT BRENVIK_MSIBUILD)
  return()
endif()

# Runs on the build machine: the server's own registration scripts, through
# its own interpreter, become the package's registry values.
add_executable(brenvik_msi_gen EXCLUDE_FROM_ALL
  ${CMAKE_CURRENT_LIST_DIR}/msi_gen.cpp ${PROJECT_SOURCE_DIR}/server/registry_script.cpp)
target_include_directories(brenvik_msi_gen PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_features(brenvik_msi_gen PRIVATE cxx_std_17)
brenvik_warnings(brenvik_msi_gen)

set(msi_gen_dir ${CMAKE_CURRENT_BINARY_DIR}/msi)
set(msi ${CMAKE_CURRENT_BINARY_DIR}/Brenvik-${PROJECT_VERSION}-x64.msi)
set(wxs ${CMAKE_CURRENT_LIST_DIR}/brenvik.wxs)
set(rgs ${PROJECT_SOURCE_DIR}/server/registry/module.rgs ${PROJECT_SOURCE_DIR}/server/registry/brenvik.rgs
  ${PROJECT_SOURCE_DIR}/server/registry/maria301.rgs)
set(registration ${PROJECT_SOURCE_DIR}/server/module_win32.cpp ${PROJECT_SOURCE_DIR}/server/brenvik.idl ${rgs})

# The programs and DLLs are packed from copies, which sign.sh signs when a
# release is built with a certificate (as for the setup program).
set(stage ${msi_gen_dir}/payload)
set(pe64 server/BrenvikPlus.dll tray/KorvellOLE.exe testutil/BrenvikTest.exe capi/brenvik.dll cli/brenvik.exe
  service/brenvikd.exe)
set(pe32 server/BrenvikPlus.dll capi/brenvik.dll cli/brenvik.exe)
set(stage_pairs "")
set(binaries "")
foreach(bits 64 32)
  foreach(rel ${pe${bits}})
    list(APPEND stage_pairs "${BRENVIK_MINGW${bits}_DIR}/${rel}|${stage}/${bits}/${rel}")
    list(APPEND binaries ${BRENVIK_MINGW${bits}_DIR}/${rel})
  endforeach()
endforeach()
set(sign "")
if(BRENVIK_SIGN_SCRIPT)
  set(sign ${BRENVIK_SIGN_SCRIPT})
endif()

# What the setup program ships beside the programs, as
# "DIRECTORY_ID/path<TAB>source" lines (brenvik_msi_gen files).
set(list "")
set(list_sources "")
macro(msi_ship dest source)
  string(APPEND list "${dest}\t${source}\n")
  list(APPEND list_sources ${source})
endmacro()
macro(msi_ship_tree dest root)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS RELATIVE ${root} ${root}/*)
  list(SORT found)
  foreach(name ${found})
    msi_ship(${dest}/${name} ${root}/${name})
  endforeach()
endmacro()
set(clients ${PROJECT_SOURCE_DIR}/examples/clients)
foreach(name sale.vbs sale.js sample_client.cpp)
  msi_ship(SAMPLESDIR/${name} ${clients}/${name})
endforeach()
msi_ship_tree(SAMPLESDIR/csharp ${clients}/csharp)
msi_ship_tree(SAMPLESDIR/pascal ${clients}/pascal)
# The HTML manual when it is made (docs/), else its Markdown sources; the
# Start menu opens the one or the other.
if(TARGET brenvik_manual_html)
  string(APPEND list "MANUALDIR/*.html\t${BRENVIK_MANUAL_HTML}\n")
  list(APPEND list_sources ${BRENVIK_MANUAL_HTML}/index.html)
  set(manual_start index.html)
else()
  msi_ship_tree(MANUALDIR ${PROJECT_SOURCE_DIR}/docs/manual)
  set(manual_start "")
endif()
foreach(arch x64 x86)
  if(arch STREQUAL "x64")
    set(bits 64)
  else()
    set(bits 32)
  endif()
  foreach(file capi/libbrenvik.dll.a capi/brenvik.def)
    get_filename_component(name ${file} NAME)
    msi_ship(SDKDIR/${arch}/${name} ${BRENVIK_MINGW${bits}_DIR}/${file})
  endforeach()
  string(APPEND list "SDKDIR/${arch}/brenvik.dll\t${stage}/${bits}/capi/brenvik.dll\n")
  string(APPEND list "SDKDIR/${arch}/brenvik.exe\t${stage}/${bits}/cli/brenvik.exe\n")
endforeach()
msi_ship(SDKDIR/include/brenvik/brenvik.h ${PROJECT_SOURCE_DIR}/include/brenvik/brenvik.h)
msi_ship(SDKDIR/include/brenvik/brenvik_version.h ${BRENVIK_MINGW64_DIR}/generated/version/brenvik_version.h)
file(GLOB sdk_samples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/windows/*.*)
list(SORT sdk_samples)
foreach(path ${sdk_samples})
  if(NOT IS_DIRECTORY ${path})
    get_filename_component(name ${path} NAME)
    msi_ship(SDKDIR/samples/${name} ${path})
  endif()
endforeach()
msi_ship(SDKDIR/samples/web/index.html ${PROJECT_SOURCE_DIR}/examples/windows/web/index.html)
# BrenvikPlus for early binding, one set for both bitnesses (the 32-bit
# type library, which 32-bit tools import too).
foreach(name brenvik.idl brenvik.tlb brenvik_com.h Brenvik_TLB.pas)
  msi_ship(SDKDIR/${name} ${BRENVIK_MINGW32_DIR}/server/sdk/${name})
endforeach()
file(CONFIGURE OUTPUT ${msi_gen_dir}/files.list CONTENT "${list}" @ONLY)

# wixl finds a file only by a relative path: it runs from the root, and
# every path is given without its leading slash.
set(wixl_command ${BRENVIK_WIXL} -a x64 -I ${msi_gen_dir} -D ManualStart=${manual_start})
foreach(define Pe64=${stage}/64 Pe32=${stage}/32 Source=${PROJECT_SOURCE_DIR})
  string(REPLACE "=/" "=" define ${define})
  list(APPEND wixl_command -D ${define})
endforeach()
list(APPEND wixl_command ${wxs} ${msi_gen_dir}/files.wxs)
set(BRENVIK_MSI ${msi} CACHE INTERNAL "the MSI package")

add_custom_command(OUTPUT ${msi_gen_dir}/com64.wxi ${msi_gen_dir}/com32.wxi ${msi_gen_dir}/files.wxs
  COMMAND brenvik_msi_gen registry ${msi_gen_dir}/com64.wxi BrenvikPlus64 64 ${registration}
  COMMAND brenvik_msi_gen registry ${msi_gen_dir}/com32.wxi BrenvikPlus32 32 ${registration}
  COMMAND brenvik_msi_gen files ${msi_gen_dir}/files.wxs Shipped 64 ${msi_gen_dir}/files.list
  DEPENDS brenvik_msi_gen ${registration} ${msi_gen_dir}/files.list ${list_sources}
  COMMENT "brenvik_msi_gen: registration and shipped files"
  VERBATIM)
# The copies, signed or not; wixl; then what wixl cannot write: the
# component conditions of the Startup and service choices, the 64-bit view
# for the registry searches, and an upgrade from the same version (another
# build of it, with its own product code, would install beside it); last
# the package's own signature.
file(STRINGS ${wxs} upgrade_code REGEX "UpgradeCode=")
string(REGEX MATCH "{[0-9A-F-]+}" upgrade_code "${upgrade_code}")
set(quoted "")
foreach(arg ${wixl_command})
  string(APPEND quoted " \"${arg}\"")
endforeach()
set(make_msi ${msi_gen_dir}/make_msi.cmake)
file(CONFIGURE OUTPUT ${make_msi} CONTENT [=[
# cmake -DVERSION=x.y.z -DOUT=file.msi -P make_msi.cmake (written by msi.cmake)
set(staged "")
foreach(pair @stage_pairs@)
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  get_filename_component(dir "${to}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  file(COPY_FILE "${from}" "${to}")
  list(APPEND staged "${to}")
endforeach()
set(sign "@sign@")
if(sign)
  execute_process(COMMAND sh "${sign}" ${staged} COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND @quoted@ -D Version=${VERSION} -o ${OUT} WORKING_DIRECTORY / COMMAND_ERROR_IS_FATAL ANY)
foreach(query
    "UPDATE `Component` SET `Condition` = 'NOT NOSTARTUP AND PREVSTARTUP<>\"#0\"' WHERE `Component` = 'Startup'"
    "UPDATE `Component` SET `Condition` = 'NOSTARTUP OR PREVSTARTUP=\"#0\"' WHERE `Component` = 'NoStartup'"
    "UPDATE `Component` SET `Condition` = 'SERVICE OR PREVSERVICE=\"#1\"' WHERE `Component` = 'Service'"
    "UPDATE `RegLocator` SET `Type` = 18 WHERE `Signature_` = 'PrevService'"
    "UPDATE `RegLocator` SET `Type` = 18 WHERE `Signature_` = 'PrevStartup'"
    "UPDATE `RegLocator` SET `Type` = 18 WHERE `Signature_` = 'SetupInstalled'"
    "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
    "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('@upgrade_code@', '${VERSION}', 513, 'WIX_UPGRADE_DETECTED')")
  execute_process(COMMAND @BRENVIK_MSIBUILD@ ${OUT} -q ${query} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
if(sign)
  execute_process(COMMAND sh "${sign}" "${OUT}" COMMAND_ERROR_IS_FATAL ANY)
endif()
]=] @ONLY)

set(sign_depends "")
if(TARGET brenvik_sign_settings)
  set(sign_depends ${sign} ${CMAKE_CURRENT_BINARY_DIR}/sign-settings)
endif()
add_custom_command(OUTPUT ${msi}
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DOUT=${msi} -P ${make_msi}
  DEPENDS ${wxs} ${make_msi} ${msi_gen_dir}/com64.wxi ${msi_gen_dir}/com32.wxi ${msi_gen_dir}/files.wxs
          ${list_sources} ${binaries} ${sign_depends} ${PROJECT_SOURCE_DIR}/tray/korvell.ico
  COMMENT "wixl Brenvik-${PROJECT_VERSION}-x64.msi"
  VERBATIM)
add_custom_target(brenvik_msi DEPENDS ${msi})
if(TARGET brenvik_manual_html)
  add_dependencies(brenvik_msi brenvik_manual_html)
endif()
if(TARGET brenvik_sign_settings)
  add_dependencies(brenvik_msi brenvik_sign_settings)
endif()
if(TARGET brenvik_setup)
  add_dependencies(brenvik_setup brenvik_msi)
endif()
