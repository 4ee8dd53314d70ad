// The manager and its dispatcher. The dispatcher runs the service for real, on a thread
// of its own, and plays the scripted controls to the registered handler on the calling
// thread, each once the receiver sits idle: by then the service has reported running,
// so no stop reaches it before it accepts one.
#include "platform/scm.h"

#include <cstdio>
#include <string>
#include <thread>

#include "platform/constants.h"
#include "tests/fake/fake_state.h"

namespace {

ServiceStatus AnswerFor(std::uint32_t state) {
    const std::uint32_t accepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
    return ServiceStatus{SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, 0, 0};
}

std::string Hex(std::uint32_t value) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

// What ends a call on `handle` before the database is looked at: the test's scripted
// failure, or a handle that is not open; 0 for neither.
std::uint32_t Admit(std::unique_lock<std::mutex>& lock, FakeCall call, OsHandle handle,
                    FakeHandleKind kind) {
    std::uint32_t error = 0;
    if (FakeEnter(lock, call, &error)) {
        return error;
    }
    return FakeCheckHandle(handle, kind) ? 0 : ERROR_INVALID_HANDLE;
}

}  // namespace

bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* table) {
    std::unique_lock<std::mutex> lock(FakeLock);
    for (const ServiceTableEntry* row = table; row->serviceName != nullptr; ++row) {
        Fake.dispatchedServices.emplace_back(row->serviceName);
    }
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::StartServiceCtrlDispatcher, &error) || !Fake.dispatcherConnects) {
        FakeLastError = error != 0 ? error : ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return false;
    }
    std::string name = table[0].serviceName;
    const ServiceMainFunction serviceMain = table[0].serviceProc;
    bool serviceDone = false;
    std::thread service([&] {
        char* argVector[] = {name.data(), nullptr};
        serviceMain(1, argVector);
        const std::lock_guard<std::mutex> guard(FakeLock);
        serviceDone = true;
        FakeChanged.notify_all();
    });
    for (;;) {
        FakeChanged.wait(lock, [&] {
            return serviceDone ||
                   (!Fake.controls.empty() && FakeInner.handler != nullptr && FakeReceiverIdle());
        });
        if (serviceDone) {
            break;
        }
        const std::uint32_t control = Fake.controls.front();
        Fake.controls.pop_front();
        const ControlHandlerFunction handler = FakeInner.handler;
        lock.unlock();
        handler(control);
        lock.lock();
    }
    lock.unlock();
    service.join();
    return true;
}

OsHandle OsRegisterServiceCtrlHandler(const char* serviceName, ControlHandlerFunction handler) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::RegisterServiceCtrlHandler, &error)) {
        FakeLastError = error;
        return 0;
    }
    Fake.handlerServiceName = serviceName;
    FakeInner.handler = handler;
    return FakeOpenHandle(FakeHandleKind::Status);
}

bool OsSetServiceStatus(OsHandle statusHandle, const ServiceStatus& status) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    const bool fails = FakeEnter(lock, FakeCall::SetServiceStatus, &error);
    (void)FakeCheckHandle(statusHandle, FakeHandleKind::Status);
    Fake.reports.push_back({status, !fails});
    if (fails) {
        FakeLastError = error;
    }
    return !fails;
}

OsHandle OsOpenSCManager(std::uint32_t desiredAccess) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("OpenSCManager " + Hex(desiredAccess));
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::OpenSCManager, &error)) {
        FakeLastError = error;
        return 0;
    }
    return FakeOpenHandle(FakeHandleKind::Manager);
}

OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* displayName,
                         std::uint32_t desiredAccess, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t errorControl,
                         const char* binaryPath) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("CreateService ") + serviceName);
    std::uint32_t error = Admit(lock, FakeCall::CreateService, manager, FakeHandleKind::Manager);
    if (error == 0 && Fake.serviceInstalled) {
        error = ERROR_SERVICE_EXISTS;
    }
    if (error != 0) {
        FakeLastError = error;
        return 0;
    }
    Fake.serviceInstalled = true;
    Fake.serviceConfig = {serviceName, displayName,  desiredAccess, serviceType,
                          startType,   errorControl, binaryPath};
    return FakeOpenHandle(FakeHandleKind::Service);
}

OsHandle OsOpenService(OsHandle manager, const char* serviceName, std::uint32_t desiredAccess) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("OpenService ") + serviceName + " " + Hex(desiredAccess));
    std::uint32_t error = Admit(lock, FakeCall::OpenService, manager, FakeHandleKind::Manager);
    if (error == 0 && (!Fake.serviceInstalled || Fake.serviceConfig.serviceName != serviceName)) {
        error = ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (error != 0) {
        FakeLastError = error;
        return 0;
    }
    return FakeOpenHandle(FakeHandleKind::Service);
}

bool OsControlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("ControlService " + Hex(control));
    std::uint32_t error = Admit(lock, FakeCall::ControlService, service, FakeHandleKind::Service);
    if (error == 0 && Fake.serviceState == SERVICE_STOPPED) {
        error = ERROR_SERVICE_NOT_ACTIVE;
    }
    if (error != 0) {
        FakeLastError = error;
        return false;
    }
    if (control == SERVICE_CONTROL_STOP) {
        Fake.serviceState = SERVICE_STOP_PENDING;
    }
    *status = AnswerFor(Fake.serviceState);
    return true;
}

bool OsQueryServiceStatus(OsHandle service, ServiceStatus* status) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.emplace_back("QueryServiceStatus");
    std::uint32_t error =
        Admit(lock, FakeCall::QueryServiceStatus, service, FakeHandleKind::Service);
    if (error != 0) {
        FakeLastError = error;
        return false;
    }
    if (Fake.serviceState == SERVICE_STOP_PENDING) {
        Fake.serviceState = Fake.stopAnswers.empty() ? SERVICE_STOPPED : Fake.stopAnswers.front();
        if (!Fake.stopAnswers.empty()) {
            Fake.stopAnswers.pop_front();
        }
    }
    *status = AnswerFor(Fake.serviceState);
    return true;
}

bool OsDeleteService(OsHandle service) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.emplace_back("DeleteService");
    std::uint32_t error = Admit(lock, FakeCall::DeleteService, service, FakeHandleKind::Service);
    if (error != 0) {
        FakeLastError = error;
        return false;
    }
    Fake.serviceInstalled = false;
    return true;
}

void OsCloseServiceHandle(OsHandle handle) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    const auto found = FakeInner.handles.find(handle);
    const bool isManager =
        found != FakeInner.handles.end() && found->second.kind == FakeHandleKind::Manager;
    Fake.trace.emplace_back(isManager ? "CloseServiceHandle manager"
                                      : "CloseServiceHandle service");
    FakeCloseHandle(handle, isManager ? FakeHandleKind::Manager : FakeHandleKind::Service);
}
