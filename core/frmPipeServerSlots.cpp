// Client slots and the bus lock: admission and departure of clients, the lock
// and release notices, the repeated release, and the operator's releases.

#include <cstring>
#include <string>

#include "core/frmPipeServer.h"
#include "usb/FtdiWrapper.h"

namespace core {

namespace {

constexpr uint16_t kLockHeld = 100;
constexpr uint16_t kLockFree = 200;

// Client IDs travel as the low 16 bits of the pipe handle.
uint16_t ClientId(int64_t pipe) {
  return LowWord(pipe);
}

}  // namespace

int32_t TfrmPipeServer::FindFreeSlot() const {
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (ClientMap[slot] == 0) {
      return slot;
    }
  }
  return kNoSlot;
}

int32_t TfrmPipeServer::FindClientSlot(uint32_t pipe) const {
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (ClientMap[slot] == static_cast<int32_t>(pipe)) {
      return slot;
    }
  }
  return kNoSlot;
}

TShape* TfrmPipeServer::SlotBorder(int32_t slot) {
  switch (slot) {
    case 0:
      return &client1Border;
    case 1:
      return &client2Border;
    default:
      return nullptr;  // slots 2 and 3 are not shown
  }
}

void TfrmPipeServer::ShowSlotOccupied(int32_t slot, uint32_t pipe) {
  if (slot > 1) {
    return;
  }
  TImage& empty = slot == 0 ? imgClientSlot1 : imgClientSlot2;
  TImage& active = slot == 0 ? imgClient1Active : imgClient2Active;
  TLabel& id = slot == 0 ? client1IDlbl : client2IDlbl;
  empty.SetVisible(false);
  active.SetVisible(true);
  id.SetCaption("ID: " + std::to_string(static_cast<int32_t>(pipe)));
  id.SetVisible(true);
}

void TfrmPipeServer::ShowSlotFree(int32_t slot) {
  if (slot > 1) {
    return;
  }
  TImage& empty = slot == 0 ? imgClientSlot1 : imgClientSlot2;
  TImage& active = slot == 0 ? imgClient1Active : imgClient2Active;
  TLabel& id = slot == 0 ? client1IDlbl : client2IDlbl;
  empty.SetVisible(true);
  active.SetVisible(false);
  id.SetVisible(false);
}

void TfrmPipeServer::BroadcastNotice(uint16_t code, int32_t pipe) {
  SetWord(SERVEROUT_Broadcast, 0, code);
  SetWord(SERVEROUT_Broadcast, 1, ClientId(pipe));
  // Undeliverable notices are not retried.
  PipeServer->Broadcast(SERVEROUT_Broadcast, kMessageSize);
}

void TfrmPipeServer::PipeServerPipeConnect(pipes::TPipeServerContract& /*sender*/, uint32_t pipe) {
  const int32_t slot = connectedCount < kSlotCount ? FindFreeSlot() : kNoSlot;
  if (slot == kNoSlot) {
    // The connection stays open without a slot and without a welcome.
    Log("No more connections available");
    return;
  }
  ClientMap[slot] = static_cast<int32_t>(pipe);
  if (static_cast<int32_t>(pipe) != lockID) {
    if (TShape* border = SlotBorder(slot)) {
      border->SetBrushColor(clRed);
    }
  }
  Log("Client %d connected [%d]", static_cast<int32_t>(pipe), slot);

  uint8_t* welcome = SERVEROUT_Buffer[slot];
  std::memset(welcome, 0, kMessageSize);
  SetWord(welcome, 0, kWelcomeNotice);
  SetWord(welcome, 1, ClientId(pipe));
  if (lockID == 0) {
    SetWord(welcome, 2, kLockFree);
    Log("Client [%d] not locked - release!", static_cast<int32_t>(pipe));
  } else {
    SetWord(welcome, 2, kLockHeld);
    Log("Client [%d] locked by [%d] - lock!", static_cast<int32_t>(pipe), lockID);
  }
  const bool ok = PipeServer->Write(pipe, welcome, kMessageSize);
  Log("Send to Client %d [%d, %d] = %d", static_cast<int32_t>(pipe), slot, connectedCount,
      ok ? 1 : 0);
  ++connectedCount;
  ShowSlotOccupied(slot, pipe);
}

