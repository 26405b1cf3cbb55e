# Manual pages (section 1), made from each program's own --help by help2man
# when the program is built, so the page never says other than the program.
# resources/man/PROGRAM.h2m adds what --help has no room for (examples, the
# related programs). Without help2man the pages are left out.
include(GNUInstallDirs)
find_program(KELVANE_HELP2MAN help2man)
if(NOT KELVANE_HELP2MAN)
    message(STATUS "help2man not found: the manual pages are not built (scripts/deps build installs it)")
endif()

function(kelvane_add_man_page program summary)
    if(NOT KELVANE_HELP2MAN)
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
    set(extra ${PROJECT_SOURCE_DIR}/resources/man/${program}.h2m)
    add_custom_command(OUTPUT ${page}
        COMMAND ${KELVANE_HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --name=${summary}
                --include=${extra} --output=${page} $<TARGET_FILE:${program}>
        DEPENDS ${program} ${extra}
        COMMENT "Manual page of ${program}"
        VERBATIM)
    add_custom_target(${program}-manual ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
