# SQLite for the MinGW builds. Debian ships no MinGW build of it, so the
# cross builds compile Debian's own source package (with Debian's patches),
# which scripts/setup.sh fetches with `apt-get source --download-only
# sqlite3` into BRENVIK_SQLITE_SOURCE. Its own build makes the amalgamation
# (tclsh and the native compiler, in a copy of the tree), compiled here as
# the static library brenvik_sqlite3. Nothing of it lives in the repository.
set(BRENVIK_SQLITE_SOURCE /var/cache/brenvik/sqlite3 CACHE PATH
  "Directory holding Debian's sqlite3 source package (its .dsc and tarballs)")

file(GLOB sqlite_dsc ${BRENVIK_SQLITE_SOURCE}/sqlite3_*.dsc)
if(NOT sqlite_dsc)
  message(FATAL_ERROR "No sqlite3 source package in ${BRENVIK_SQLITE_SOURCE}: run `sh scripts/setup.sh test` "
    "(it adds a deb-src entry and fetches it).")
endif()
list(SORT sqlite_dsc)
list(GET sqlite_dsc -1 sqlite_dsc)
# SQLite's own build runs tclsh to make the amalgamation.
find_program(BRENVIK_TCLSH NAMES tclsh tclsh8.6 REQUIRED)
find_program(BRENVIK_DPKG_SOURCE dpkg-source REQUIRED)

set(sqlite_dir ${CMAKE_BINARY_DIR}/sqlite3)
# The tree's configure and tools are for this machine: nothing of the cross
# compiler may leak into them.
file(WRITE ${sqlite_dir}/amalgamation.sh "set -e
cd '${sqlite_dir}'
rm -rf source
'${BRENVIK_DPKG_SOURCE}' --no-check -x '${sqlite_dsc}' source >unpack.log
cd source
env -u CC -u CFLAGS -u CPPFLAGS -u LDFLAGS ./configure --disable-tcl --disable-readline >../amalgamation.log 2>&1
make sqlite3.c >>../amalgamation.log 2>&1
cp sqlite3.c sqlite3.h ..
cd .. && rm -rf source
")
add_custom_command(OUTPUT ${sqlite_dir}/sqlite3.c ${sqlite_dir}/sqlite3.h
  COMMAND sh ${sqlite_dir}/amalgamation.sh
  DEPENDS ${sqlite_dsc}
  COMMENT "SQLite amalgamation from Debian's source package (${sqlite_dsc})"
  VERBATIM)

add_library(brenvik_sqlite3 STATIC ${sqlite_dir}/sqlite3.c)
target_include_directories(brenvik_sqlite3 SYSTEM PUBLIC ${sqlite_dir})
# The ledger uses none of the loadable extensions; threads as on Debian.
target_compile_definitions(brenvik_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION=1)
# Third-party code, not held to the project's warning set.
target_compile_options(brenvik_sqlite3 PRIVATE -w)
