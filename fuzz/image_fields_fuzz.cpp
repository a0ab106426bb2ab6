// Feeds arbitrary bytes to the image field parser and the Burn decision built on it.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "image/compat_state.h"
#include "image/rom_image.h"
#include "ui/burn_decision.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  const std::span<const uint8_t> image(data, size);
  const ImageFields fields = ParseImageFields(image);
  Check(fields.m_hasHeader == (size >= static_cast<size_t>(kHeaderMinSize)));
  Check(fields.m_hasIdArea == (size >= static_cast<size_t>(kIdBlockMinSize)));
  Check(!fields.m_hasIds || fields.m_hasIdArea);

  if (fields.m_hasHeader) {
    Check(!FormatVersion(fields.m_versionMajor, fields.m_versionMinor).empty());
    Check(!FormatCur(fields.m_cur).empty());
    // An image built from the parsed fields parses back to them.
    std::optional<ImageIds> ids;
    if (fields.m_hasIds) ids = ImageIds{fields.m_vid, fields.m_pid};
    const auto made = MakeImage(static_cast<int32_t>(size), fields.m_versionMajor,
                                fields.m_versionMinor, fields.m_cur, ids);
    Check(made.has_value());
    const ImageFields again = ParseImageFields(*made);
    Check(again.m_versionMajor == fields.m_versionMajor &&
          again.m_versionMinor == fields.m_versionMinor && again.m_cur == fields.m_cur &&
          again.m_hasIds == fields.m_hasIds && again.m_vid == fields.m_vid &&
          again.m_pid == fields.m_pid);
  }

  // Short inputs rarely reach the identifier block: also try them placed at its offset.
  if (size >= 1 && size <= 64) {
    std::vector<uint8_t> big(static_cast<size_t>(kIdBlockOffset) + data[0] % 8, 0);
    big.insert(big.end(), data, data + size);
    const ImageFields placed = ParseImageFields(big);
    Check(placed.m_hasIdArea == (big.size() >= static_cast<size_t>(kIdBlockMinSize)));
    if (placed.m_hasIds) Check(big[kIdBlockOffset] == kIdMarker);
  }

  // The first bytes pick the device side; the decision must respect its preconditions.
  CompatState state;
  if (size >= 4) {
    state.notOwnDevice = data[0] & 1;
    state.deviceForeignFirmware = data[0] & 2;
    state.deviceVid = data[1] & 1 ? 0x0495u : data[2];
    state.devicePid = 0x8040u + (data[3] & 0x0F);
  }
  ApplyImageIds(fields, &state);
  for (int flags = 0; flags < 8; ++flags) {
    const bool open = flags & 1, held = flags & 2, running = flags & 4;
    const BurnDecision d = DecideBurn(state, open, held, running);
    if (d.m_burnEnabled) Check(open && held && !running && state.notOwnDevice == 0);
    if (d.m_messageRed) Check(d.m_message.has_value() && !d.m_burnEnabled);
  }
  return 0;
}
