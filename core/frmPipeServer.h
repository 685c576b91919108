#pragma once
// TfrmPipeServer: the server window's logic, without any toolkit.
//
// The form owns the control models a view renders (Controls.h), the pipe
// server component `PipeServer` (reached only through TPipeServerContract),
// the client slots with their fixed request and reply blocks, the bus lock,
// the instrument table `USB_Devices` and the log `statMemo`.
//
// Its parts live in separate files:
// - frmPipeServer.cpp: construction (controls as designed, event binding),
//   the log, the error box.
// - frmPipeServerProtocol.cpp: the client requests (PipeServerPipeMessage).
// - frmPipeServerSlots.cpp: admission and departure of clients, the bus lock,
//   the release timer and the operator's release commands.
// Window creation, Start Server, Status, the pipe error report, debug mode,
// launching the client program and closing, and the instrument-table commands
// (USB Test, Poll USB, arrival and removal) belong in files of their own beside
// these, with their declarations added to the sections marked below.
//
// Threads: everything here runs on the main thread, the one that created the
// form and pumps its messages. The pipe server raises its events there, and a
// thread sending to the main thread waits until the handler has returned, so
// handlers run one at a time. A modal question or error box may run a nested
// message loop, so further events can arrive while one is open.
//
// Lifetime: the form must be created and destroyed on the main thread. It
// holds over half a megabyte of fixed blocks: create it on the heap.
// It unbinds the pipe server's events and destroys the pipe server (which stops
// its threads) before its own state goes away. The driver wrapper's backend
// (ftdi::SetD2xxBackend) must outlive every handler call.

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Controls.h"
#include "core/MessageBlock.h"
#include "core/MessageTimer.h"
#include "core/UsbDeviceRecord.h"
#include "pipes/PipeServerContract.h"
#include "pipes/Stream.h"
#include "usb/ComponentUSB.h"

namespace core {

// The name clients open the pipe by; the component's PipeName.
inline constexpr char kPipeName[] = "QNPipeServer";

// Client slots: 0 to 3; kNoSlot means "holds no slot" and never indexes.
inline constexpr int32_t kSlotCount = kClientSlotCount;
inline constexpr int32_t kNoSlot = kClientSlotCount;
// Size of each slot's request and reply block; a message uses the first
// kMessageSize bytes.
inline constexpr int32_t kSlotBlockSize = 65536;

// Request codes.
inline constexpr uint16_t kOpDeviceCount = 10;
inline constexpr uint16_t kOpDescription = 11;
inline constexpr uint16_t kOpSerialNumber = 12;
inline constexpr uint16_t kOpOpen = 17;
inline constexpr uint16_t kOpWrite = 19;
inline constexpr uint16_t kOpRead = 20;
inline constexpr uint16_t kOpReset = 21;
inline constexpr uint16_t kOpPurgeTX = 22;
inline constexpr uint16_t kOpPurgeRX = 23;
inline constexpr uint16_t kOpLatencyTimer = 33;
inline constexpr uint16_t kOpTimeouts = 34;
inline constexpr uint16_t kOpQueueStatus = 35;
inline constexpr uint16_t kOpWriteByte = 41;
inline constexpr uint16_t kOpWriteWord = 42;
inline constexpr uint16_t kOpWriteInteger = 43;
inline constexpr uint16_t kOpReadByte = 45;
inline constexpr uint16_t kOpReadWord = 46;
inline constexpr uint16_t kOpReadInteger = 47;
inline constexpr uint16_t kOpEcho = 48;
inline constexpr uint16_t kOpMessageCount = 50;
inline constexpr uint16_t kOpLock = 100;
inline constexpr uint16_t kOpRelease = 200;
// Word 0 of the reply to kOpMessageCount, and of the welcome notice.
inline constexpr uint16_t kMessageCountReply = 10;
inline constexpr uint16_t kWelcomeNotice = 0;

// Largest counts a block can carry: opcode 19 takes its data from request
// words 4 to 16 383, opcode 20 returns its data in reply words 2 to 16 383.
inline constexpr int32_t kMaxWriteCount = kMessageWords - 4;
inline constexpr int32_t kMaxReadCount = kMessageWords - 2;

// The window's two heights (outer): compact at start, debug with the log.
inline constexpr int32_t kCompactHeight = 330;
inline constexpr int32_t kDebugHeight = 680;

// Picture ids of the images; the view maps them onto its pictures.
inline constexpr char kPictureClientSlot[] = "ClientSlot";
inline constexpr char kPictureClientActive[] = "ClientActive";
inline constexpr char kPictureQN410On[] = "QN410On";
inline constexpr char kPictureQN410Off[] = "QN410Off";
inline constexpr char kPictureQN420On[] = "QN420On";
inline constexpr char kPictureQN420Off[] = "QN420Off";
inline constexpr char kPictureQN633On[] = "QN633On";
inline constexpr char kPictureQN633Off[] = "QN633Off";

// A Yes/No question: true for Yes. Warning style.
using TYesNoQuestion = std::function<bool(const std::string& text)>;
// A message box showing an error text.
using TErrorBox = std::function<void(const std::string& text)>;

class TfrmPipeServer : public TForm {
 public:
  // Takes ownership of the pipe server and binds its connect, disconnect and
  // message events to the handlers below. Creates the release timer's hidden
  // window on the calling thread (raises platform::EOSError if it cannot).
  explicit TfrmPipeServer(std::unique_ptr<pipes::TPipeServerContract> pipeServer);
  ~TfrmPipeServer() override;

