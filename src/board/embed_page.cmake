# Builds the board's page into a C++ source: board.html with board.css and
# board.js put inline where the page links them, as one byte array.
#   cmake -DPAGE_DIR=src/board/page -DOUT=board_page_data.cpp -P embed_page.cmake
file(READ "${PAGE_DIR}/board.html" html)
file(READ "${PAGE_DIR}/board.css" css)
file(READ "${PAGE_DIR}/board.js" js)
set(css_link [[<link rel="stylesheet" href="board.css">]])
set(js_link [[<script src="board.js"></script>]])
string(FIND "${html}" "${css_link}" css_at)
string(FIND "${html}" "${js_link}" js_at)
if(css_at EQUAL -1 OR js_at EQUAL -1)
  message(FATAL_ERROR "board.html must link board.css and board.js as ${css_link} and ${js_link}")
endif()
# The nonce of each response goes where @NONCE@ stands (the server fills it).
string(REPLACE "${css_link}" "<style nonce=\"@NONCE@\">\n${css}</style>" html "${html}")
string(REPLACE "${js_link}" "<script nonce=\"@NONCE@\">\n${js}</script>" html "${html}")

file(WRITE "${OUT}.part" "${html}")
file(READ "${OUT}.part" hex HEX)
file(REMOVE "${OUT}.part")
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Break the array into lines of 16 bytes.
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp"
"// Generated from src/board/page/ by embed_page.cmake; do not edit.
#include <cstddef>
#include <string_view>

#include \"board/board_page.h\"

namespace tessarin {
namespace {
const char kPage[${size}] = {
${bytes}
};
}  // namespace

std::string_view BoardPageTemplate() { return std::string_view(kPage, sizeof kPage); }

}  // namespace tessarin
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
