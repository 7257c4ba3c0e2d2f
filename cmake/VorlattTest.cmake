# vorlatt_add_test(TestName LIBS lib... [SOURCES extra.cpp...])
# Builds tests/<area>/TestName.cpp into a Qt Test executable run by ctest offscreen.
function(vorlatt_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "LIBS;SOURCES" ${ARGN})
    qt_add_executable(${name} ${name}.cpp ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt::Test ${T_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    # Tests use the window's generated form from the app library rather than generating their own.
    set_target_properties(${name} PROPERTIES AUTOUIC OFF)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VORLATT_TEST_DATA=${CMAKE_CURRENT_SOURCE_DIR}/data"
        TIMEOUT ${T_TIMEOUT})
endfunction()

# pxlib is an independent Paradox implementation, used only by tests to read our tables back; the
# program never links it. ./run installs no test packages, so it may be missing.
find_package(PkgConfig)
if(PkgConfig_FOUND)
    pkg_check_modules(PXLIB IMPORTED_TARGET GLOBAL pxlib)
endif()
if(NOT PXLIB_FOUND)
    message(STATUS "pxlib not found: tables are not read back by a second implementation")
endif()

# vorlatt_read_back_with_pxlib(Target): links pxlib into a test that checks its Paradox files
# with it where it is installed, and defines VORLATT_HAVE_PXLIB there.
function(vorlatt_read_back_with_pxlib target)
    if(PXLIB_FOUND)
        target_link_libraries(${target} PRIVATE PkgConfig::PXLIB)
        target_compile_definitions(${target} PRIVATE VORLATT_HAVE_PXLIB)
    endif()
endfunction()
