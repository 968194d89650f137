# Install rules and the Debian packages built by CPack (scripts/package.sh):
#   libmervane1     the shared library (soname libmervane.so.1) and its control window module
#   libmervane-dev  the headers, the libmervane.so link, mervane.pc and the CMake package config
#   mervane-tools   mervanectl, mervane-panel, the box emulator for --sim, the udev rule, man pages
#   python3-mervane the Python package, which finds the installed library by itself, and the
#                   Tango device server mervane-tango (man page; PyTango only suggested)
# Configure with -DCMAKE_INSTALL_PREFIX=/usr -DMERVANE_INSTALLED_PATHS=ON to build the packages.

include(CMakePackageConfigHelpers)

# The library's ABI: the soname's number and the symbol version of every export in api/exports.map
# (MERVANE_1) change together. The file name carries the project version after it.
set(MERVANE_SOVERSION 1)
set_target_properties(mervane PROPERTIES SOVERSION ${MERVANE_SOVERSION}
                                         VERSION ${MERVANE_SOVERSION}.${PROJECT_VERSION})

set(MERVANE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(MERVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc)

# ---- libmervane1 ---------------------------------------------------------------------------------
install(TARGETS mervane EXPORT mervane-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
if(TARGET mervane-window)
  # Loaded at run time from the library's folder or its mervane/ subfolder, never linked.
  install(TARGETS mervane-window LIBRARY DESTINATION ${MERVANE_PRIVATE_LIBDIR} COMPONENT lib)
endif()

# ---- libmervane-dev ------------------------------------------------------------------------------
install(FILES include/mervane.h include/mervane_ext.h include/mervane_plugin.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
configure_file(${MERVANE_PACKAGING_DIR}/mervane.pc.in ${CMAKE_BINARY_DIR}/packaging/mervane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/mervane.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
set(MERVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mervane)
install(EXPORT mervane-targets NAMESPACE mervane:: DESTINATION ${MERVANE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${MERVANE_PACKAGING_DIR}/mervane-config.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/mervane-config.cmake INSTALL_DESTINATION ${MERVANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/mervane-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/mervane-config.cmake
              ${CMAKE_BINARY_DIR}/packaging/mervane-config-version.cmake
  DESTINATION ${MERVANE_CMAKE_DIR} COMPONENT dev)

# ---- mervane-tools -------------------------------------------------------------------------------
install(TARGETS mervane-boxsim LIBRARY DESTINATION ${MERVANE_PRIVATE_LIBDIR} COMPONENT tools)
set(MERVANE_MAN1 ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET mervanectl)
  install(TARGETS mervanectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES $<TARGET_FILE_DIR:mervanectl>/mervane-list DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # The manual page comes from the program's own --help.
  find_program(MERVANE_HELP2MAN help2man)
  if(NOT MERVANE_HELP2MAN AND MERVANE_INSTALLED_PATHS)
    message(FATAL_ERROR "the manual page of mervanectl needs help2man")
  elseif(MERVANE_HELP2MAN)
    set(page ${CMAKE_BINARY_DIR}/packaging/mervanectl.1)
    add_custom_command(OUTPUT ${page}.gz
      # HOME as the user reads it in the page, not the build machine's.
      COMMAND ${CMAKE_COMMAND} -E env "HOME=$HOME" ${MERVANE_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name "drive the motors of mervane USB boxes from the shell" --section 1
              --include ${MERVANE_PACKAGING_DIR}/mervanectl.h2m --output ${page} $<TARGET_FILE:mervanectl>
      COMMAND gzip -9nf ${page}
      DEPENDS mervanectl ${MERVANE_PACKAGING_DIR}/mervanectl.h2m VERBATIM)
    add_custom_target(mervane-man ALL DEPENDS ${page}.gz)
    file(CREATE_LINK mervanectl.1.gz ${CMAKE_BINARY_DIR}/packaging/mervane-list.1.gz SYMBOLIC)
    install(FILES ${page}.gz ${CMAKE_BINARY_DIR}/packaging/mervane-list.1.gz DESTINATION ${MERVANE_MAN1} COMPONENT tools)
  endif()
endif()
if(TARGET mervane-panel)
  install(TARGETS mervane-panel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  set(page ${CMAKE_BINARY_DIR}/packaging/mervane-panel.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9nc ${MERVANE_PACKAGING_DIR}/mervane-panel.1 > ${page}.gz
    DEPENDS ${MERVANE_PACKAGING_DIR}/mervane-panel.1)
  add_custom_target(mervane-panel-man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${MERVANE_MAN1} COMPONENT tools)
endif()
# Rules of packages live in /usr/lib/udev/rules.d (the administrator's own in /etc/udev/rules.d).
install(FILES ${MERVANE_PACKAGING_DIR}/60-mervane.rules DESTINATION lib/udev/rules.d COMPONENT tools)

# ---- python3-mervane -----------------------------------------------------------------------------
# Debian's own Python and setuptools lay the package out in /usr/lib/python3/dist-packages, with
# its metadata and any console scripts the project declares; nothing is written into the sources.
find_program(MERVANE_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(MERVANE_DEBIAN_PYTHON)
  execute_process(COMMAND ${MERVANE_DEBIAN_PYTHON} -c "import setuptools" RESULT_VARIABLE no_setuptools
                  OUTPUT_QUIET ERROR_QUIET)
endif()
if(MERVANE_DEBIAN_PYTHON AND no_setuptools EQUAL 0)
  set(stage ${CMAKE_BINARY_DIR}/packaging/python)
  file(GLOB python_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/mervane/*)
  add_custom_command(OUTPUT ${stage}/done
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/egg
    COMMAND ${MERVANE_DEBIAN_PYTHON} -W ignore -c "from setuptools import setup; setup()" -q
            egg_info --egg-base ${stage}/egg build --build-base ${stage}/build
            install --root ${stage}/root --prefix=/usr --install-layout=deb --no-compile
                    --single-version-externally-managed
    COMMAND ${CMAKE_COMMAND} -E touch ${stage}/done
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/python
    DEPENDS ${python_sources} ${CMAKE_SOURCE_DIR}/python/pyproject.toml VERBATIM)
  set(python_outputs ${stage}/done)
  install(DIRECTORY ${stage}/root/usr/ DESTINATION . USE_SOURCE_PERMISSIONS COMPONENT python)
  # The manual page of the console script mervane-tango, from the staged script's own --help
  # (which needs neither a box nor PyTango), run by Debian's Python on the staged package.
  find_program(MERVANE_HELP2MAN help2man)
  if(NOT MERVANE_HELP2MAN AND MERVANE_INSTALLED_PATHS)
    message(FATAL_ERROR "the manual page of mervane-tango needs help2man")
  elseif(MERVANE_HELP2MAN)
    set(page ${CMAKE_BINARY_DIR}/packaging/mervane-tango.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${stage}/root/usr/lib/python3/dist-packages
              ${MERVANE_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name "Tango device server for the motors of mervane USB boxes" --section 1
              --include ${MERVANE_PACKAGING_DIR}/mervane-tango.h2m --output ${page} ${stage}/root/usr/bin/mervane-tango
      COMMAND gzip -9nf ${page}
      DEPENDS ${stage}/done ${MERVANE_PACKAGING_DIR}/mervane-tango.h2m VERBATIM)
    list(APPEND python_outputs ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${MERVANE_MAN1} COMPONENT python)
  endif()
  # One target for both: two targets sharing the stage would run its command twice at once.
  add_custom_target(mervane-python-stage ALL DEPENDS ${python_outputs})
elseif(MERVANE_INSTALLED_PATHS)
  message(FATAL_ERROR "python3-mervane needs Debian's /usr/bin/python3 with python3-setuptools")
endif()

# ---- every package: copyright and changelog ------------------------------------------------------
set(MERVANE_DEBIAN_VERSION ${PROJECT_VERSION})
file(STRINGS ${MERVANE_PACKAGING_DIR}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^mervane \\(${MERVANE_DEBIAN_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry must be version ${MERVANE_DEBIAN_VERSION}: ${changelog_head}")
endif()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${MERVANE_PACKAGING_DIR}/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${MERVANE_PACKAGING_DIR}/changelog)
add_custom_target(mervane-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

set(components lib dev tools python)
set(packages libmervane1 libmervane-dev mervane-tools python3-mervane)
foreach(component package IN ZIP_LISTS components packages)
  install(FILES ${MERVANE_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${MERVANE_DOC_DIR}/${package} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

# ---- CPack ---------------------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mervane)
set(CPACK_PACKAGE_VENDOR "mervane developers")
set(CPACK_PACKAGE_CONTACT "mervane developers <mervane@example.org>")
set(CPACK_PACKAGE_VERSION ${MERVANE_DEBIAN_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends from dpkg-shlibdeps; the tools' own library is not installed yet when they are
# packaged: it is found in the build folder, and the Depends on it comes from the component
# dependencies below (same version: the tools load the library's private modules).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Stripped binaries, the debug symbols dropped: CPack's -dbgsym packages list their files in
# md5sums by the build machine's paths and carry no copyright file.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_MULTIARCH same)
# CPack's own postinst and postrm run ldconfig; the trigger is what dpkg expects of a library.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${MERVANE_PACKAGING_DIR}/libmervane1/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "drive stepper motors on mervane USB boxes - shared library
libmervane drives stepper motors through small USB controller boxes (an FTDI
chip in asynchronous bit-bang mode, up to seven motor channels per box). The
host makes all motion: a 1 ms real-time tick ramps every running motor and
writes phase or step patterns to each box.

This package holds the shared library with its C interface and the module of
its control window (Qt 6), loaded only when a program shows the window.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DESCRIPTION "drive stepper motors on mervane USB boxes - development files
libmervane drives stepper motors through small USB controller boxes.

This package holds the C headers, the link to the shared library, the
pkg-config file mervane.pc and the CMake package config: find_package(mervane)
gives the imported target mervane::mervane.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_MULTIARCH foreign)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${MERVANE_PACKAGING_DIR}/mervane-tools/postinst ${MERVANE_PACKAGING_DIR}/mervane-tools/postrm)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "drive stepper motors on mervane USB boxes - tools
mervanectl lists the boxes, sets up their motor channels, moves, stops, zeroes
and releases motors from the shell; with --sim it works on the box emulator
shipped here instead of real boxes. mervane-panel shows the library's control
window. The udev rule gives the plugdev group and the logged-in user access to
the boxes.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_PYTHON_DEPENDS lib)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "mervane-tools")  # the emulator of simulate=True
# PyTango only for the console script mervane-tango: the package itself works without it.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-tango")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${MERVANE_PACKAGING_DIR}/python3-mervane/postinst ${MERVANE_PACKAGING_DIR}/python3-mervane/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "drive stepper motors on mervane USB boxes - Python 3
The Python package mervane drives the motors of mervane USB boxes (or of the
box emulator) through the installed shared library, with ctypes: no compiled
extension.

It also holds mervane-tango, a Tango device server for the motors of the
boxes a PC holds; it needs PyTango (python3-tango).")

include(CPack)

# The packages' soname, checked on the built tree with the other tests.
if(MERVANE_TESTS AND TARGET mervanectl)
  set(tools $<TARGET_FILE:mervanectl>)
  if(TARGET mervane-panel)
    list(APPEND tools $<TARGET_FILE:mervane-panel>)
  endif()
  add_test(NAME library_soname COMMAND ${CMAKE_COMMAND} -DREADELF=${CMAKE_READELF}
    -DLIBRARY=$<TARGET_FILE:mervane> -DLINK=$<TARGET_LINKER_FILE:mervane> "-DTOOLS=${tools}"
    -P ${MERVANE_PACKAGING_DIR}/tests/check_soname.cmake)
endif()
