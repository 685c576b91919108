#include "core/frmPipeServer.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace core {

namespace {

TFont Tahoma(int32_t height, bool bold = false, TColor color = clBlack) {
  TFont font;
  font.Height = height;
  font.Bold = bold;
  font.Color = color;
  return font;
}

// The window as designed: client area 416 x 684.
constexpr int32_t kClientWidth = 416;
constexpr int32_t kClientHeight = 684;

}  // namespace

TfrmPipeServer::TfrmPipeServer(std::unique_ptr<pipes::TPipeServerContract> pipeServer)
    : TForm("frmPipeServer", "Vardex Instrument Server", kClientWidth, kClientHeight),
      Panel2("Panel2", this, 8, 8, 400, 63),
      Label1("Label1",
             &Panel2,
             50,
             8,
             296,
             45,
             "Instrument Server",
             Tahoma(-37, false, TColor{41, 41, 41})),
      listboxInstruments("listboxInstruments", this, 16, 78, 248, 188),
      Label2("Label2", this, 58, 272, 0, 0, "Connected Instruments", Tahoma(-16)),
      client1Border("client1Border", this, 270, 77, 131, 90, clMedGray),
      client2Border("client2Border", this, 270, 175, 131, 90, clMedGray),
      imgClientSlot1("imgClientSlot1", this, 274, 81, 121, 81, kPictureClientSlot),
      imgClientSlot2("imgClientSlot2", this, 274, 179, 121, 81, kPictureClientSlot),
      imgClient1Active("imgClient1Active", this, 274, 81, 121, 80, kPictureClientActive),
      imgClient2Active("imgClient2Active", this, 274, 179, 121, 80, kPictureClientActive),
      client1IDlbl("client1IDlbl", this, 349, 148, 0, 0, "ID: 000", Tahoma(-11, true)),
      client2IDlbl("client2IDlbl", this, 352, 246, 0, 0, "ID: 000", Tahoma(-11, true)),
      Label3("Label3", this, 315, 271, 0, 0, "Clients", Tahoma(-16)),
      Panel1("Panel1", this, 6, 312, 393, 244),
      statMemo("statMemo", &Panel1, 0, 0, 393, 244),
      startServerBtn("startServerBtn", this, 6, 562, 89, 33, "Start Server"),
      Button1("Button1", this, 6, 601, 89, 33, "Status"),
      Button2("Button2", this, 101, 562, 89, 33, "Poll USB"),
      Button4("Button4", this, 101, 601, 89, 33, "USB Test"),
      releaseClientBtn("releaseClientBtn", this, 235, 561, 105, 33, "Release Client ID"),
      clientNumFld("clientNumFld", this, 346, 561, 49, 32, 6),
      Button3("Button3", this, 290, 600, 105, 33, "Release All Clients"),
      imgQN410On("imgQN410On", this, 448, 96, 106, 32, kPictureQN410On),
      imgQN410Off("imgQN410Off", this, 449, 96, 106, 32, kPictureQN410Off),
      imgQN420On("imgQN420On", this, 448, 136, 106, 32, kPictureQN420On),
      imgQN420Off("imgQN420Off", this, 449, 136, 106, 32, kPictureQN420Off),
      imgQN633On("imgQN633On", this, 448, 176, 106, 32, kPictureQN633On),
      imgQN633Off("imgQN633Off", this, 449, 176, 106, 32, kPictureQN633Off),
      releaseTimeout("releaseTimeout", 100, false),
      PipeServer(std::move(pipeServer)) {
  if (!PipeServer) {
    throw std::invalid_argument("TfrmPipeServer needs a pipe server");
  }
  SetHeight(kDebugHeight);

  Panel2.SetBevelOuter(TBevelCut::bvLowered);
  Panel2.SetColor(TColor{253, 190, 20});
  Label1.SetAlignment(TAlignment::taCenter);
  Label1.SetTransparent(true);

  listboxInstruments.SetEnabled(false);
  listboxInstruments.SetMultiSelect(true);
  listboxInstruments.SetFont(Tahoma(-19));
  listboxInstruments.SetItemHeight(23);

  imgClientSlot1.SetHint("Double-click to launch Vardex client");
  imgClientSlot1.SetShowHint(true);
  imgClientSlot2.SetHint("Double-click to launch Vardex client");
  for (TImage* active : {&imgClient1Active, &imgClient2Active}) {
    active->SetVisible(false);
    active->SetHint("Double-click to release this client");
    active->SetShowHint(true);
  }
  client1IDlbl.SetVisible(false);
  client2IDlbl.SetVisible(false);

  Panel1.SetBevelOuter(TBevelCut::bvNone);
  statMemo.SetAlign(TAlign::alClient);
  statMemo.SetVerticalScrollBar(true);
  statMemo.Add("statMemo");  // design-time content; window creation clears it

  clientNumFld.SetAlignment(TAlignment::taRightJustify);
  clientNumFld.SetFont(Tahoma(-16));

  imgQN410On.SetVisible(false);
  imgQN633On.SetVisible(false);

  FControls = {&Panel2,           &Label1,           &listboxInstruments,
               &Label2,           &client1Border,    &client2Border,
               &imgClientSlot1,   &imgClientSlot2,   &imgClient1Active,
               &imgClient2Active, &client1IDlbl,     &client2IDlbl,
               &Label3,           &Panel1,           &statMemo,
               &startServerBtn,   &Button1,          &Button2,
               &Button4,          &releaseClientBtn, &clientNumFld,
               &Button3,          &imgQN410On,       &imgQN410Off,
               &imgQN420On,       &imgQN420Off,      &imgQN633On,
               &imgQN633Off};

  // Each binding captures only `this`, so calling it allocates nothing.
  releaseTimeout.OnTimer = [this](TTimer& sender) {
    Guarded([&] { releaseTimeoutTimer(sender); });
  };
  releaseClientBtn.OnClick = [this](TControl& sender) {
    Guarded([&] { releaseClientBtnClick(sender); });
  };
  Button3.OnClick = [this](TControl& sender) { Guarded([&] { Button3Click(sender); }); };
  imgClient1Active.OnDblClick = [this](TControl& sender) {
    Guarded([&] { imgClient1ActiveDblClick(sender); });
  };
  imgClient2Active.OnDblClick = [this](TControl& sender) {
    Guarded([&] { imgClient2ActiveDblClick(sender); });
  };

  PipeServer->OnPipeConnect = [this](pipes::TPipeServerContract& sender, uint32_t pipe) {
    Guarded([&] { PipeServerPipeConnect(sender, pipe); });
  };
  PipeServer->OnPipeDisconnect = [this](pipes::TPipeServerContract& sender, uint32_t pipe) {
    Guarded([&] { PipeServerPipeDisconnect(sender, pipe); });
  };
  PipeServer->OnPipeMessage = [this](pipes::TPipeServerContract& sender, uint32_t pipe,
                                     pipes::TStream& stream) {
    Guarded([&] { PipeServerPipeMessage(sender, pipe, stream); });
  };

  FReleaseTimer = std::make_unique<TMessageTimer>(releaseTimeout);
}

TfrmPipeServer::~TfrmPipeServer() {
  // Stopping the pipe server can still raise events (its workers end); none
  // may reach a form that is half gone.
  PipeServer->OnPipeConnect = nullptr;
  PipeServer->OnPipeDisconnect = nullptr;
  PipeServer->OnPipeMessage = nullptr;
  PipeServer->OnPipeError = nullptr;
  PipeServer->OnPipeSent = nullptr;
  PipeServer.reset();
  FReleaseTimer.reset();
}

void TfrmPipeServer::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (length > 0) {
    line.resize(static_cast<size_t>(length));
    // vsnprintf writes the terminating zero into the string's own spare byte.
    std::vsnprintf(line.data(), line.size() + 1, format, args);
  }
  va_end(args);
  statMemo.Add(std::move(line));
}

void TfrmPipeServer::ReportException(const char* text) {
  if (ShowError) {
    ShowError(text);
  } else {
    std::fprintf(stderr, "%s\n", text);
  }
}

}  // namespace core
