# Writes a C++ source that holds the bytes of the two flash catalogues, for builds without module
# resources. Included with IDENTIFICATION, OPERATIONS and OUTPUT set (or run with -D... -P).

function(embed_array var file out)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Line breaks every 16 bytes keep the generated file readable for compilers and people alike.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  set(${out} "extern const unsigned char ${var}[] = {\n    ${bytes}\n};\nextern const std::size_t ${var}Size = ${size};\n" PARENT_SCOPE)
endfunction()

embed_array(kFlashIdentificationCsv "${IDENTIFICATION}" ident)
embed_array(kFlashOperationCsv "${OPERATIONS}" ops)
file(WRITE "${OUTPUT}.tmp" "// Generated from the flash catalogue CSV files; do not edit.\n#include <cstddef>\n\n${ident}\n${ops}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
