# Debian packages with CPack's DEB generator, one package per install
# component; scripts/package configures a /usr build with
# -DORVEL_DEBIAN_PACKAGES=ON and runs cpack.
#
# CPack rather than a debian/ folder: the build is CMake's already and its
# install components map one to one onto packages, so the packages need
# nothing beyond CMake and dpkg-dev (dpkg-shlibdeps), while dpkg-buildpackage
# would need debhelper and a second description of the same install.
#
#   runtime -> libtalmerin-orvel1      the library, ONNX Runtime in a private folder
#   dev     -> libtalmerin-orvel-dev   header, .so link, pkg-config and CMake files, orvel(3)
#   tools   -> talmerin-orvel-tools    every orvel_install_tool() target and its man page
#   voice   -> talmerin-orvel-voices   the bundled voice from voices/
set(ORVEL_PACKAGE_MAINTAINER "talmerin-orvel maintainers <maintainers@talmerin-orvel.example>" CACHE STRING
    "Maintainer field of the Debian packages")

# Windows: one zip of every component (scripts/package --windows), with a
# README for Windows users and the licence at its top.
if(WIN32)
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/windows/README.txt" "${PROJECT_SOURCE_DIR}/LICENSE"
        DESTINATION . COMPONENT runtime)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME talmerin-orvel)
    set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
    set(CPACK_PACKAGE_FILE_NAME "talmerin-orvel-${PROJECT_VERSION}-windows-x64")
    set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
    set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
    set(CPACK_COMPONENTS_ALL runtime dev tools voice)
    include(CPack)
    return()
endif()

get_target_property(ORVEL_LIBRARY_BASENAME orvel OUTPUT_NAME)
set(ORVEL_DEB_SOURCE "${ORVEL_LIBRARY_BASENAME}")
# Debian names a shared library's package after its SONAME (libtalmerin-orvel.so.1).
set(ORVEL_DEB_RUNTIME "lib${ORVEL_LIBRARY_BASENAME}${PROJECT_VERSION_MAJOR}")
set(ORVEL_DEB_DEV "lib${ORVEL_LIBRARY_BASENAME}-dev")
set(ORVEL_DEB_TOOLS "${ORVEL_LIBRARY_BASENAME}-tools")
set(ORVEL_DEB_VOICE "${ORVEL_LIBRARY_BASENAME}-voices")

