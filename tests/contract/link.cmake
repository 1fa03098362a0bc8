# The client's ORB side against the stand-in server and the real one.
if(KOLVARO_BUILD_CLIENT AND TARGET kolvaro_processtest)
    add_executable(contract_link_tests ${CMAKE_CURRENT_LIST_DIR}/LinkTest.cpp)
    target_link_libraries(contract_link_tests PRIVATE kolvaro_client_core kolvaro_client_orb
                                                      kolvaro_processtest GTest::gtest)
    target_compile_definitions(contract_link_tests PRIVATE
        STAND_IN_SERVER="$<TARGET_FILE:kolvaro-stand-in-server>")
    find_program(OMNINAMES omniNames)
    if(OMNINAMES)
        target_compile_definitions(contract_link_tests PRIVATE KOLVARO_OMNINAMES="${OMNINAMES}")
    endif()
    add_dependencies(contract_link_tests kolvaro-stand-in-server)
    # A process per suite, as the ORB takes its options once; no site
    # configuration may point it elsewhere.
    foreach(suite StandIn NamingService)
        add_test(NAME contract.link.${suite} COMMAND contract_link_tests --gtest_filter=${suite}.*)
        set_tests_properties(contract.link.${suite} PROPERTIES
            TIMEOUT 120 ENVIRONMENT OMNIORB_CONFIG=/dev/null)
    endforeach()
endif()
