#pragma once
#include "core/Task.h"
#include "platform/Socket.h"

#include <cstdint>
#include <memory>

// Owns the device port: loads the registered devices, cleans the temporary
// directory, keeps the watchdog service running (service mode) and turns
// every accepted connection into a device connection. When it stops after
// the device table was loaded, the whole collector stops with it.
class CDataCenterListenTask : public CTask
{
public:
    CDataCenterListenTask() = default;
    ~CDataCenterListenTask() override;

    uint32_t Run() override;

    int CleanUpTempXml();
    int MakeQuillbarnServiceOK();
    uint32_t DealNetWorkEvent(uint32_t waitRet);
    uint32_t OnFDAccept();

    static constexpr const char* WATCHDOG_SERVICE_NAME = "KelvDog";
    static constexpr uint32_t LISTEN_WAIT_MS = 1000;
    static constexpr uint32_t WAIT_IO_COMPLETION = 192;
    static constexpr int NODE_RECV_BUFFER_SIZE = 2097152;
    static constexpr uint32_t KEEPALIVE_IDLE_MS = 60000;
    static constexpr uint32_t KEEPALIVE_INTERVAL_MS = 2000;
    // Pause after an accept that failed for want of descriptors or memory,
    // so that the listener does not spin while the condition lasts.
    static constexpr uint32_t ACCEPT_RESOURCE_PAUSE_MS = 100;

private:
    platform::SOCKET m_ListenSocket = platform::INVALID_SOCKET;
    std::unique_ptr<platform::CSocketEvent> m_pNetEvent;
};
