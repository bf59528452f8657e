# cmake -DINPUT=json2.js -DOUTPUT=json2_script.cpp -P embed_json2.cmake
# Writes the bytes of INPUT as the array declared in support/json2_script.h.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.
#include \"support/json2_script.h\"

namespace varnelo {

const unsigned char kJson2Script[] = {
${bytes}
};
const std::size_t kJson2ScriptSize = ${size};

}  // namespace varnelo
")
