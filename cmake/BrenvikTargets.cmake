# Shared compile settings and the one helper that registers a test.

# brenvik_warnings(target): the project's warning set; warnings are errors.
function(brenvik_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      -Wformat=2 -Wno-format-nonliteral -Wcast-align -Wnull-dereference)
    if(BRENVIK_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# brenvik_static_runtime(target): Windows binaries carry their C and C++
# runtimes inside, so nothing from MinGW has to lie beside them.
function(brenvik_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# brenvik_test(NAME n SOURCES ... [LIBS ...] LABELS unit|integration|wine
#              [TIMEOUT s] [GTEST] [CP1251] [COMMAND ...] [ENVIRONMENT ...]
#              [WINE win64|win32])
# CP1251: the test's string literals are code page 1251, like the engine's.
# WINE: the COMMAND runs Wine programs of that bitness (win32 also for any
# 32-bit program, such as an installer); it is skipped (exit code 77) where
# this machine cannot run them, and its prefixes share one template.
# With GTEST the sources become one GoogleTest executable registered as a
# single CTest test; with COMMAND an existing program or script is run.
function(brenvik_test)
  cmake_parse_arguments(T "GTEST;CP1251" "NAME;TIMEOUT;WINE" "SOURCES;LIBS;LABELS;COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(T_GTEST)
    find_package(GTest REQUIRED)
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    brenvik_warnings(${T_NAME})
    if(T_CP1251)
      brenvik_cp1251(${T_NAME})
    endif()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
  elseif(T_WINE)
    add_test(NAME ${T_NAME}
      COMMAND sh ${PROJECT_SOURCE_DIR}/tests/support/wine-run.sh ${T_WINE} ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES SKIP_RETURN_CODE 77)
    list(APPEND T_ENVIRONMENT BRENVIK_WINE_CACHE=${PROJECT_BINARY_DIR}/wine-templates)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENVIRONMENT)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
endfunction()

# brenvik_cp1251(target): string literals of the target are code page 1251
# bytes, so the engine's Russian texts read as Russian in the sources and
# leave the compiler as the exact bytes the log, the messages and the
# printer expect. clang knows no other execution character set; its fuzz
# build keeps UTF-8, which only the log lines see.
function(brenvik_cp1251 target)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -fexec-charset=CP1251)
  endif()
endfunction()

# The product's one version is the project() version of the top
# CMakeLists.txt. brenvik_version.h carries it to C, C++ and resource files
# (link brenvik_version_header); nothing else may spell it.
set(BRENVIK_VERSION_DIR ${CMAKE_CURRENT_LIST_DIR}/version)
configure_file(${BRENVIK_VERSION_DIR}/brenvik_version.h.in
  ${PROJECT_BINARY_DIR}/generated/version/brenvik_version.h @ONLY)
add_library(brenvik_version_header INTERFACE)
target_include_directories(brenvik_version_header INTERFACE ${PROJECT_BINARY_DIR}/generated/version)

# brenvik_version_resource(target DESCRIPTION text [SELF_REGISTER]): a
# Windows version block for a program or DLL, so that Explorer, installers
# and support staff read the same version. SELF_REGISTER marks a COM server
# that regsvr32-aware installers may register.
function(brenvik_version_resource target)
  cmake_parse_arguments(V "SELF_REGISTER" "DESCRIPTION" "" ${ARGN})
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(BRENVIK_RC_DESCRIPTION "${V_DESCRIPTION}")
  set(BRENVIK_RC_INTERNAL ${name})
  if(type STREQUAL "SHARED_LIBRARY")
    set(BRENVIK_RC_FILENAME ${name}.dll)
    set(BRENVIK_RC_FILETYPE VFT_DLL)
  else()
    set(BRENVIK_RC_FILENAME ${name}.exe)
    set(BRENVIK_RC_FILETYPE VFT_APP)
  endif()
  set(BRENVIK_RC_SELF_REGISTER "")
  if(V_SELF_REGISTER)
    set(BRENVIK_RC_SELF_REGISTER "            VALUE \"OLESelfRegister\", \"\\0\"\n")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${BRENVIK_VERSION_DIR}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  target_link_libraries(${target} PRIVATE brenvik_version_header)
endfunction()
