// The merge buffers of one merging writer and the two threads that release them.
//
// The record task adds records to the current buffer; a buffer that is full or older than the particle
// time is switched out and released on the write thread (`WriteDataProcess`) to the writers behind the
// owner, while the next free buffer collects. `DataBuffSwitcher` asks for a switch every particle time.
//
// Locks: the merger lock guards the pool and the current buffer and is held by the record task for one
// record at a time; each buffer's lock guards its records. Order: merger lock, then buffer lock. A
// release holds only the released buffer's lock, so it does not stall the record task, and a record
// task that waits for a free buffer does so without the merger lock.
#pragma once
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "protocol/WireProtocol.h"
#include "writers/LogMergeBuff.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class CBaseLogWriter;

class CLogMerger
{
public:
    CLogMerger() = default;
    virtual ~CLogMerger();
    CLogMerger(const CLogMerger&) = delete;
    CLogMerger& operator=(const CLogMerger&) = delete;

    // Starts the threads, creates the buffers and picks a current one; 0 when a thread cannot start.
    int Init();
    // Ends the threads (a forced release of every held record happens on the write thread first) and
    // destroys the buffers. Does nothing on a merger that is not initialised.
    void UnInit();
    // End of the connection: every held record is released, then the threads end.
    void OnQuit();

    // 1 when the record was taken (stored, summed, dropped as a duplicate or filtered), 0 when it goes
    // on to the next writer.
    uint32_t MergeUserLog(int signCode, const UserLogV3* record);
    uint32_t MergeSysLog(int signCode, const SystemLog* record);

    void SetOwner(CBaseLogWriter* owner) { m_pOwner = owner; }
    bool IsInit() const { return m_bInit.load() != 0; }
    // Whether any merge buffer exists (merging is not switched off).
    bool HasMergeBuffers() const { return m_BuffCount.load() != 0; }
    // Buffers, their capacity and their fill, taken under the merger lock.
    void GetMergeInfo(uint32_t& buffCount, uint64_t& capacity, uint64_t& used);

    static constexpr uint32_t PICK_WAIT_MS = 10000;
    static constexpr uint32_t QUIT_WAIT_MS = 10000;
    static constexpr uint32_t SWITCHER_TICK_MS = 1000;
    static constexpr uint32_t MAX_WAIT_BUFFERS = 64;

private:
    using BuffPtr = std::shared_ptr<LogMergeBuff>;
    enum EMergeKind
    {
        MERGE_USER,
        MERGE_SYS
    };

    uint32_t MergeLog(EMergeKind kind, int signCode, const void* record);
    int AdjustMergeBuffers();
    int NeedSwitchOut(LogMergeBuff* buff);
    int AddUserLog(LogMergeBuff* buff, int signCode, const UserLogV3* record);
    int AddSysLog(LogMergeBuff* buff, int signCode, const SystemLog* record);
    int StoreLog(LogMergeBuff* buff, int signCode, const UserLogV3* record);
    int MergeFlowLog(LogMergeBuff* buff, int signCode, const UserLogV3* record);
    int MergeSvrLog(LogMergeBuff* buff, int signCode, const UserLogV3* record);
    int MatchHttpFilter(LogMergeBuff* buff, const UserLogV3* record);
    void LoadMergeConfig(LogMergeBuff* buff);
    void ResetLogMergeBuff(LogMergeBuff* buff);
    // Called with the merger lock held once; a waiting pick leaves the lock while it waits.
    int PickFreeLogMergeBuff(uint32_t waitMs);
    // A buffer became free after an earlier pick failed: take it (merger lock held).
    bool RecoverCurrentBuff();
    int WriteOutLogMergeBuff(LogMergeBuff* buff, bool force);
    BuffPtr PickSwitchOutLogBuff(bool force);
    int SwitchOutLogBuff(bool force);
    void StopThreads(uint32_t timeoutMs);

    static uint32_t DataBuffSwitcher(CLogMerger* merger);
    static uint32_t WriteDataProcess(CLogMerger* merger);

    platform::CCriticalSection m_Lock;
    std::atomic<uint32_t> m_bRunning{0};
    std::atomic<uint32_t> m_bInit{0};
    platform::ThreadHandle m_hWriteDataProcess;
    platform::ThreadHandle m_hDataBuffSwitcher;
    std::vector<BuffPtr> m_Buffs;
    BuffPtr m_pCurrent;
    platform::CEvent m_SwitchEvent{false, false};
    // Ends the switcher's tick wait at once when the merger stops.
    platform::CEvent m_StopEvent{true, false};
    // 0 once the write thread makes its last release: later records are not held any more.
    std::atomic<uint32_t> m_bAccepting{0};
    std::atomic<uint32_t> m_BuffCount{0};
    CBaseLogWriter* m_pOwner = nullptr;
};