void TfrmPipeServer::PipeServerPipeDisconnect(pipes::TPipeServerContract& /*sender*/,
                                              uint32_t pipe) {
  const int32_t slot = FindClientSlot(pipe);
  if (slot != kNoSlot) {
    ClientMap[slot] = 0;
    --connectedCount;
  }
  if (TShape* border = SlotBorder(slot)) {
    border->SetBrushColor(clMedGray);
  }
  Log("Client %d disconnected [%d, %d]", static_cast<int32_t>(pipe), slot, connectedCount);
  ShowSlotFree(slot);

  if (lockID != 0 && lockID == static_cast<int32_t>(pipe)) {
    // The lock owner left: the others learn of the release once.
    lockID = 0;
    lastLockID = static_cast<int32_t>(pipe);
    BroadcastNotice(kOpRelease, lastLockID);
  }

  if (connectedCount < 1) {
    Log("No more clients connected, ...");
    for (int32_t index = 0; index < kUsbDeviceCapacity; ++index) {
      const TUSB_DeviceRecord& device = USB_Devices[index];
      if (!device.deviceOpened) {
        continue;
      }
      Log("Flushing :%d [%x], %s, %s", index, device.USBHandle, device.serialNumberUSB.c_str(),
          device.deviceDesc.c_str());
      ftdi::CurrentHandle = device.USBHandle;
      ftdi::PurgeTX();
      ftdi::PurgeRX();
    }
    if (lockID != 0) {
      Log("LockID: %d, Last LockID: %d ", lockID, lastLockID);
      lockID = 0;
      lastLockID = 0;
    }
  }
}

void TfrmPipeServer::LockTransition(uint32_t pipe, int32_t slot) {
  if (lockID == 0) {
    lockID = static_cast<int32_t>(pipe);
    if (TShape* border = SlotBorder(slot)) {
      border->SetBrushColor(clGreen);
    }
    SetWord(SERVEROUT_Broadcast, 0, kOpLock);
    SetWord(SERVEROUT_Broadcast, 1, ClientId(lockID));
  }
  // Otherwise the sender holds the lock already and the last notice goes out
  // again. Either way a pending repeat of a release is cancelled.
  releaseTimeout.SetEnabled(false);
  PipeServer->Broadcast(SERVEROUT_Broadcast, kMessageSize);
}

void TfrmPipeServer::ReleaseTransition(uint32_t pipe, int32_t slot) {
  if (TShape* border = SlotBorder(slot)) {
    border->SetBrushColor(clMedGray);
  }
  lockID = 0;
  lastLockID = static_cast<int32_t>(pipe);
  BroadcastNotice(kOpRelease, lastLockID);
  // The release is announced once more, 100 ms later.
  releaseTimeout.SetEnabled(true);
}

void TfrmPipeServer::releaseTimeoutTimer(TComponent& /*sender*/) {
  releaseTimeout.SetEnabled(false);
  lockID = 0;
  BroadcastNotice(kOpRelease, lastLockID);
}

void TfrmPipeServer::releaseClientBtnClick(TComponent& /*sender*/) {
  const int32_t count = PipeServer->ClientCount();
  if (count == 0) {
    Log("no clients");
    return;
  }
  const int32_t wanted = clientNumFld.Value();
  for (int32_t i = 0; i < count && i < PipeServer->ClientCount(); ++i) {
    const uint32_t id = PipeServer->Clients(i);
    if (wanted == static_cast<int32_t>(id) && PipeServer->Disconnect(id)) {
      Log("Client %d: ID: %d - disconnected", i, static_cast<int32_t>(id));
    }
  }
}

void TfrmPipeServer::Button3Click(TComponent& /*sender*/) {
  const int32_t count = PipeServer->ClientCount();
  if (count == 0) {
    Log("no clients");
    return;
  }
  for (int32_t i = 0; i < count && i < PipeServer->ClientCount(); ++i) {
    const uint32_t id = PipeServer->Clients(i);
    if (PipeServer->Disconnect(id)) {
      Log("Client %d: ID: %d - disconnected", i, static_cast<int32_t>(id));
    }
  }
}

void TfrmPipeServer::ConfirmSlotRelease(int32_t slot, TShape& border) {
  // The ID asked about is the one released: while the question is open,
  // events still arrive and the slot may change hands.
  const int32_t id = ClientMap[slot];
  if (id == 0) {
    return;  // the slot is free; nothing to release
  }
  if (!AskYesNo || !AskYesNo("Release this client (ID: " + std::to_string(id) + ")")) {
    return;
  }
  clientNumFld.SetValue(id);
  releaseClientBtnClick(border);
  border.SetBrushColor(clMedGray);
}

void TfrmPipeServer::imgClient1ActiveDblClick(TComponent& /*sender*/) {
  ConfirmSlotRelease(0, client1Border);
}

void TfrmPipeServer::imgClient2ActiveDblClick(TComponent& /*sender*/) {
  ConfirmSlotRelease(1, client2Border);
}

}  // namespace core
