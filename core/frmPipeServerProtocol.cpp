// The client requests: one 32 768-byte request in, at most one reply out.

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "core/frmPipeServer.h"
#include "usb/FtdiWrapper.h"

namespace core {

namespace {

constexpr uint8_t kProbeByte = 0x82;

// The reply text is UTF-16; the log and the wrapper's names are UTF-8.
std::string Utf16ToUtf8(std::u16string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      result.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (c >> 6)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (c >> 12)));
      result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (c >> 18)));
      result.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return result;
}

// Appends UTF-8 text as UTF-16; a malformed sequence becomes U+FFFD.
void AppendUtf8(std::u16string& to, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    int32_t length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
    }
    bool valid = length > 0 && i + static_cast<size_t>(length) <= text.size();
    for (int32_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!valid || c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      to.push_back(u'\uFFFD');
      i += 1;
      continue;
    }
    if (c >= 0x10000) {
      to.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      to.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      to.push_back(static_cast<char16_t>(c));
    }
    i += static_cast<size_t>(length);
  }
}

}  // namespace

void TfrmPipeServer::PipeServerPipeMessage(pipes::TPipeServerContract& /*sender*/,
                                           uint32_t pipe,
                                           pipes::TStream& stream) {
  const int32_t slot = FindClientSlot(pipe);
  if (slot == kNoSlot) {
    uint8_t opcode[2] = {};
    stream.Read(opcode, sizeof opcode);
    RefuseSlotless(pipe, GetWord(opcode, 0));
    return;
  }

  // Not cleared first: a short message leaves the rest of the block as the
  // slot's previous request left it. Bytes beyond one block are ignored.
  uint8_t* request = SERVERIN_Buffer[slot];
  int32_t received = 0;
  while (received < kMessageSize) {
    const int32_t n = stream.Read(request + received, kMessageSize - received);
    if (n <= 0) {
      break;
    }
    received += n;
  }

  if (lockID != 0 && lockID != static_cast<int32_t>(pipe)) {
    // Another client holds the bus lock: dropped without a reply.
    if (TShape* border = SlotBorder(slot)) {
      border->SetBrushColor(clRed);
    }
    return;
  }

  const uint16_t opcode = GetWord(request, 0);
  const uint16_t word1 = GetWord(request, 1);
  const uint16_t word3 = GetWord(request, 3);
  const uint16_t word4 = GetWord(request, 4);
  ftdi::CurrentHandle = word1 + 65536u * GetWord(request, 2);

  uint8_t* reply = SERVEROUT_Buffer[slot];
  switch (opcode) {
    case kOpDescription:
    case kOpSerialNumber:
      ReplyText(pipe, slot, opcode, word1);
      return;
    case kOpOpen:
      ReplyOpen(pipe, slot, word1);
      return;
    case kOpLock:
      LockTransition(pipe, slot);
      return;
    case kOpRelease:
      ReleaseTransition(pipe, slot);
      return;
    default:
      break;
  }

  std::memset(reply, 0, kMessageSize);
  SetWord(reply, 0, opcode);
  int32_t result = 0;
  switch (opcode) {
    case kOpDeviceCount:
      result = ftdi::GetFTDeviceCount();
      SetWord(reply, 2, LowWord(ftdi::FT_DeviceCount));
      break;
    case kOpWrite: {
      const int32_t count = word3;
      if (count > kMaxWriteCount) {
        // The block carries at most kMaxWriteCount data words.
        Log("# Refused Client %d, opcode:%d, count:%d", static_cast<int32_t>(pipe), opcode, count);
        result = -static_cast<int32_t>(usb::FT_INVALID_PARAMETER);
        break;
      }
      for (int32_t i = 0; i < count; ++i) {
        ftdi::OutBuffer[i] = static_cast<uint8_t>(GetWord(request, 4 + i) & 0xFF);
      }
      result = ftdi::WriteBuffer(count);
      break;
    }
    case kOpRead: {
      const int32_t count = word3;
      if (count > kMaxReadCount) {
        // The reply carries at most kMaxReadCount data words.
        Log("# Refused Client %d, opcode:%d, count:%d", static_cast<int32_t>(pipe), opcode, count);
        result = -static_cast<int32_t>(usb::FT_INVALID_PARAMETER);
        break;
      }
      result = ftdi::ReadBuffer(count);
      // All n words, whatever arrived: beyond the count read they carry what
      // InBuffer held from earlier transfers. Word 1 tells how many are new.
      for (int32_t i = 0; i < count; ++i) {
        SetWord(reply, 2 + i, ftdi::InBuffer[i]);
      }
      break;
    }
    case kOpReset:
      result = ftdi::ResetDevice();
      break;
    case kOpPurgeTX:
      result = ftdi::PurgeTX();
      break;
    case kOpPurgeRX:
      result = ftdi::PurgeRX();
      break;
    case kOpLatencyTimer:
      result = ftdi::SetLatencyTimer(word3);
      break;
    case kOpTimeouts:
      result = ftdi::SetTimeouts(word3, word4);
      break;
    case kOpQueueStatus:
      result = ftdi::GetQueueStatus();
      SetWord(reply, 2, LowWord(ftdi::QueueBytes));
      break;
    case kOpWriteByte:
      result = ftdi::WriteByte(static_cast<uint8_t>(word3 & 0xFF));
      break;
    case kOpWriteWord:
      result = ftdi::WriteWord(word3);
      break;
    case kOpWriteInteger:
      result = ftdi::WriteInteger(word3);
      break;
    case kOpReadByte: {
      uint8_t value = 0;
      result = ftdi::ReadByte(value);
      SetWord(reply, 2, value);
      break;
    }
    case kOpReadWord: {
      uint16_t value = 0;
      result = ftdi::ReadWord(value);
      SetWord(reply, 2, value);
      break;
    }
    case kOpReadInteger: {
      int32_t value = 0;
      result = ftdi::ReadInteger(value);
      SetWord(reply, 2, LowWord(value));
      break;
    }
    case kOpEcho:
      result = ftdi::EchoParameter(word3, word4);
      break;
    case kOpMessageCount:
      // Counts from all clients together; wraps instead of overflowing.
      msgCount = static_cast<int32_t>(static_cast<uint32_t>(msgCount) + 1u);
      SetWord(reply, 0, kMessageCountReply);
      result = msgCount;
      break;
    default:
      // Not answered.
      Log("# Ignored Client %d, index:%d, lockID:%d, pipe: %d", static_cast<int32_t>(pipe), slot,
          lockID, static_cast<int32_t>(pipe));
      return;
  }
  SetWord(reply, 1, LowWord(result));
  SendReply(pipe, slot);
}

