// What the fake's own files share beyond the tests' contract. All of it is guarded by
// FakeLock, like the contract's records.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "tests/fake/fake_platform.h"

// Notified on every change a waiting thread might be waiting for.
extern std::condition_variable FakeChanged;

enum class FakeHandleKind { Manager, Service, Status, Event, Socket, Source, Key };

struct FakeHandle {
    FakeHandleKind kind;
    bool signalled;    // events only
    std::string name;  // event sources and registry keys
};

struct FakeDatagram {
    std::string bytes;
    int error;  // non-zero: the receive fails with it
};

struct FakeInternals {
    int callCounts[static_cast<int>(FakeCall::Count)];
    struct Failure {
        FakeCall call;
        int nth;
        std::uint32_t error;
    };
    std::deque<Failure> failures;
    FakeCall holdCall;
    int holdNth;  // 0: no hold
    bool held;
    std::map<OsHandle, FakeHandle> handles;
    OsHandle nextHandle;
    std::deque<FakeDatagram> datagrams;
    bool receiverWaiting;
    OsHandle receiverStopEvent;  // the event the waiting receive watches
    std::map<std::uint32_t, std::size_t> longMessages;
    ControlHandlerFunction handler;
};
extern FakeInternals FakeInner;

// The thread's error codes, kept per thread as the platform keeps them.
extern thread_local std::uint32_t FakeLastError;
extern thread_local int FakeWSALastError;

// Counts the call and holds the caller when the test asked for it. True when the call is
// to fail, with *error set to the scripted code. `lock` holds FakeLock.
bool FakeEnter(std::unique_lock<std::mutex>& lock, FakeCall call, std::uint32_t* error);

OsHandle FakeOpenHandle(FakeHandleKind kind, std::string name = {});
// False (and a bad use counted) unless `handle` is open and of that kind.
bool FakeCheckHandle(OsHandle handle, FakeHandleKind kind);
void FakeCloseHandle(OsHandle handle, FakeHandleKind kind);

// Receiver idle: waiting, nothing queued, the stop event not signalled.
bool FakeReceiverIdle();
