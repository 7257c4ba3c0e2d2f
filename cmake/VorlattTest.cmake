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
