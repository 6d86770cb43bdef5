# What a Windows install carries beside Zelnor-Kumat-Senkronizasyon.exe: Qt's
# DLLs, the plugins it loads at run time and the mingw-w64 runtime. The target
# kumat_windows_runtime copies them into the build's bin/ (where the program and
# the test programs are written, so both run from there as installed);
# `cmake --install` lays out the same folder for a user's machine.

set(kumat_qt_prefix "${QT6_INSTALL_PREFIX}")
set(kumat_qt_modules Core Gui Widgets Network Svg)
# platforms: the Windows plugin, and offscreen for the test programs only
set(kumat_qt_plugins
    platforms/qwindows
    tls/qschannelbackend
    imageformats/qsvg
    # draws the SVG application icon at every size the tray and title bar ask for
    iconengines/qsvgicon
    styles/qwindowsvistastyle)
set(kumat_qt_test_plugins platforms/qoffscreen)

# The C++ runtime the compiler links against (the POSIX-thread one).
set(kumat_mingw_runtime)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    list(APPEND kumat_mingw_runtime "${found}")
endforeach()

set(kumat_qt_dlls)
foreach(module ${kumat_qt_modules})
    list(APPEND kumat_qt_dlls "${kumat_qt_prefix}/bin/Qt6${module}.dll")
endforeach()

set(bin "${CMAKE_BINARY_DIR}/bin")
set(copies)
function(kumat_runtime_copy source destination)
    get_filename_component(folder "${destination}" DIRECTORY)
    add_custom_command(OUTPUT "${destination}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
        COMMAND ${CMAKE_COMMAND} -E copy_if_different "${source}" "${destination}"
        DEPENDS "${source}" VERBATIM)
    set(copies ${copies} "${destination}" PARENT_SCOPE)
endfunction()

foreach(dll ${kumat_qt_dlls} ${kumat_mingw_runtime})
    get_filename_component(name "${dll}" NAME)
    kumat_runtime_copy("${dll}" "${bin}/${name}")
endforeach()
foreach(plugin ${kumat_qt_plugins} ${kumat_qt_test_plugins})
    kumat_runtime_copy("${kumat_qt_prefix}/plugins/${plugin}.dll" "${bin}/${plugin}.dll")
endforeach()
if(KUMAT_BUILD_TESTS)
    kumat_runtime_copy("${kumat_qt_prefix}/bin/Qt6Test.dll" "${bin}/Qt6Test.dll")
endif()
add_custom_target(kumat_windows_runtime ALL DEPENDS ${copies})

install(FILES ${kumat_qt_dlls} ${kumat_mingw_runtime} DESTINATION .)
foreach(plugin ${kumat_qt_plugins})
    get_filename_component(folder "${plugin}" DIRECTORY)
    install(FILES "${kumat_qt_prefix}/plugins/${plugin}.dll" DESTINATION "${folder}")
endforeach()
