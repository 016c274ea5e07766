# The Debian package, built by scripts/package (cpack -G DEB): zelmar_<version>_amd64.deb. Its Depends come
# from dpkg-shlibdeps over the installed programs, not from a list kept by hand. No maintainer scripts: the
# menu and icon caches are refreshed by dpkg triggers, and serial ports need no group of our own (dialout
# exists on every Debian system).

find_program(ZELMAR_GZIP gzip REQUIRED)
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                   COMMAND ${ZELMAR_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
                   COMMENT "Compressing the package's changelog")
add_custom_target(package_changelog ALL DEPENDS ${changelog_gz})
# A version without a Debian revision: the package is native, so its changelog is changelog.gz.
install(FILES ${changelog_gz} ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelmar)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zelmar CNC developers")
set(CPACK_PACKAGE_CONTACT "Zelmar CNC developers <zelmar-cnc@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "contour milling of raster images on a small CNC machine")
# Lines of at most 80 characters, as Debian asks of a package's description.
file(READ ${PROJECT_SOURCE_DIR}/packaging/description.txt CPACK_PACKAGE_DESCRIPTION)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's own buttons and file dialog in Russian; without it they read in English and nothing else changes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