if(ORVEL_DEBIAN_PACKAGES)
    # Every package carries the one copyright file and the changelog.
    set(ORVEL_DEB_DOC_BUILD "${PROJECT_BINARY_DIR}/debian-doc")
    file(MAKE_DIRECTORY "${ORVEL_DEB_DOC_BUILD}")
    find_program(ORVEL_PACKAGE_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
    if(NOT ORVEL_PACKAGE_PYTHON)
        find_program(ORVEL_PACKAGE_PYTHON python3 REQUIRED)
    endif()
    find_program(ORVEL_GZIP gzip REQUIRED)
    add_custom_command(OUTPUT "${ORVEL_DEB_DOC_BUILD}/changelog.gz"
        COMMAND "${ORVEL_PACKAGE_PYTHON}" "${PROJECT_SOURCE_DIR}/packaging/debian-changelog.py"
                "${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${ORVEL_DEB_SOURCE}" "${PROJECT_VERSION}"
                "${ORVEL_PACKAGE_MAINTAINER}" "${ORVEL_DEB_DOC_BUILD}/changelog"
        COMMAND "${ORVEL_GZIP}" -9nf "${ORVEL_DEB_DOC_BUILD}/changelog"
        DEPENDS "${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${PROJECT_SOURCE_DIR}/packaging/debian-changelog.py"
        VERBATIM)
    add_custom_target(orvel_debian_changelog ALL DEPENDS "${ORVEL_DEB_DOC_BUILD}/changelog.gz")
    foreach(component runtime dev tools voice)
        string(TOUPPER "${component}" upper)
        set(package "${ORVEL_DEB_${upper}}")
        install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" "${ORVEL_DEB_DOC_BUILD}/changelog.gz"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${component})
        if(EXISTS "${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides")
            install(FILES "${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides"
                DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides" RENAME "${package}" COMPONENT ${component})
        endif()
    endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${ORVEL_DEB_SOURCE}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ORVEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Staged through DESTDIR, so install-time code sees the real prefix (the
# speech-dispatcher configuration names /usr/bin/orvel-say) and /etc works.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools voice)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE "${ORVEL_DEB_SOURCE}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the library and ONNX Runtime here while it works out
# the tools' dependencies; their package relations are written out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${PROJECT_BINARY_DIR}" "${ORVEL_ORT_DIR}/lib")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(ORVEL_DEB_SAME_VERSION "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${ORVEL_DEB_RUNTIME}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# eSpeak NG is opened at run time by its SONAME, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libespeak-ng1, espeak-ng-data")
# Our own shlibs file: CPack's would offer the private ONNX Runtime to other
# packages too. The ldconfig trigger replaces the ldconfig calls CPack writes
# into a library package's scripts unless the package brings its own (hence
# the scripts that do nothing, and their lintian override).
set(ORVEL_SHLIBS_NAME "lib${ORVEL_LIBRARY_BASENAME}")
configure_file("${PROJECT_SOURCE_DIR}/packaging/runtime/shlibs.in" "${PROJECT_BINARY_DIR}/debian-control/shlibs" @ONLY)
# The symbols file: every exported name (the list the exports test holds) with
# the release that brought it; all 14 came with the first release.
set(ORVEL_DEB_SYMBOLS "${PROJECT_BINARY_DIR}/debian-control/symbols")
file(STRINGS "${PROJECT_SOURCE_DIR}/tests/exported_symbols.txt" ORVEL_EXPORTED_SYMBOLS REGEX "^orvel_")
set(ORVEL_DEB_SYMBOLS_TEXT "lib${ORVEL_LIBRARY_BASENAME}.so.${PROJECT_VERSION_MAJOR} ${ORVEL_DEB_RUNTIME} #MINVER#\n")
string(APPEND ORVEL_DEB_SYMBOLS_TEXT "* Build-Depends-Package: ${ORVEL_DEB_DEV}\n")
foreach(symbol IN LISTS ORVEL_EXPORTED_SYMBOLS)
    string(APPEND ORVEL_DEB_SYMBOLS_TEXT " ${symbol}@Base 1.0.0\n")
endforeach()
file(WRITE "${ORVEL_DEB_SYMBOLS}" "${ORVEL_DEB_SYMBOLS_TEXT}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/debian-control/shlibs" "${ORVEL_DEB_SYMBOLS}"
    "${PROJECT_SOURCE_DIR}/packaging/runtime/triggers"
    "${PROJECT_SOURCE_DIR}/packaging/runtime/postinst" "${PROJECT_SOURCE_DIR}/packaging/runtime/postrm")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "text-to-speech with neural voice models (library)
talmerin-orvel turns UTF-8 text into 16-bit mono speech with neural voice
models: eSpeak NG phonemizes the text, and ONNX Runtime runs the voice.
.
This package holds the shared library and, in a folder of its own, the ONNX
Runtime it runs voices with.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME "${ORVEL_DEB_DEV}")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ORVEL_DEB_RUNTIME} ${ORVEL_DEB_SAME_VERSION}")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_DEV_DESCRIPTION "text-to-speech with neural voice models (development files)
talmerin-orvel turns UTF-8 text into 16-bit mono speech with neural voice
models: eSpeak NG phonemizes the text, and ONNX Runtime runs the voice.
.
This package holds the C header, the pkg-config and CMake package files and
the orvel(3) man page.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "${ORVEL_DEB_TOOLS}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${ORVEL_DEB_RUNTIME} ${ORVEL_DEB_SAME_VERSION}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "${ORVEL_DEB_VOICE}")
# The speech-dispatcher module is a configuration of its generic module.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "speech-dispatcher")
# Files under /etc are the administrator's once installed: dpkg keeps their edits.
if(TARGET orvel-say AND IS_ABSOLUTE "${ORVEL_SPEECHD_CONF_DIR}")
    set(ORVEL_DEB_CONFFILES "${PROJECT_BINARY_DIR}/debian-control/tools/conffiles")
    file(WRITE "${ORVEL_DEB_CONFFILES}" "${ORVEL_SPEECHD_CONF_DIR}/orvel.conf\n")
    if(TARGET orvel-server AND IS_ABSOLUTE "${ORVEL_DEFAULT_DIR}")
        file(APPEND "${ORVEL_DEB_CONFFILES}" "${ORVEL_DEFAULT_DIR}/orvel-server\n")
    endif()
    set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA "${ORVEL_DEB_CONFFILES}")
    set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "text-to-speech with neural voice models (tools)
talmerin-orvel turns UTF-8 text into 16-bit mono speech with neural voice
models: eSpeak NG phonemizes the text, and ONNX Runtime runs the voice.
.
This package holds orvel-say, which speaks text into a WAV file or as raw
PCM; orvel-server, which serves speech over HTTP with OpenAI's speech API; and
a speech-dispatcher module, through which screen readers such as Orca speak
with the voices.")

set(CPACK_DEBIAN_VOICE_PACKAGE_NAME "${ORVEL_DEB_VOICE}")
set(CPACK_DEBIAN_VOICE_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_VOICE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_VOICE_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_VOICE_DESCRIPTION "text-to-speech with neural voice models (bundled voice)
talmerin-orvel turns UTF-8 text into 16-bit mono speech with neural voice
models: eSpeak NG phonemizes the text, and ONNX Runtime runs the voice.
.
This package holds the project's own American English voice, which orvel-say
uses when no other voice is given.")

include(CPack)
