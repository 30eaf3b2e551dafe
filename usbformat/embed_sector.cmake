# Turns an assembled boot sector (INPUT, 512 bytes) into a C++ source file (OUTPUT) that defines
# the array quenvar::usbformat::NAME.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" length)
if(NOT length EQUAL 1024)
  message(FATAL_ERROR "${INPUT} is not 512 bytes")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "// Generated from ${SOURCE}.\n#include <cstdint>\n\n"
     "namespace quenvar::usbformat {\nextern const uint8_t ${NAME}[512];\n"
     "const uint8_t ${NAME}[512] = {${bytes}};\n}\n")
