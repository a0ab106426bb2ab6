// The board's web page, built into the program from src/board/page/.
#pragma once

#include <string>
#include <string_view>

namespace tessarin {

/// The page with its style and script inline; each "@NONCE@" stands for the
/// nonce of one response (BoardPage fills them).
std::string_view BoardPageTemplate();

/// The page for one response whose Content-Security-Policy allows `nonce`.
std::string BoardPage(const std::string& nonce);

}  // namespace tessarin
