# make package: the controller's tarball (the stripped plug-in, an example
# configuration and the install note) and a Debian package of the bench
# host and the simulator with the plug-in they load, the example
# configuration and a systemd unit. Each generator packs its own component;
# packaging/cpack_components.cmake picks it.

install(TARGETS qv5810 LIBRARY DESTINATION plugins COMPONENT controller)
install(FILES examples/qv5810.json docs/install.md DESTINATION . COMPONENT controller)

if(QV5810_BUILD_TOOLS)
    # The service's configuration is the example with what the service
    # adds: its history in its state directory, and only troubles and
    # alarms in the journal.
    file(READ ${PROJECT_SOURCE_DIR}/examples/qv5810.json example)
    string(JSON packaged SET "${example}" history "\"/var/lib/qv5810/qv5810.db\"")
    string(JSON packaged SET "${packaged}" output "\"quiet\"")
    file(WRITE ${CMAKE_BINARY_DIR}/packaged/qv5810.json "${packaged}\n")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/qv5810.json)

    install(TARGETS qmxhost qv5810-sim RUNTIME DESTINATION bin COMPONENT bench)
    install(TARGETS qv5810 qmxruntime LIBRARY DESTINATION ${QV5810_PACKAGE_LIBDIR} COMPONENT bench)
    install(FILES ${CMAKE_BINARY_DIR}/packaged/qv5810.json DESTINATION ${QV5810_PACKAGE_CONFDIR} COMPONENT bench)
    install(FILES packaging/qmxhost@.service DESTINATION lib/systemd/system COMPONENT bench)
    install(FILES packaging/modules-load.conf DESTINATION lib/modules-load.d RENAME qv5810.conf COMPONENT bench)
    install(FILES README.md docs/install.md packaging/copyright DESTINATION share/doc/qv5810-bench COMPONENT bench)
    install(FILES examples/site.json examples/qv5810.json DESTINATION share/doc/qv5810-bench/examples COMPONENT bench)
    # The page from this build's own settings table; the changelog as Debian keeps it.
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaged/qmxhost.1.gz
        COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DPROGRAM=$<TARGET_FILE:qmxhost>
                -DOUT=${CMAKE_BINARY_DIR}/packaged/qmxhost.1 -P ${PROJECT_SOURCE_DIR}/cmake/manual_page.cmake
        DEPENDS qmxhost ${PROJECT_SOURCE_DIR}/cmake/manual_page.cmake VERBATIM)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaged/changelog.gz
        COMMAND sh -c "gzip -9nc '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${CMAKE_BINARY_DIR}/packaged/changelog.gz'"
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
    add_custom_target(package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/packaged/qmxhost.1.gz ${CMAKE_BINARY_DIR}/packaged/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaged/qmxhost.1.gz DESTINATION share/man/man1 COMPONENT bench)
    install(FILES ${CMAKE_BINARY_DIR}/packaged/changelog.gz DESTINATION share/doc/qv5810-bench COMPONENT bench)
    set_target_properties(qmxhost PROPERTIES INSTALL_RPATH "$ORIGIN/../${QV5810_PACKAGE_LIBDIR}")
endif()

set(CPACK_PACKAGE_NAME qv5810)
set(CPACK_PACKAGE_VENDOR "qv5810")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench host and simulator for the QV5810 power meter")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_components.cmake)
set(CPACK_QV5810_DEB_PREFIX ${QV5810_PACKAGE_PREFIX})

# The tarball's name, and the folder it unpacks into.
set(CPACK_PACKAGE_FILE_NAME "qv5810-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_ARCHIVE_CONTROLLER_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})

# The Debian architecture of what is built: a cross build says so itself,
# by the multiarch triplet its toolchain names.
set(debian_architectures arm-linux-gnueabihf=armhf aarch64-linux-gnu=arm64)
foreach(pair ${debian_architectures})
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 triplet)
    if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL triplet)
        list(GET pair 1 CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    endif()
endforeach()
set(CPACK_DEBIAN_BENCH_PACKAGE_NAME qv5810-bench)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qv5810 developers <qv5810@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_BENCH_DESCRIPTION "qmxhost loads the qv5810 controller plug-in and polls QV5810 meters on a
Modbus RTU line or over Modbus TCP, storing the records in SQLite;
qv5810-sim simulates the meters. The qmxhost@.service unit runs one
configuration of /etc/qv5810 as a service.")
# dpkg-shlibdeps names every library linked in (libmodbus5, libsqlite3-0,
# libjsoncpp25, the C++ runtime ...): a library added to qmxhost later, such
# as libsodium23 for the logins, comes with its package without a word
# here; its armhf and arm64 -dev packages go in cmake/deps.sh. Name here only what is
# run, not linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
# The zone database the site's time zone is read from (site_timezone).
set(CPACK_DEBIAN_BENCH_PACKAGE_DEPENDS "tzdata")
set(CPACK_DEBIAN_BENCH_PACKAGE_RECOMMENDS "socat")
set(CPACK_DEBIAN_BENCH_PACKAGE_SUGGESTS "sqlite3")
set(CPACK_DEBIAN_BENCH_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
