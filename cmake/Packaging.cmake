# Debian packages (CPack): "velkaro-diag" for every installation and
# "velkaro-diag-sim", the simulated readers, which a real installation leaves
# out. scripts/package builds and checks them.
include(GNUInstallDirs)

set(VELKARO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VELKARO_DEBIAN_REVISION 1)
set(VELKARO_DEBIAN_VERSION ${PROJECT_VERSION}-${VELKARO_DEBIAN_REVISION})
set(VELKARO_GENERATED_DOC_DIR ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${VELKARO_GENERATED_DOC_DIR})

# Manual pages and changelogs are installed compressed; gzip -n keeps the
# packages reproducible (no name or time stamp in the archive).
function(velkaro_gzip source target)
  add_custom_command(OUTPUT ${target}
    COMMAND gzip -9nc ${source} > ${target}
    DEPENDS ${source} VERBATIM)
endfunction()

set(man_pages_diag velkaro-diag.1 velkaro-diag-log.1 velkaro-reg.1)
set(man_pages_sim velkaro-sim.1 velkaro-pcscd-sandbox.1)
set(packaging_outputs)
foreach(page ${man_pages_diag} ${man_pages_sim})
  velkaro_gzip(${PROJECT_SOURCE_DIR}/doc/man/${page} ${VELKARO_GENERATED_DOC_DIR}/${page}.gz)
  list(APPEND packaging_outputs ${VELKARO_GENERATED_DOC_DIR}/${page}.gz)
endforeach()

foreach(component diag sim)
  if(component STREQUAL "diag")
    set(PACKAGE velkaro-diag)
  else()
    set(PACKAGE velkaro-diag-sim)
  endif()
  set(VERSION ${VELKARO_DEBIAN_VERSION})
  configure_file(${VELKARO_PACKAGING_DIR}/changelog.in ${VELKARO_GENERATED_DOC_DIR}/${PACKAGE}.changelog @ONLY)
  velkaro_gzip(${VELKARO_GENERATED_DOC_DIR}/${PACKAGE}.changelog ${VELKARO_GENERATED_DOC_DIR}/${PACKAGE}.changelog.Debian.gz)
  list(APPEND packaging_outputs ${VELKARO_GENERATED_DOC_DIR}/${PACKAGE}.changelog.Debian.gz)
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PACKAGE})
  install(FILES ${VELKARO_PACKAGING_DIR}/copyright DESTINATION ${doc_dir} COMPONENT ${component})
  install(FILES ${VELKARO_GENERATED_DOC_DIR}/${PACKAGE}.changelog.Debian.gz DESTINATION ${doc_dir}
          RENAME changelog.Debian.gz COMPONENT ${component})
  foreach(page ${man_pages_${component}})
    install(FILES ${VELKARO_GENERATED_DOC_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
endforeach()
# The manual, laid out as in the source tree so that its links hold.
set(VELKARO_MANUAL_DIR ${CMAKE_INSTALL_DATADIR}/doc/velkaro-diag)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VELKARO_MANUAL_DIR} COMPONENT diag)
install(FILES ${PROJECT_SOURCE_DIR}/doc/user-guide.md ${PROJECT_SOURCE_DIR}/doc/admin-guide.md
              ${PROJECT_SOURCE_DIR}/doc/developer-guide.md
        DESTINATION ${VELKARO_MANUAL_DIR}/doc COMPONENT diag)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/doc/images DESTINATION ${VELKARO_MANUAL_DIR}/doc COMPONENT diag
        FILES_MATCHING PATTERN "*.png")
add_custom_target(velkaro_packaging_files ALL DEPENDS ${packaging_outputs})

# Maintainer scripts with the installed program directory filled in.
set(VELKARO_CONTROL_DIR ${CMAKE_BINARY_DIR}/packaging/control)
configure_file(${VELKARO_PACKAGING_DIR}/postinst ${VELKARO_CONTROL_DIR}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
foreach(script prerm postrm conffiles)
  configure_file(${VELKARO_PACKAGING_DIR}/${script} ${VELKARO_CONTROL_DIR}/${script} COPYONLY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkaro-diag)
set(CPACK_PACKAGE_VENDOR ${VELKARO_VENDOR})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VELKARO <support@velkaro.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL diag sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELKARO_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.velkaro.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DIAG_PACKAGE_NAME velkaro-diag)
set(CPACK_DEBIAN_DIAG_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DIAG_PACKAGE_RECOMMENDS "pcscd, pkexec")
set(CPACK_DEBIAN_DIAG_PACKAGE_SUGGESTS "pcsc-tools")
set(CPACK_DEBIAN_DIAG_PACKAGE_CONTROL_EXTRA
    "${VELKARO_CONTROL_DIR}/postinst;${VELKARO_CONTROL_DIR}/prerm;${VELKARO_CONTROL_DIR}/postrm;${VELKARO_CONTROL_DIR}/conffiles")
set(CPACK_COMPONENT_DIAG_DESCRIPTION "diagnostic tool for smart card readers
 One window shows whether the smart card service (pcscd) runs, which readers
 are present with firmware, driver and ports, which card sits in each reader
 and which versions of the reader-related files are installed. It writes a
 plain-text diagnostic log for support (also without a window, over SSH:
 velkaro-diag-log) and edits the contactless reader driver's settings.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME velkaro-diag-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "pcscd")
# libzelbric.so is a run-time loaded module with an unversioned name (no
# shlibs file); the trigger refreshes the linker cache that finds it.
set(CPACK_DEBIAN_SIM_PACKAGE_CONTROL_EXTRA "${VELKARO_PACKAGING_DIR}/triggers")
set(CPACK_COMPONENT_SIM_DESCRIPTION "simulated smart card readers for the VELKARO diagnostic tool
 A pcsc-lite reader driver that presents simulated VELKARO readers and cards
 from plain text scenario files, velkaro-sim to change them while pcscd runs,
 the CT-API library libzelbric.so, the demo scenario and
 velkaro-pcscd-sandbox, which runs a private pcscd with all of this. For
 demonstrations and tests; a real installation does not need it.")

include(CPack)
