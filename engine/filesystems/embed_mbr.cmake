# Turns the assembled MBR (INPUT, 512 bytes) into a C++ source file (OUTPUT) defining
# quillden::fs::kHybridMbrCode.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" length)
if(NOT length EQUAL 1024)
  message(FATAL_ERROR "${INPUT} is not 512 bytes")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "// Generated from hybrid_mbr.S.\n#include \"filesystems/hybrid_image.h\"\n\n"
     "namespace quillden::fs {\nconst uint8_t kHybridMbrCode[512] = {${bytes}};\n}\n")
