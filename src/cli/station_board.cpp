#include "cli/station_board.h"

#include <filesystem>
#include <ostream>

#include "cli/exit_codes.h"
#include "image/rom_image.h"
#include "platform/process.h"
#include "store/open_record_store.h"

namespace tessarin {

std::unique_ptr<StationBoard> StartStationBoard(const StationOptions& options,
                                                const StationConfig& config, SlotBoard& board,
                                                Console& console, int* code) {
  if (options.m_board.empty()) return nullptr;
  std::string error;
  BoardOptions boardOptions;
  const auto address = ParseBoardAddress(options.m_board, &error);
  if (!address) {
    *code = console.Fail(EXIT_BAD_INPUT, "--board " + options.m_board + ": " + error);
    return nullptr;
  }
  boardOptions.m_address = *address;
  if (!options.m_boardToken.empty() && !CheckBoardToken(options.m_boardToken, &error)) {
    // The token itself is never printed.
    *code = console.Fail(EXIT_BAD_INPUT, "--board-token: " + error);
    return nullptr;
  }
  boardOptions.m_token = options.m_boardToken;

  BoardInfo info;
  info.m_station = config.m_stationName;
  info.m_imagePath = config.m_imagePath;
  info.m_imageFile = std::filesystem::path(config.m_imagePath).filename().string();
  info.m_imageSize = config.m_image->ImageSize();
  const ImageFields fields = ParseImageFields(config.m_image->ImageData());
  if (fields.m_hasHeader) {
    info.m_version = FormatVersion(fields.m_versionMajor, fields.m_versionMinor);
    info.m_cur = FormatCur(fields.m_cur);
  }
  info.m_sha256 = config.m_imageSha256;
  std::optional<std::vector<std::string>> list;
  if (config.m_serials && !config.m_serials->m_format) list = config.m_serials->m_list;

  auto served = std::make_unique<StationBoard>();
  served->m_store = OpenRecordStore(options.m_db, &error);
  if (!served->m_store) {
    *code = console.Fail(EXIT_BAD_INPUT, "--board: record store " + options.m_db + ": " + error);
    return nullptr;
  }
  served->m_server = std::make_unique<BoardServer>(board, *served->m_store, std::move(info),
                                                   std::move(list), std::move(boardOptions));
  if (!served->m_server->Start(&error)) {
    *code = console.Fail(EXIT_BAD_INPUT, "--board " + options.m_board + ": " + error);
    return nullptr;
  }
  board.AddWatcher(served->m_server->Watcher());
  return served;
}

void PrintBoardUrl(const StationBoard& board, const StationOptions& options, Console& console) {
  const bool madeToken = options.m_boardToken.empty();
  std::string line = "Board: " + BoardUrl(board.m_server->Access(), HostName(), madeToken);
  if (!madeToken) line += " (add ?token= and the --board-token text)";
  std::ostream& out = console.m_json ? console.m_err : console.m_out;
  out << line << '\n';
  out.flush();
}

}  // namespace tessarin
