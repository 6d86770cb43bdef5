# The Windows build's test programs run under Wine on the Linux machine that
# builds them (scripts/wine-test-run is CTest's emulator for every one). Programs
# that exist only on the host, the reference server, openssl, the TLS front
# of the scripted responder and mv (a rename of letter case only), are reached
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
    --)

set(kumat_host_command_dir "${CMAKE_BINARY_DIR}/bin/hostcmd")
set(KUMAT_WINDOWS_SERVER_BIN "Z:${kumat_host_command_dir}/kumat-server.exe")
add_custom_target(kumat_host_commands)
foreach(command kumat-server openssl kumat-tls-front mv)
    add_executable(host_${command} ${PROJECT_SOURCE_DIR}/tests/windows/hostcommand_win.c)
    target_link_libraries(host_${command} PRIVATE ws2_32)
    target_link_options(host_${command} PRIVATE -municode)
    set_target_properties(host_${command} PROPERTIES
        OUTPUT_NAME ${command}
        AUTOMOC OFF
        RUNTIME_OUTPUT_DIRECTORY ${kumat_host_command_dir})
    add_dependencies(kumat_host_commands host_${command})
endforeach()

# Test cases that fail under Wine because Wine is not Windows there, not
# because of the program or the test: each stays visible (Qt Test reports it as
# BFAIL, and as BPASS once it passes) without failing the run. One entry per case:
#   <test binary> <function>[:<data tag>] <reason>
set(wine_links "a link made with CreateSymbolicLinkW is a plain entry to a Windows program under Wine")
set(wine_trash "Wine refuses the move into the Recycle Bin: the file stays and the refusal is reported, the program's answer to a refused trash")
set(KUMAT_WINE_EXPECTED_FAILURES
    tst_syncpaths "linkedParentRefused:through a link outside" "${wine_links}"
    tst_syncpaths "linkedParentRefused:deep through a link outside" "${wine_links}"
    tst_syncpaths "linkedParentRefused:through a link back inside" "${wine_links}"
    tst_syncpaths "linkedParentRefused:link deeper down" "${wine_links}"
    tst_syncpaths "deepPathOnAWindowsSizedStack:below a link" "${wine_links}"
    tst_localscan linksToFilesReadThrough "${wine_links}"
    tst_passdeletions folderMadeAgainAfterPortalDeletion "${wine_trash}"
    tst_passdeletions mobileDeletionMovesLocalCopyToTrash "${wine_trash}"
    tst_passconvergence twoDevicesConverge "${wine_trash}"
    tst_passwordprotection "refused:damaged blob" "Wine's CryptUnprotectData decrypts a blob damaged in its middle, which Windows refuses"
)

# Qt Test reads BLACKLIST beside the program; the test runner puts the binary's
# name into QTEST_ENVIRONMENT, so an entry holds only for its own binary.
set(blacklist "# generated from KUMAT_WINE_EXPECTED_FAILURES in cmake/WineTests.cmake\n")
list(LENGTH KUMAT_WINE_EXPECTED_FAILURES count)
if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE 0 ${last} 3)
        math(EXPR f "${i} + 1")
        math(EXPR r "${i} + 2")
        list(GET KUMAT_WINE_EXPECTED_FAILURES ${i} binary)
        list(GET KUMAT_WINE_EXPECTED_FAILURES ${f} function)
        list(GET KUMAT_WINE_EXPECTED_FAILURES ${r} reason)
        string(APPEND blacklist "# ${reason}\n[${function}]\n${binary}\n")
    endforeach()
endif()
file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/bin/BLACKLIST" CONTENT "${blacklist}")