  // ---- Controls, as designed (positions in client pixels) ----
  TPanel Panel2;
  TLabel Label1;
  TListBox listboxInstruments;
  TLabel Label2;
  TShape client1Border;
  TShape client2Border;
  TImage imgClientSlot1;
  TImage imgClientSlot2;
  TImage imgClient1Active;
  TImage imgClient2Active;
  TLabel client1IDlbl;
  TLabel client2IDlbl;
  TLabel Label3;
  TPanel Panel1;
  TMemo statMemo;
  TButton startServerBtn;
  TButton Button1;
  TButton Button2;
  TButton Button4;
  TButton releaseClientBtn;
  TIntEdit clientNumFld;
  TButton Button3;
  TImage imgQN410On;
  TImage imgQN410Off;
  TImage imgQN420On;
  TImage imgQN420Off;
  TImage imgQN633On;
  TImage imgQN633Off;
  TTimer releaseTimeout;

  // Every visible control above, in creation order (parents before children).
  const std::vector<TControl*>& Controls() const { return FControls; }

  // ---- Components ----
  std::unique_ptr<pipes::TPipeServerContract> PipeServer;

  // ---- Request protocol state ----
  // Request and reply block of each client slot; a message uses the first
  // kMessageSize bytes. They live as long as the form: requests allocate none.
  uint8_t SERVERIN_Buffer[kSlotCount][kSlotBlockSize] = {};
  uint8_t SERVEROUT_Buffer[kSlotCount][kSlotBlockSize] = {};
  // Reply text of each slot, built by the name queries (opcodes 11 and 12).
  std::array<std::u16string, kSlotCount> SERVEROUT_BufferStr;
  // The notice broadcast to every client; only words 0 and 1 are ever written.
  uint8_t SERVEROUT_Broadcast[kMessageSize] = {};
  int32_t msgCount = 0;  // opcode-50 requests served

  // ---- Client slots and bus lock ----
  std::array<int32_t, kSlotCount> ClientMap{};  // pipe handle per slot; 0 free
  int32_t connectedCount = 0;                   // admitted clients
  int32_t lockID = 0;                           // pipe handle of the lock owner; 0 free
  int32_t lastLockID = 0;                       // pipe handle named in the latest release notice

  // ---- Instrument table ----
  TUSB_Devices USB_Devices{};
  int32_t USB_DeviceCount = 0;

  // ---- Dialogs, set by the view (tests set their own) ----
  // Without a question every answer is No; without an error box errors go to
  // standard error.
  TYesNoQuestion AskYesNo;
  TErrorBox ShowError;

  // ---- Request protocol (frmPipeServerProtocol.cpp) ----
  void PipeServerPipeMessage(pipes::TPipeServerContract& sender,
                             uint32_t pipe,
                             pipes::TStream& stream);

  // ---- Client slots and bus lock (frmPipeServerSlots.cpp) ----
  void PipeServerPipeConnect(pipes::TPipeServerContract& sender, uint32_t pipe);
  void PipeServerPipeDisconnect(pipes::TPipeServerContract& sender, uint32_t pipe);
  void releaseTimeoutTimer(TComponent& sender);
  void releaseClientBtnClick(TComponent& sender);
  void Button3Click(TComponent& sender);
  void imgClient1ActiveDblClick(TComponent& sender);
  void imgClient2ActiveDblClick(TComponent& sender);

  // The lowest free slot, or kNoSlot.
  int32_t FindFreeSlot() const;
  // The lowest slot that holds the pipe, or kNoSlot.
  int32_t FindClientSlot(uint32_t pipe) const;

