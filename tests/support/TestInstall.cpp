#include "support/TestInstall.h"

#include "config/ConfigManager.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/FileSystem.h"
#include "support/InstallTree.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace qbtest
{
std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string BinDir()
{
    std::string exe = platform::ExecutablePath();
    return exe.substr(0, exe.find_last_of('/'));
}

const std::string& InitTestInstall()
{
    static std::string installDir = []
    {
        // The process's tree lives as long as the process and a little longer: services started in it
        // are stopped at exit.
        static CInstallTree tree(SInstallTreeOptions().Stem("qb_unit").Kept());
        tree.WriteProgramLog(31, true);
        tree.WriteMySqlIni("3306");
        tree.WriteRegistry();
        setenv("QUILLBARN_REGISTRY", tree.RegistryPath().c_str(), 1);
        setenv("QUILLBARN_TEST_TIME_DIVISOR", "1000", 1);
        CGlobalSharedData::GetInstance()->Init();
        CConfigManager::GetInstance()->Init();
        CProgramLogRecorder::GetInstance()->Init();
        return tree.Dir();
    }();
    return installDir;
}

std::string ReadTodayLog()
{
    LocalTime now = CClock::Now();
    char name[64];
    snprintf(name, sizeof(name), "/LogFile_%04d_%02d_%02d.log", now.m_Year, now.m_Month, now.m_Day);
    return ReadFile(CGlobalSharedData::GetInstance()->GetLogDir() + name);
}
} // namespace qbtest
