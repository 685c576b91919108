#pragma once
// The Pipes module: the pipe server component and everything it is made of.

#include "pipes/FastMemStream.h"
#include "pipes/ObjectWindow.h"
#include "pipes/PipeControlPacket.h"
#include "pipes/PipeListenThread.h"
#include "pipes/PipeMultiMsg.h"
#include "pipes/PipeNotifications.h"
#include "pipes/PipeServer.h"
#include "pipes/PipeThread.h"
#include "pipes/PipeWrite.h"
#include "pipes/Stream.h"
#include "pipes/ThreadSupport.h"
#include "pipes/WriteQueue.h"
