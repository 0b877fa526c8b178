# TinyXML, libsodium and GoogleTest.
#
# Linux: TinyXML is Debian's libtinyxml-dev (pkg-config "tinyxml"), or with
# UPDATER_TINYXML_FROM_SOURCE (the sanitizer build, so that ASan sees inside the parser)
# the same sources as Windows. libsodium is Debian's libsodium-dev (pkg-config "libsodium").
# Windows: Debian's sources of both are fetched with "apt-get source" into the build
# folder (or taken from TINYXML_SOURCE_DIR, SODIUM_SOURCE_DIR) and compiled here as
# static libraries.
# GoogleTest is always compiled from Debian's googletest sources in /usr/src.

set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")

option(UPDATER_TINYXML_FROM_SOURCE "Compile Debian's TinyXML sources instead of linking libtinyxml" OFF)

# debian_source(PACKAGE VAR): sets the cache variable VAR to the unpacked sources of the
# Debian source package PACKAGE, fetched into the build folder unless VAR is set.
function(debian_source package var)
    set(${var} "" CACHE PATH "Unpacked ${package} source package")
    if(${var})
        return()
    endif()
    set(_deps ${CMAKE_BINARY_DIR}/_deps)
    file(GLOB _found LIST_DIRECTORIES true ${_deps}/${package}-*)
    if(NOT _found)
        file(MAKE_DIRECTORY ${_deps})
        message(STATUS "Fetching Debian's ${package} sources into ${_deps}")
        # The machine's own release first, then Debian 12's: a mirror may lack the
        # files of a newer release's source package.
        foreach(_wanted ${package} ${package}/bookworm)
            execute_process(COMMAND apt-get source -q ${_wanted}
                            WORKING_DIRECTORY ${_deps}
                            RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
            if(_rc EQUAL 0)
                break()
            endif()
            message(STATUS "apt-get source ${_wanted} failed: ${_err}")
        endforeach()
        if(NOT _rc EQUAL 0)
            message(FATAL_ERROR "apt-get source ${package} failed; add a deb-src entry for the "
                                "machine's release and bookworm (scripts/test does) or set ${var}")
        endif()
        file(GLOB _found LIST_DIRECTORIES true ${_deps}/${package}-*)
    endif()
    list(GET _found 0 _dir)
    set(${var} ${_dir} CACHE PATH "Unpacked ${package} source package" FORCE)
endfunction()

# debian_package(TARGET MODULE): TARGET, an interface library for the Debian -dev package
# pkg-config knows as MODULE.
function(debian_package target module)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(${target}_pc REQUIRED IMPORTED_TARGET ${module})
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE PkgConfig::${target}_pc)
endfunction()

if(WIN32 OR UPDATER_TINYXML_FROM_SOURCE)
    debian_source(tinyxml TINYXML_SOURCE_DIR)
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
    debian_package(updater_tinyxml tinyxml)
endif()

if(WIN32)
    # Every C file of the library, as its own build would compile them for an x86
    # Windows target. Only the BLAKE2b compression functions (chosen at run time by
    # the processor's features) and the feature detection are built with the SIMD
    # instruction sets; everything else is the portable code.
    debian_source(libsodium SODIUM_SOURCE_DIR)
    set(_sodium ${SODIUM_SOURCE_DIR}/src/libsodium)
    file(GLOB_RECURSE _sodium_sources ${_sodium}/*.c)
    file(READ ${SODIUM_SOURCE_DIR}/configure.ac _configure)
    string(REGEX MATCH "AC_INIT\\(\\[libsodium\\],\\[([0-9.]+)\\]" _ ${_configure})
    set(VERSION ${CMAKE_MATCH_1})
    string(REGEX MATCH "SODIUM_LIBRARY_VERSION_MAJOR=([0-9]+)" _ ${_configure})
    set(SODIUM_LIBRARY_VERSION_MAJOR ${CMAKE_MATCH_1})
    string(REGEX MATCH "SODIUM_LIBRARY_VERSION_MINOR=([0-9]+)" _ ${_configure})
    set(SODIUM_LIBRARY_VERSION_MINOR ${CMAKE_MATCH_1})
    set(SODIUM_LIBRARY_MINIMAL_DEF "")
    configure_file(${_sodium}/include/sodium/version.h.in
                   ${CMAKE_BINARY_DIR}/generated/sodium/sodium/version.h @ONLY)
    # version.h names "export.h" beside itself.
    configure_file(${_sodium}/include/sodium/export.h
                   ${CMAKE_BINARY_DIR}/generated/sodium/sodium/export.h COPYONLY)
    add_library(updater_sodium STATIC ${_sodium_sources})
    # The generated version.h first: the source tree holds only its template.
    target_include_directories(updater_sodium SYSTEM PUBLIC
        ${CMAKE_BINARY_DIR}/generated/sodium ${_sodium}/include)
    target_include_directories(updater_sodium PRIVATE
        ${CMAKE_BINARY_DIR}/generated/sodium/sodium ${_sodium}/include/sodium)
    target_compile_definitions(updater_sodium PUBLIC SODIUM_STATIC)
    target_compile_definitions(updater_sodium PRIVATE CONFIGURED=1 NATIVE_LITTLE_ENDIAN=1
                               HAVE_CPUID=1)
    target_compile_options(updater_sodium PRIVATE -w -O2)
    set(_simd_defs HAVE_EMMINTRIN_H HAVE_PMMINTRIN_H HAVE_TMMINTRIN_H HAVE_SMMINTRIN_H
                   HAVE_AVXINTRIN_H HAVE_AVX2INTRIN_H)
    set(_blake2b ${_sodium}/crypto_generichash/blake2b/ref)
    # The feature detection reads XCR0 (whether the system saves the AVX registers) with
    # an inline xgetbv.
    set_source_files_properties(${_sodium}/sodium/runtime.c PROPERTIES
        COMPILE_DEFINITIONS "${_simd_defs};HAVE_AVX_ASM=1")
    set_source_files_properties(${_blake2b}/blake2b-ref.c ${_blake2b}/generichash_blake2b.c
        PROPERTIES COMPILE_DEFINITIONS "${_simd_defs}")
    set_source_files_properties(${_blake2b}/blake2b-compress-ssse3.c PROPERTIES
        COMPILE_DEFINITIONS "${_simd_defs}" COMPILE_OPTIONS "-msse2;-mssse3")
    set_source_files_properties(${_blake2b}/blake2b-compress-sse41.c PROPERTIES
        COMPILE_DEFINITIONS "${_simd_defs}" COMPILE_OPTIONS "-msse2;-mssse3;-msse4.1")
    set_source_files_properties(${_blake2b}/blake2b-compress-avx2.c PROPERTIES
        COMPILE_DEFINITIONS "${_simd_defs}" COMPILE_OPTIONS "-msse2;-mssse3;-msse4.1;-mavx;-mavx2")
    target_link_libraries(updater_sodium PUBLIC advapi32)  # RtlGenRandom
else()
    debian_package(updater_sodium libsodium)
endif()