void TfrmPipeServer::SendReply(uint32_t pipe, int32_t slot) {
  // The component copies the block, so it can be reused at once. A client
  // that is gone loses its reply without notice.
  PipeServer->Write(pipe, SERVEROUT_Buffer[slot], kMessageSize);
}

void TfrmPipeServer::RefuseSlotless(uint32_t pipe, uint16_t opcode) {
  // A client without a slot (admitted while four were in, or before Start
  // Server emptied the slot table) has no blocks to be served from. It is
  // disconnected, so it is not left waiting and can connect again; its
  // departure then runs as any other.
  Log("# No slot for Client %d, opcode:%d - disconnected", static_cast<int32_t>(pipe), opcode);
  PipeServer->Disconnect(pipe);
}

void TfrmPipeServer::ReplyText(uint32_t pipe, int32_t slot, uint16_t opcode, uint16_t index) {
  uint8_t* reply = SERVEROUT_Buffer[slot];
  std::memset(reply, 0, kMessageSize);
  SetWord(reply, 0, opcode);
  // An index beyond the table names no entry; the library is asked directly.
  if (index < kUsbDeviceCapacity && USB_Devices[index].deviceOpened) {
    SetWord(reply, 1, 0);
    ftdi::FT_DeviceString = opcode == kOpDescription ? USB_Devices[index].deviceDesc
                                                     : USB_Devices[index].serialNumberUSB;
  } else {
    const int32_t status = opcode == kOpDescription ? ftdi::GetFTDeviceDescription(index)
                                                    : ftdi::GetFTDeviceSerialNo(index);
    SetWord(reply, 1, LowWord(status));
  }

  // The block read as a zero-ended text: the opcode, then the status unless 0.
  std::u16string& text = SERVEROUT_BufferStr[slot];
  text.clear();
  for (int32_t i = 0; i < kMessageWords && GetWord(reply, i) != 0; ++i) {
    text.push_back(static_cast<char16_t>(GetWord(reply, i)));
  }
  Log("%d: %s", static_cast<int32_t>(pipe), Utf16ToUtf8(text).c_str());
  AppendUtf8(text, ftdi::FT_DeviceString);
  Log("%d: %s", static_cast<int32_t>(pipe), Utf16ToUtf8(text).c_str());

  // After a success the name overwrites the zero status from word 1 on.
  const int32_t length = std::min<int32_t>(static_cast<int32_t>(text.size()), kMessageWords - 1);
  for (int32_t i = 0; i < length; ++i) {
    SetWord(reply, i, static_cast<uint16_t>(text[static_cast<size_t>(i)]));
  }
  SetWord(reply, length, 0);
  SendReply(pipe, slot);
  Log("Client %d FT_DeviceString = %s", static_cast<int32_t>(pipe), ftdi::FT_DeviceString.c_str());
}

