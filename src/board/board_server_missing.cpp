// The board where the HTTP library was not found at build time: it says so.
#include "board/board_server.h"

namespace tessarin {

class BoardServer::Impl : public StationEvents {
 public:
  void OnEvent(const StationEvent&) override {}
  BoardAccess m_access;
};

BoardServer::BoardServer(const SlotBoard&, RecordStore&, BoardInfo,
                         std::optional<std::vector<std::string>>, BoardOptions)
    : m_impl(std::make_unique<Impl>()) {}

BoardServer::~BoardServer() = default;

StationEvents& BoardServer::Watcher() { return *m_impl; }

bool BoardServer::Start(std::string* error) {
  if (error) *error = "the board is not built into this tessarin-cli (cpp-httplib was not found)";
  return false;
}

const BoardAccess& BoardServer::Access() const { return m_impl->m_access; }

void BoardServer::Stop() {}

std::size_t BoardServer::Connections() const { return 0; }

std::uint64_t BoardServer::DroppedClients() const { return 0; }

}  // namespace tessarin
