# ozlaunch --log against a relay that never answers: the file keeps the launcher's
# lines and the session library's, the console only the launcher's.
file(REMOVE "${LOG}")
execute_process(COMMAND ${EMULATOR} ${LAUNCHER} --relay 127.0.0.1:9 --session x --timeout 1 --name tester
                        --log "Z:${LOG}" -- ${GAME}
                RESULT_VARIABLE code OUTPUT_VARIABLE console ERROR_VARIABLE console)
if(NOT code EQUAL 3)
    message(FATAL_ERROR "exit code ${code}, not 3: ${console}")
endif()
file(READ "${LOG}" log)
foreach(expected "ozlaunch: joining session 'x' on 127.0.0.1:9 as tester\n" "Connect() 127.0.0.1:9 remote:0"
        "ozlaunch: the relay service at 127.0.0.1:9 did not answer")
    string(FIND "${log}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the log lacks '${expected}':\n${log}")
    endif()
endforeach()
string(FIND "${console}" "ozlaunch: joining session 'x'" at)
if(at EQUAL -1)
    message(FATAL_ERROR "the console lacks the launcher's line:\n${console}")
endif()
string(FIND "${console}" "Connect()" at)
if(NOT at EQUAL -1)
    message(FATAL_ERROR "the session library's lines reached the console:\n${console}")
endif()
