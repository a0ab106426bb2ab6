// The application object: it runs the main dialog on the host it is given and
// ends when the dialog ends.
#include "app/tessarin_app.h"

#include <gtest/gtest.h>

#include <memory>

#include "sim/sim_backend.h"
#include "support/image_test_dir.h"
#include "support/ui_fake_framework.h"
#include "ui/dialog_templates.h"

namespace tessarin {
namespace {

using testing::RecordingFramework;
using testing::ScratchDir;

TEST(TessarinApp, RunsTheDialogOnItsHostAndEndsWhenTheDialogEnds) {
  ScratchDir dir;
  SimBackend backend;
  backend.AddDevice(SimDeviceConfig{});
  RecordingFramework* window = nullptr;
  DialogHandlers* routed = nullptr;
  CTessarinApp app(
      backend,
      [&](const DialogTemplate& dialog, DialogHandlers& handlers) {
        EXPECT_EQ(dialog.id, IDD_TESSARIN_DIALOG);
        auto host = std::make_unique<RecordingFramework>();
        window = host.get();
        routed = &handlers;
        host->runModal = [&] {
          EXPECT_TRUE(routed->OnDialogInit());
          routed->OnActivateDialog(1);
          routed->OnCommand(IDOK);
          EXPECT_FALSE(window->endResult.has_value());
          routed->OnCommand(IDCANCEL);
          return window->endResult.value_or(-1);
        };
        return host;
      },
      dir.path());
  EXPECT_FALSE(app.StartInstance());
  EXPECT_EQ(app.m_dialogResult, IDCANCEL);
}

}  // namespace
}  // namespace tessarin
