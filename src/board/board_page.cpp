#include "board/board_page.h"

namespace tessarin {

std::string BoardPage(const std::string& nonce) {
  static constexpr std::string_view kMark = "@NONCE@";
  const std::string_view page = BoardPageTemplate();
  std::string text;
  text.reserve(page.size() + 4 * nonce.size());
  std::size_t at = 0;
  for (std::size_t mark = page.find(kMark); mark != std::string_view::npos;
       mark = page.find(kMark, at)) {
    text.append(page.substr(at, mark - at));
    text += nonce;
    at = mark + kMark.size();
  }
  text.append(page.substr(at));
  return text;
}

}  // namespace tessarin
