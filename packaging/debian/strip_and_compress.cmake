# The files as Debian's own tools leave them in a package: programs stripped of symbols and of
# the compiler's notes, manual pages and the changelog compressed.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS files)
    if(file MATCHES "/s?bin/[^/]+$" AND NOT IS_SYMLINK "${file}")
        execute_process(COMMAND strip --remove-section=.comment --remove-section=.note "${file}"
                        COMMAND_ERROR_IS_FATAL ANY)
    elseif(file MATCHES "/share/man/man[1-9]/[^/]+\\.[1-9]$|/share/doc/[^/]+/changelog$")
        execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
