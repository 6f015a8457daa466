# orvel_install_tool(TARGET): installs a command-line tool over the public
# library into the "tools" component (the tools' Debian package), with its
# man page man/TARGET.1.in when the sources carry one.
#
# In a prefix of its own the tool finds the library through an rpath to the
# prefix's library folder; in a system prefix (/usr) the dynamic linker's own
# search finds it, and an rpath there would only shadow the system's choice.
set(ORVEL_MAN_BUILD_DIR "${PROJECT_BINARY_DIR}/man")

function(orvel_install_tool target)
    if(NOT WIN32 AND NOT APPLE)
        if("${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
            set_target_properties(${target} PROPERTIES INSTALL_RPATH "")
        else()
            file(RELATIVE_PATH bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
            set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
        endif()
    endif()
    install(TARGETS ${target} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
    if(EXISTS "${PROJECT_SOURCE_DIR}/man/${target}.1.in")
        install(FILES "${ORVEL_MAN_BUILD_DIR}/${target}.1.gz"
            DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
    endif()
endfunction()
