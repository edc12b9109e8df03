# Makes a C++ source that holds a text file of the tree as a character
# array, so the program carries it (the status page's HTML and CSS).
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=identifier -P embed_text.cmake
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
  "// Made at build time from ${INPUT}; do not edit.\n"
  "#include <string_view>\n"
  "namespace host {\n"
  "namespace {\n"
  "constexpr char k_bytes[] = {${bytes}'\\0'};\n"
  "}  // namespace\n"
  "extern const std::string_view ${NAME}(k_bytes, sizeof k_bytes - 1);\n"
  "}  // namespace host\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
