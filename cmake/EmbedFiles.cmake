# Turns the files of the status page into one C++ source, at build time, so
# that the daemon serves them without reading anything at run time.
#   cmake -DSOURCE_DIR=<dir> -DOUTPUT=<file.cc> -DFILES=a,b -P EmbedFiles.cmake
# Paths in FILES are relative to SOURCE_DIR and are the paths the page asks for.
string(REPLACE "," ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(file ${FILES})
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char file${index}[] = {\n${bytes}0};\n")
  if(file MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(file MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(file MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "text/plain; charset=utf-8")
  endif()
  string(APPEND table "    {\"${file}\", file${index}, ${size}, \"${type}\"},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by cmake/EmbedFiles.cmake from status_page/web/; do not edit.
#include <string.h>

#include \"status_page/StatusPage.h\"

namespace {
${body}
struct BuiltInFile {
    const char* path;
    const unsigned char* content;
    size_t size;
    const char* type;
};
const BuiltInFile files[] = {
${table}};
}  // namespace

bool STATUS_PAGE::builtInFile(const std::string& path, std::string& content, std::string& type) {
    for (const BuiltInFile& file : files) {
        if (path != file.path) continue;
        content.assign(reinterpret_cast<const char*>(file.content), file.size);
        type = file.type;
        return true;
    }
    return false;
}
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
