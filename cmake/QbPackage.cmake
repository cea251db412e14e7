# The Debian package (scripts/package.sh): install rules and CPack's DEB generator. Programs in
# /usr/bin, the schema library private in /usr/lib/quillbarn, sql/ conf/ and the MariaDB shell library
# in /usr/share/quillbarn (where quillbarn-provision looks, relative to itself), the systemd units,
# and a manual page made from each program's --help.
set(QB_PROGRAMS Quillbarn QuillbarnService scmctl infoqry devsim seqcheck schemalift-cli)
install(TARGETS ${QB_PROGRAMS} RUNTIME DESTINATION bin)
install(TARGETS schemalift LIBRARY DESTINATION lib/quillbarn)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/provision/quillbarn-provision DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sql/ DESTINATION share/quillbarn/sql FILES_MATCHING PATTERN "*.sql")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/conf/ DESTINATION share/quillbarn/conf)
install(FILES ${CMAKE_SOURCE_DIR}/scripts/lib/mariadb.sh DESTINATION share/quillbarn)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/quillbarn@.service
              ${CMAKE_SOURCE_DIR}/packaging/systemd/quillbarn-db@.service DESTINATION lib/systemd/system)

# Documentation Debian wants in every package: copyright and a changelog, gzipped reproducibly.
set(_doc ${CMAKE_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${_doc})
add_custom_command(OUTPUT ${_doc}/changelog.gz
                   COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_doc}/changelog.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${_doc}/changelog.gz DESTINATION share/doc/quillbarn)

set(_pages ${_doc}/changelog.gz)
foreach(p ${QB_PROGRAMS} quillbarn-provision)
    if(p STREQUAL "quillbarn-provision")
        set(_cmd ${CMAKE_SOURCE_DIR}/tools/provision/quillbarn-provision)
        set(_dep ${_cmd})
    else()
        set(_cmd $<TARGET_FILE:${p}>)
        set(_dep ${p})
    endif()
    add_custom_command(OUTPUT ${_doc}/${p}.1.gz
                       COMMAND ${CMAKE_SOURCE_DIR}/packaging/help2man.sh ${p} ${PROJECT_VERSION} ${_doc}/${p}.1.gz ${_cmd}
                       DEPENDS ${_dep} ${CMAKE_SOURCE_DIR}/packaging/help2man.sh)
    list(APPEND _pages ${_doc}/${p}.1.gz)
    install(FILES ${_doc}/${p}.1.gz DESTINATION share/man/man1)
endforeach()
add_custom_target(qb_package_doc ALL DEPENDS ${_pages})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbarn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Quillbarn maintainers <maintainers@quillbarn.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "log data center for SSL VPN gateways")
set(CPACK_PACKAGE_DESCRIPTION "Quillbarn receives the binary log streams of a fleet of SSL VPN
gateways, validates every record and stores it in the gateway's own
MariaDB database; it cleans, repairs and summarises those databases.
The package holds the collector, its watchdog, the schema-upgrade
library, the provisioning tool for install trees and systemd units.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries' packages (MariaDB client, TinyXML, LZO, libdw, OpenSSL, libc) come from
# dpkg-shlibdeps; the schema library is our own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mariadb-server, mariadb-client")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
