#include "support/TestInstall.h"

#include "config/ConfigManager.h"
#include "platform/FileSystem.h"
#include "core/Clock.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"

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
        char tmpl[] = "/tmp/qb_unit_XXXXXX";
        std::string dir = mkdtemp(tmpl);
        for (const char* sub : {"/Kelv", "/Kelv/Config", "/Kelv/Log", "/Kelv/DataFile", "/Kelv/Temp", "/Kelv/Dump",
                                "/htdocs", "/htdocs/UploadFiles", "/mysql"})
            platform::CreateDirectory(dir + sub);
        std::string confSrc = std::string(QB_SOURCE_DIR) + "/conf";
        for (const std::string& f : platform::ListDirectory(confSrc, "*", true))
            platform::CopyFile(confSrc + "/" + f, dir + "/Kelv/Config/" + f, false);
        WriteFile(dir + "/Kelv/Config/ProgramLog.conf", "[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=1\n"
                                                        "[TxtLog]\nEnable=1\nMaxLogSize=0\nLogLevel=31\nMaxLogFiles=0\n");
        WriteFile(dir + "/mysql/my.ini", "[mysqld]\nport=3306\nbasedir=/usr\ndatadir=" + dir + "/mysql\n");
        WriteFile(dir + "/registry.ini", "[HKLM\\Software\\Velmora\\SSL\\DC]\nInstallPath=\"" + dir + "\"\n");
        setenv("QUILLBARN_REGISTRY", (dir + "/registry.ini").c_str(), 1);
        setenv("QUILLBARN_TEST_TIME_DIVISOR", "1000", 1);
        CGlobalSharedData::GetInstance()->Init();
        CConfigManager::GetInstance()->Init();
        CProgramLogRecorder::GetInstance()->Init();
        return dir;
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
