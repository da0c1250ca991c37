# Writes OUTPUT, a C++ file holding each of FILES (names in SOURCE_DIR) as
# bytes, with its content type: the table web/web_assets.cc looks pages
# up in. Run by the build (cmake -P) whenever one of the files changes.
#
#   cmake -DSOURCE_DIR=DIR -DOUTPUT=FILE "-DFILES=a.html;b.css" -P embed_pages.cmake

set(types_html "text/html; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_png "image/png")
set(types_svg "image/svg+xml")

set(arrays "")
set(rows "")
set(index 0)
foreach(name IN LISTS FILES)
  get_filename_component(ext "${name}" LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  if(NOT DEFINED types_${ext})
    message(FATAL_ERROR "embed_pages: no content type for ${name}")
  endif()
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  # 16 bytes a line, each as \xNN, one string literal per line.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(REPEAT "\\\\x[0-9a-f][0-9a-f]" 16 line)
  string(REGEX REPLACE "(${line})" "\\1\"\n    \"" escaped "${escaped}")
  string(APPEND arrays "// ${name}\nconst char kFile${index}[] =\n    \"${escaped}\";\n")
  string(APPEND rows "    {\"${name}\", \"${types_${ext}}\", {kFile${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(text "// Made by web/embed_pages.cmake from web/pages/; do not edit.\n")
string(APPEND text "#include \"web/web_assets.h\"\n\nnamespace quillo {\nnamespace {\n\n")
string(APPEND text "${arrays}\n}  // namespace\n\n")
string(APPEND text "const WebAsset kWebAssets[] = {\n${rows}};\n")
string(APPEND text "const std::size_t kWebAssetCount = ${index};\n\n}  // namespace quillo\n")
# Rewritten only when it changes, so that an unchanged page set compiles
# nothing again.
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${text}" @ONLY)
