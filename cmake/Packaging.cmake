# The Debian package: `cpack -G DEB` in the build directory gives verbulo_<version>_amd64.deb.
# Its dependencies come from the binary's shared libraries (dpkg-shlibdeps).

# Debian wants the changelog and manual compressed without timestamps, so the package is reproducible.
set(VERBULO_PACKAGE_DOC ${CMAKE_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${VERBULO_PACKAGE_DOC})
foreach(source resources/debian/changelog resources/man/verbulo.1)
  get_filename_component(name ${source} NAME)
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${source}
    OUTPUT_FILE ${VERBULO_PACKAGE_DOC}/${name}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/resources/debian/changelog ${PROJECT_SOURCE_DIR}/resources/man/verbulo.1)
install(FILES ${VERBULO_PACKAGE_DOC}/changelog.gz ${PROJECT_SOURCE_DIR}/resources/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/verbulo)

# cpack packs what was built; it does not build the tests and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME verbulo)
set(CPACK_PACKAGE_VENDOR plumrest)
set(CPACK_PACKAGE_CONTACT "plumrest <verbulo@plumrest.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dictation into any application with the Fn key")
set(CPACK_PACKAGE_DESCRIPTION "Vorsik lives in the tray. Press Fn and speak; press it again and the\n\
recording is recognised, edited the way you chose and pasted into the field\n\
that had the focus, if the same application, window and page are in front.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The program's own files (with the recognition engine's shared libraries and CPU variants, when built
# so), not the engine's development files: those are in a component of their own.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/debian/conffiles)
# Runs the session services the program talks to; not visible in its shared libraries.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "at-spi2-core, gnome-keyring")
include(CPack)
