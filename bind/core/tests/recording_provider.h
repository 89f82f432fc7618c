// The controls of recording_provider.dll that the receive-from tests use,
// shared by the DLL and the tests that load it.
//
// By default every recorded call returns the result given to
// RecordingProviderReset. A receive-from plan makes the provider behave like a
// real one instead: it writes the planned source address into lpFrom and
// lpFromlen when the receive completes, and completes an overlapped request by
// queueing the completion routine as an APC to the thread of the WSATHREADID
// it was given (it runs at the issuing thread's next alertable wait), or,
// without a routine, by filling Internal / InternalHigh of the caller's
// overlapped structure and setting its event.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

enum RecordingRecvFromOutcome : int
{
    RecvFromRecordOnly = 0, // return the reset's call result, nothing written
    RecvFromPending = 1,    // WSA_IO_PENDING; RecordingProviderCompleteRecvFrom ends it
    RecvFromAtOnce = 2,     // completed within the call, result 0
    RecvFromRefused = 3,    // SOCKET_ERROR with the planned error, no completion
    // SOCKET_ERROR with the planned error, and the completion queued all the
    // same, as NT does for a warning status (WSAEMSGSIZE: a datagram cut to
    // the buffer)
    RecvFromWarnedAndQueued = 4,
};

// What the last receive-from handed down.
struct RecordedRecvFrom
{
    LPWSAOVERLAPPED lpOverlapped;
    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine;
    LPWSATHREADID lpThreadId;
    sockaddr* lpFrom;
    LPINT lpFromlen;
    DWORD Offset; // of the overlapped structure, as it arrived
    DWORD OffsetHigh;
};

using RecordingPlanRecvFromFn = void (*)(int outcome, int error, const BYTE* source, int cbSource,
                                         DWORD cbReceived);
// Completes the oldest pending receive-from with error (0 = success). False
// when none is pending.
using RecordingCompleteRecvFromFn = BOOL (*)(DWORD error);
using RecordingLastRecvFromFn = void (*)(RecordedRecvFrom* recorded);
using RecordingResetFn = void (*)(int startupResult, int callResult);
using RecordingCallLogFn = const char* (*)();
// Copies up to cbAddress bytes of the address the last bind, connect or
// send-to passed down; returns the length that came with it.
using RecordingLastAddressBytesFn = int (*)(BYTE* address, int cbAddress);
// The thread's last error as the latest recorded call found it.
using RecordingLastErrorSeenFn = DWORD (*)();
// From now on every recorded call sets the last error to error (isLeaving
// TRUE) or leaves it alone (FALSE, also after a reset).
using RecordingLeaveLastErrorFn = void (*)(BOOL isLeaving, DWORD error);