  // ---- Window and operator commands (frmPipeServerCommands.cpp) ----
  // The window's creation handler, run once before the window is first shown:
  // binds the commands below, clears the log, selects the compact view, takes
  // the device count, starts the server and runs the USB Test. An exception
  // in any step is shown in the error box and the remaining steps are
  // skipped; the window opens all the same.
  void FormCreate(TComponent& sender);
  // Asked before the window closes: releases every client, pauses the main
  // thread for kClosePauseMs without serving messages, and always agrees.
  void FormCloseQuery(TComponent& sender, bool& canClose);
  void startServerBtnClick(TComponent& sender);  // Start Server
  void Button1Click(TComponent& sender);         // Status
  void PipeServerPipeError(pipes::TPipeServerContract& sender,
                           uint32_t pipe,
                           pipes::TPipeContext pipeContext,
                           int32_t errorCode);
  // Double-click on an empty slot: starts the client program through the
  // shell; the outcome is not reported.
  void imgClientSlot1DblClick(TComponent& sender);
  void imgClientSlot2DblClick(TComponent& sender);
  // Double-click on the title: asks, then switches between the views.
  void imgTitleDblClick(TComponent& sender);
  // Binds the window's own commands and the pipe error report (FormCreate
  // does it first).
  void BindWindowCommands();

  // True while the debug view is chosen; one for the program.
  static inline bool DebugMode = false;
  static constexpr uint32_t kClosePauseMs = 2000;
  static constexpr char kClientProgram[] = "VardexMT_Pipe.exe";
  // The program file's full path, logged by FormCreate; set by the program.
  std::string ExeName;

  // ---- Instrument table and hot-plug handling (frmPipeServerInstruments.cpp) ----
  // The USB device-change notifier, made by CreateUsbNotifier during window
  // creation; its events run the two handlers below.
  std::unique_ptr<usb::TComponentUSB> usbD;
  // Creates usbD (raises platform::EOSError when its window cannot be made)
  // and binds OnUSBArrival and OnUSBRemove to ComponentUSB2USBArrival and
  // ComponentUSB2USBRemove, guarded like every handler of the window.
  void CreateUsbNotifier();
  // Binds the USB Test and Poll USB buttons.
  void BindInstrumentCommands();
  // USB Test: clears the log, takes the device count, and opens and lists
  // every instrument the table has an entry for (indexes 0 to 15). An entry
  // whose instrument is still open under its handle keeps that handle.
  void Button4Click(TComponent& sender);
  // Poll USB: sends the probe byte to every open instrument and logs those
  // that do not echo it.
  void Button2Click(TComponent& sender);
  // The notifier's arrival and removal events; only ADriverName (the serial
  // number) is used.
  void ComponentUSB2USBArrival(usb::TComponentUSB& AObject,
                               const std::string& ADevType,
                               const std::string& ADriverName,
                               const std::string& AFriendlyName);
  void ComponentUSB2USBRemove(usb::TComponentUSB& AObject,
                              const std::string& ADevType,
                              const std::string& ADriverName,
                              const std::string& AFriendlyName);
  // The enumeration index whose serial number is ADriverName, searched up to
  // min(USB_DeviceCount, 16); that bound when none matches.
  int32_t FindArrivalIndex(const std::string& ADriverName);

  // ---- Shared by every part ----
  // Appends one line, formatted printf-style, to statMemo.
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Runs a handler; an exception that escapes it is shown in the error box
  // and the program goes on.
  template <class F>
  void Guarded(F&& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      ReportException(e.what());
    } catch (...) {
      ReportException("Unknown exception");
    }
  }

 private:
  // The border of a slot shown in the window (slots 0 and 1), else nullptr.
  TShape* SlotBorder(int32_t slot);
  void ShowSlotOccupied(int32_t slot, uint32_t pipe);
  void ShowSlotFree(int32_t slot);
  void LockTransition(uint32_t pipe, int32_t slot);
  void ReleaseTransition(uint32_t pipe, int32_t slot);
  // Words 0 and 1 of SERVEROUT_Broadcast, then Broadcast.
  void BroadcastNotice(uint16_t code, int32_t pipe);
  void ConfirmSlotRelease(int32_t slot, TShape& border);

  // Request handling helpers (frmPipeServerProtocol.cpp).
  void RefuseSlotless(uint32_t pipe, uint16_t opcode);
  void ReplyText(uint32_t pipe, int32_t slot, uint16_t opcode, uint16_t index);
  void ReplyOpen(uint32_t pipe, int32_t slot, uint16_t index);
  void SendReply(uint32_t pipe, int32_t slot);

  void ReportException(const char* text);

  std::vector<TControl*> FControls;
  std::unique_ptr<TMessageTimer> FReleaseTimer;
};

}  // namespace core