void TfrmPipeServer::ReplyOpen(uint32_t pipe, int32_t slot, uint16_t index) {
  uint8_t* reply = SERVEROUT_Buffer[slot];
  std::memset(reply, 0, kMessageSize);
  SetWord(reply, 0, kOpOpen);

  if (index >= kUsbDeviceCapacity) {
    // No table entry could record the instrument, so nothing would ever close
    // it: refused without touching the library.
    Log("# Refused Client %d, opcode:%d, index:%d", static_cast<int32_t>(pipe), kOpOpen, index);
    SetWord(reply, 1, LowWord(usb::FT_INVALID_PARAMETER));
    SendReply(pipe, slot);
    return;
  }

  TUSB_DeviceRecord& device = USB_Devices[index];
  if (device.deviceOpened) {
    SetWord(reply, 1, 0);
    SetWord(reply, 2, LowWord(device.USBHandle));
    SetWord(reply, 3, LowWord(device.USBHandle >> 16));
    SendReply(pipe, slot);
    return;
  }

  ftdi::CurrentDeviceIndex = index;
  ftdi::GetFTDeviceSerialNo(index);
  device.serialNumberUSB = ftdi::FT_DeviceString;
  ftdi::GetFTDeviceDescription(index);
  device.deviceDesc = ftdi::FT_DeviceString;
  const int32_t status = ftdi::OpenDevice();
  if (status != 0) {
    device.deviceOpened = false;
    device.USBHandle = 0;
  } else {
    device.deviceOpened = true;
    device.USBHandle = ftdi::CurrentHandle;
    device.Pipes[static_cast<size_t>(slot)] = static_cast<int32_t>(pipe);
    // The Off pictures here, the reverse of what the scan and an arrival show.
    const std::string& desc = device.deviceDesc;
    if (desc.find("QN41") != std::string::npos) {
      imgQN410On.SetVisible(false);
      imgQN410Off.SetVisible(true);
    }
    if (desc.find("QN63") != std::string::npos) {
      imgQN633On.SetVisible(false);
      imgQN633Off.SetVisible(true);
    }
    if (desc.find("QN42") != std::string::npos) {
      imgQN420On.SetVisible(false);
      imgQN420Off.SetVisible(true);
    }
  }
  // The echo probe, whatever the open gave; its answer is not used.
  ftdi::WriteByte(kProbeByte);
  uint8_t answer = 0;
  ftdi::ReadByte(answer);

  SetWord(reply, 1, LowWord(status));
  SetWord(reply, 2, LowWord(ftdi::CurrentHandle));
  SetWord(reply, 3, LowWord(ftdi::CurrentHandle >> 16));
  SendReply(pipe, slot);
}

}  // namespace core
