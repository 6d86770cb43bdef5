# The Windows build's test programs run under Wine on the Linux machine that
# builds them (scripts/wine-test-run is CTest's emulator for every one). Programs
# that exist only on the host, the reference server, openssl, the TLS front
# of the scripted responder, mv (a rename of letter case only) and sqlite3 (the
# history driver's changes to the server's store), are reached
# through Windows stand-ins that hand the call to a broker on the host.

set(KUMAT_NATIVE_SERVER "" CACHE FILEPATH
    "The Linux build's kumat-server, which the Windows tests use over HTTPS on loopback")
set(KUMAT_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix of the test runs")

set(CMAKE_CROSSCOMPILING_EMULATOR
    ${PROJECT_SOURCE_DIR}/scripts/wine-test-run
    --prefix ${KUMAT_WINEPREFIX}
    --host-command kumat-server=${KUMAT_NATIVE_SERVER}
    --host-command openssl=/usr/bin/openssl
    --host-command kumat-tls-front=${PROJECT_SOURCE_DIR}/scripts/wine-tls-front
    --host-command mv=/bin/mv
    --host-command sqlite3=/usr/bin/sqlite3
    --)

set(kumat_host_command_dir "${CMAKE_BINARY_DIR}/bin/hostcmd")
set(KUMAT_WINDOWS_SERVER_BIN "Z:${kumat_host_command_dir}/kumat-server.exe")
add_custom_target(kumat_host_commands)
foreach(command kumat-server openssl kumat-tls-front mv sqlite3)
    add_executable(host_${command} ${PROJECT_SOURCE_DIR}/tests/windows/hostcommand_win.c)
    target_link_libraries(host_${command} PRIVATE ws2_32)
    target_link_options(host_${command} PRIVATE -municode)
    set_target_properties(host_${command} PROPERTIES
        OUTPUT_NAME ${command}
        AUTOMOC OFF
        RUNTIME_OUTPUT_DIRECTORY ${kumat_host_command_dir})
    add_dependencies(kumat_host_commands host_${command})
endforeach()

# Nothing is excused as a whole test function under Wine: a test marks the one
# check Wine cannot pass with QEXPECT_FAIL when TestPlatform::underWine(). A
# list of excused functions from an earlier configuration must not linger
# beside the programs, where Qt Test would still read it.
file(REMOVE "${CMAKE_BINARY_DIR}/bin/BLACKLIST")
