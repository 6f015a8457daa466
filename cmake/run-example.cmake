# Runs an example host and checks its exit code, its output and the WAV file it wrote.
#   cmake -DPROGRAM=exe "-DARGS=a;b;c" -DEXPECT_RESULT=0 -DEXPECT_OUTPUT=regex
#         [-DWAV=file -DWAV_BYTES=n] [-DEMULATOR=wine] -P run-example.cmake
if(DEFINED WAV)
    file(REMOVE "${WAV}")
endif()
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" ${ARGS}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT "${result}" STREQUAL "${EXPECT_RESULT}")
    message(FATAL_ERROR "${PROGRAM} exited with ${result}, expected ${EXPECT_RESULT}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT_OUTPUT}")
    message(FATAL_ERROR "output does not match '${EXPECT_OUTPUT}'")
endif()
if(DEFINED WAV_BYTES)
    if(NOT EXISTS "${WAV}")
        message(FATAL_ERROR "${WAV} was not written")
    endif()
    file(SIZE "${WAV}" size)
    file(READ "${WAV}" header LIMIT 4 HEX)  # "RIFF"
    if(NOT size EQUAL WAV_BYTES OR NOT header STREQUAL "52494646")
        message(FATAL_ERROR "${WAV}: ${size} bytes, expected a RIFF file of ${WAV_BYTES}")
    endif()
endif()
