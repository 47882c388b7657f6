# Writes qmxhost(1) as the built qmxhost prints it, gzipped as Debian wants
# it: cmake -DPROGRAM=... [-DEMULATOR=...] -DOUT=qmxhost.1 -P manual_page.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} manual OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} manual: ${status}")
endif()
execute_process(COMMAND gzip -9nf ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${OUT}: ${status}")
endif()
