# Writes OUTPUT, a C++ header holding each of FILES (separated by | or ;) as bytes with its URL
# path (/ for index.html, /NAME for the others) and its content type, so that qm4720d serves its
# page without reading any file of its own at run time.
#   cmake -DOUTPUT=web_assets.h "-DFILES=index.html|app.js|style.css" -P embed.cmake
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")

string(REPLACE "|" ";" FILES "${FILES}")
set(entries "")
set(arrays "")
set(n 0)
foreach(file IN LISTS FILES)
    get_filename_component(name ${file} NAME)
    get_filename_component(ext ${file} LAST_EXT)
    string(SUBSTRING "${ext}" 1 -1 ext)
    if(NOT DEFINED types_${ext})
        message(FATAL_ERROR "${file}: no content type known for .${ext}")
    endif()
    set(path "/${name}")
    if(name STREQUAL "index.html")
        set(path "/")
    endif()
    file(READ ${file} hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    # Bytes rather than a string literal: a page is longer than a literal may portably be.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(REGEX REPLACE "(([^,]*,){16})" "\\1\n    " bytes "${bytes}")
    string(APPEND arrays "inline constexpr char kWebAsset${n}[${size}] = {\n    ${bytes}};\n")
    string(APPEND entries "    {\"${path}\", \"${types_${ext}}\", {kWebAsset${n}, ${size}}},\n")
    math(EXPR n "${n} + 1")
endforeach()

file(WRITE ${OUTPUT}.new
"// Generated from service/http/web/ by service/http/web/embed.cmake: do not edit.
#pragma once

#include <string_view>

namespace service {

struct WebAsset {
    std::string_view path;
    std::string_view contentType;
    std::string_view body;
};

${arrays}
inline constexpr WebAsset kWebAssets[] = {
${entries}};

}  // namespace service
")
# Rewritten only when it changed, so that an unchanged page rebuilds nothing.
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
