# The package diverts Debian's /usr/bin/cvs to /usr/bin/ncvs, the fallback, and lays its files
# under /usr: a build with another prefix or fallback makes no Debian package.
if(NOT CPACK_PATHVANE_PREFIX STREQUAL "/usr"
   OR NOT CPACK_PATHVANE_FALLBACK STREQUAL "/usr/bin/ncvs")
    message(FATAL_ERROR "The Debian package needs a build configured with "
            "-DCMAKE_INSTALL_PREFIX=/usr and the default PATHVANE_FALLBACK, /usr/bin/ncvs; this "
            "one has prefix ${CPACK_PATHVANE_PREFIX} and fallback ${CPACK_PATHVANE_FALLBACK}.")
endif()
