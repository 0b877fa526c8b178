# TinyXML and GoogleTest.
#
# Linux: TinyXML is Debian's libtinyxml-dev (pkg-config "tinyxml"), or with
# UPDATER_TINYXML_FROM_SOURCE (the sanitizer build, so that ASan sees inside the parser)
# the same sources as Windows.
# Windows: Debian's patched tinyxml sources are fetched with "apt-get source" into the
# build folder (or taken from TINYXML_SOURCE_DIR) and compiled here as a static library.
# GoogleTest is always compiled from Debian's googletest sources in /usr/src.

set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")

option(UPDATER_TINYXML_FROM_SOURCE "Compile Debian's TinyXML sources instead of linking libtinyxml" OFF)

if(WIN32 OR UPDATER_TINYXML_FROM_SOURCE)
    set(TINYXML_SOURCE_DIR "" CACHE PATH "Unpacked tinyxml source package")
    if(NOT TINYXML_SOURCE_DIR)
        set(_deps ${CMAKE_BINARY_DIR}/_deps)
        file(GLOB _found LIST_DIRECTORIES true ${_deps}/tinyxml-*)
        if(NOT _found)
            file(MAKE_DIRECTORY ${_deps})
            message(STATUS "Fetching Debian's tinyxml sources into ${_deps}")
            execute_process(COMMAND apt-get source -q tinyxml
                            WORKING_DIRECTORY ${_deps}
                            RESULT_VARIABLE _rc OUTPUT_QUIET)
            if(NOT _rc EQUAL 0)
                message(FATAL_ERROR "apt-get source tinyxml failed; add a deb-src entry for bookworm main "
                                    "(scripts/test does) or set TINYXML_SOURCE_DIR")
            endif()
            file(GLOB _found LIST_DIRECTORIES true ${_deps}/tinyxml-*)
        endif()
        list(GET _found 0 _dir)
        set(TINYXML_SOURCE_DIR ${_dir} CACHE PATH "Unpacked tinyxml source package" FORCE)
    endif()
    add_library(updater_tinyxml STATIC
        ${TINYXML_SOURCE_DIR}/tinyxml.cpp
        ${TINYXML_SOURCE_DIR}/tinyxmlparser.cpp
        ${TINYXML_SOURCE_DIR}/tinyxmlerror.cpp
        ${TINYXML_SOURCE_DIR}/tinystr.cpp)
    target_include_directories(updater_tinyxml SYSTEM PUBLIC ${TINYXML_SOURCE_DIR})
    # Same configuration as Debian's libtinyxml-dev.
    target_compile_definitions(updater_tinyxml PUBLIC TIXML_USE_STL)
    target_compile_options(updater_tinyxml PRIVATE -w)
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
    add_library(updater_tinyxml INTERFACE)
    target_link_libraries(updater_tinyxml INTERFACE PkgConfig::TINYXML)
endif()
