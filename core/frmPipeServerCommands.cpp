// The window's own commands: creation, closing, Start Server, Status, the pipe
// error report, debug mode and launching the client program.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "core/frmPipeServer.h"
#include "platform/Shell.h"
#include "usb/FtdiWrapper.h"

namespace core {

void TfrmPipeServer::BindWindowCommands() {
  // Each binding captures only `this`, like the others of the form.
  startServerBtn.OnClick = [this](TControl& sender) {
    Guarded([&] { startServerBtnClick(sender); });
  };
  Button1.OnClick = [this](TControl& sender) { Guarded([&] { Button1Click(sender); }); };
  imgClientSlot1.OnDblClick = [this](TControl& sender) {
    Guarded([&] { imgClientSlot1DblClick(sender); });
  };
  imgClientSlot2.OnDblClick = [this](TControl& sender) {
    Guarded([&] { imgClientSlot2DblClick(sender); });
  };
  Label1.OnDblClick = [this](TControl& sender) { Guarded([&] { imgTitleDblClick(sender); }); };
  PipeServer->OnPipeError = [this](pipes::TPipeServerContract& sender, uint32_t pipe,
                                   pipes::TPipeContext context, int32_t errorCode) {
    Guarded([&] { PipeServerPipeError(sender, pipe, context, errorCode); });
  };
}

void TfrmPipeServer::FormCreate(TComponent& /*sender*/) {
  BindWindowCommands();
  BindInstrumentCommands();
  // One failing step ends creation; the window still opens, and Start Server
  // can be tried again from it.
  Guarded([&] {
    statMemo.Clear();
    DebugMode = false;
    SetHeight(kCompactHeight);

    CreateUsbNotifier();

    // A failed listing leaves the wrapper's count as it was.
    ftdi::GetFTDeviceCount();
    USB_DeviceCount = static_cast<int32_t>(std::min<uint32_t>(ftdi::FT_DeviceCount, INT32_MAX));
    Log("Device Count: %d", USB_DeviceCount);

    msgCount = 0;
    lockID = 0;
    lastLockID = 0;
    Log("%s", ExeName.c_str());

    startServerBtnClick(startServerBtn);
    // It clears the log first: the window opens with its lines only.
    Button4Click(Button4);
  });
}

void TfrmPipeServer::FormCloseQuery(TComponent& /*sender*/, bool& canClose) {
  // The close cannot be refused: a failing release is reported and the close
  // goes on.
  Guarded([&] { Button3Click(Button3); });
  // Gives the workers time to let their clients go. Nothing is served
  // meanwhile: threads that need the main thread wait until the pause is over.
  std::this_thread::sleep_for(std::chrono::milliseconds(kClosePauseMs));
  canClose = true;
}

void TfrmPipeServer::startServerBtnClick(TComponent& /*sender*/) {
  if (PipeServer->Active()) {
    Log("Server already running.");
    Log("Waiting for client connections...");
  } else {
    PipeServer->SetActive(true);
    Log("Server started.");
    Log("Waiting for client connections...");
  }
  // Clients already connected stay connected, but no longer hold a slot.
  connectedCount = 0;
  ClientMap.fill(0);
}

void TfrmPipeServer::Button1Click(TComponent& /*sender*/) {
  const int32_t count = PipeServer->ClientCount();
  if (count <= 0) {
    Log("no clients");
    return;
  }
  for (int32_t i = 0; i < count && i < PipeServer->ClientCount(); ++i) {
    const uint32_t pipe = PipeServer->Clients(i);
    if (PipeServer->GetClientInfo(pipe)) {
      Log("Client %d: ID: %d", i, static_cast<int32_t>(pipe));
    } else {
      Log("Client %d: no response", i);
    }
  }
}

void TfrmPipeServer::PipeServerPipeError(pipes::TPipeServerContract& /*sender*/,
                                         uint32_t pipe,
                                         pipes::TPipeContext /*pipeContext*/,
                                         int32_t errorCode) {
  Log("# Pipe Error: Pipe %d, Error: %d", static_cast<int32_t>(pipe), errorCode);
}

void TfrmPipeServer::imgClientSlot1DblClick(TComponent& /*sender*/) {
  // The slot is taken when the new client connects; a failed start is not
  // reported.
  (void)platform::ShellExecute("open", kClientProgram, platform::SW_SHOWNORMAL);
}

void TfrmPipeServer::imgClientSlot2DblClick(TComponent& sender) {
  imgClientSlot1DblClick(sender);
}

void TfrmPipeServer::imgTitleDblClick(TComponent& /*sender*/) {
  // One question per double-click: a Yes to entering is not followed by the
  // question to leave.
  if (!DebugMode) {
    if (AskYesNo && AskYesNo("Enter Debug Mode?")) {
      SetHeight(kDebugHeight);
      DebugMode = true;
    }
  } else {
    if (AskYesNo && AskYesNo("Exit Debug Mode?")) {
      SetHeight(kCompactHeight);
      DebugMode = false;
    }
  }
}

}  // namespace core
