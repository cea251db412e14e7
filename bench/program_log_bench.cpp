// Cost of a log call whose line no output takes, against one that is written.
// The filtered call must not format: its ratio to the written call is the figure.
#include "config/ConfigManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "support/TestInstall.h"

#include <benchmark/benchmark.h>

namespace
{
void Setup()
{
    qbtest::InitTestInstall();
    // Mask 1: ERROR lines are written, DEBUG lines are filtered out.
    qbtest::WriteFile(CGlobalSharedData::GetInstance()->GetConfigDir() + "/ProgramLog.conf",
                      "[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=1\n[TxtLog]\nEnable=1\n"
                      "MaxLogSize=0\nLogLevel=1\nMaxLogFiles=0\n");
    CConfigManager::GetInstance()->LoadSpicifyConfig("ProgramLog.conf");
}

void BM_LogFilteredOut(benchmark::State& state)
{
    Setup();
    uint32_t i = 0;
    for (auto _ : state)
        CProgramLogRecorder::GetInstance()->Log(PL_DEBUG, "[CBench]",
                                                "[Run] Record %u Of Device %s Len = %d\n", ++i,
                                                "0123456789abcdef0123456789abcdef", 512);
}
BENCHMARK(BM_LogFilteredOut);

void BM_LogWritten(benchmark::State& state)
{
    Setup();
    uint32_t i = 0;
    for (auto _ : state)
        CProgramLogRecorder::GetInstance()->Log(PL_ERROR, "[CBench]",
                                                "[Run] Record %u Of Device %s Len = %d\n", ++i,
                                                "0123456789abcdef0123456789abcdef", 512);
}
BENCHMARK(BM_LogWritten);
} // namespace

BENCHMARK_MAIN();
