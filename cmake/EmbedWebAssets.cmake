# cmake -DOUT=file.cpp -DDIR=src/office/web -P EmbedWebAssets.cmake
# Writes the page's files into a C++ source as raw string literals.
set(delimiter "kestova_web")
set(body "")
set(table "")
foreach(entry "index.html|text/html" "app.js|text/javascript" "app.css|text/css")
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 type)
  file(READ "${DIR}/${name}" text)
  string(FIND "${text}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${DIR}/${name} holds the literal's delimiter")
  endif()
  string(MAKE_C_IDENTIFIER "${name}" id)
  string(APPEND body "const char k_${id}[] = R\"${delimiter}(${text})${delimiter}\";\n")
  string(APPEND table "    {\"/${name}\", \"${type}; charset=utf-8\", k_${id}, sizeof k_${id} - 1},\n")
endforeach()
set(source "// Made by cmake/EmbedWebAssets.cmake from src/office/web; do not edit.
#include \"office/WebAssets.h\"

namespace {
${body}
const WebAsset kAssets[] = {
${table}};
}  // namespace

const WebAsset* FindWebAsset(const std::string& path) {
    for (const WebAsset& a : kAssets)
        if (path == a.path) return &a;
    return nullptr;
}
")
file(WRITE "${OUT}.tmp" "${source}")
file(RENAME "${OUT}.tmp" "${OUT}")
