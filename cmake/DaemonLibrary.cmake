# The daemon's sources as one static library, for the main build and the fuzz
# build alike: vellort_daemon_library(<target>) makes it. Needs
# VELLORT_SOURCE_DIR, the root of the sources.
find_package(Threads REQUIRED)
find_package(Boost REQUIRED)
find_path(TINYXML2_INCLUDE_DIR tinyxml2.h REQUIRED)
find_library(TINYXML2_LIBRARY tinyxml2 REQUIRED)
find_package(SQLite3 REQUIRED)
find_path(XXHASH_INCLUDE_DIR xxhash.h REQUIRED)
find_library(XXHASH_LIBRARY xxhash REQUIRED)
find_package(PkgConfig REQUIRED)
# Debian's cpp-httplib is a compiled library: its compile flags must be the ones it was built with.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)

# The folders that hold the daemon's sources; the executables add only their main.
set(VELLORT_AREAS daemon log util thread ledger intake copy space net journal metrics status_page systemd health events)

function(vellort_daemon_library target)
  set(sources)
  foreach(area ${VELLORT_AREAS})
    file(GLOB area_sources CONFIGURE_DEPENDS ${VELLORT_SOURCE_DIR}/${area}/*.cc)
    list(APPEND sources ${area_sources})
  endforeach()
  list(REMOVE_ITEM sources ${VELLORT_SOURCE_DIR}/daemon/main.cc)

  # The status page's files, built into the daemon.
  set(page_files index.html page.css page.js vendor/uPlot.iife.min.js vendor/uPlot.min.css vendor/LICENSE)
  set(page_depends)
  foreach(file ${page_files})
    list(APPEND page_depends ${VELLORT_SOURCE_DIR}/status_page/web/${file})
  endforeach()
  string(REPLACE ";" "," page_file_list "${page_files}")
  set(built_in ${CMAKE_BINARY_DIR}/status_page/BuiltInFiles.cc)
  add_custom_command(
    OUTPUT ${built_in}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${VELLORT_SOURCE_DIR}/status_page/web -DOUTPUT=${built_in}
            -DFILES=${page_file_list} -P ${VELLORT_SOURCE_DIR}/cmake/EmbedFiles.cmake
    DEPENDS ${page_depends} ${VELLORT_SOURCE_DIR}/cmake/EmbedFiles.cmake
    COMMENT "Building the status page into the daemon")
  list(APPEND sources ${built_in})

  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${VELLORT_SOURCE_DIR} ${TINYXML2_INCLUDE_DIR} ${XXHASH_INCLUDE_DIR})
  target_include_directories(${target} SYSTEM PUBLIC ${Boost_INCLUDE_DIRS})
  target_link_libraries(${target} PUBLIC Threads::Threads ${TINYXML2_LIBRARY} SQLite::SQLite3 ${XXHASH_LIBRARY}
                        PkgConfig::HTTPLIB PkgConfig::SYSTEMD PkgConfig::MOSQUITTO)
endfunction()
