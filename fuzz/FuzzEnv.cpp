#include "fuzz/FuzzEnv.h"

#include "config/ConfigManager.h"
#include "core/BuffManager.h"
#include "core/GlobalSharedData.h"
#include "core/ProgramLogRecorder.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <unistd.h>

namespace qbfuzz
{
namespace
{
void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    ::remove(path);
    return 0;
}

std::string g_InstallDir;
pid_t g_Owner = 0;

void RemoveInstall()
{
    // Forked children (none today) must not take the tree from their parent.
    if (!g_InstallDir.empty() && getpid() == g_Owner)
        nftw(g_InstallDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

const FuzzTarget TARGETS[] = {
    {"framing", FuzzFraming},
    {"xmlpush", FuzzXmlPush},
    {"lzo1b", FuzzLzo1bBlock},
    {"infoqry", FuzzInfoQuery},
};
} // namespace

const std::string& InitFuzzEnv()
{
    static const bool once = []
    {
        char tmpl[] = "/tmp/qb_fuzz_XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr)
            abort();
        g_InstallDir = made;
        g_Owner = getpid();
        atexit(RemoveInstall);
        const std::string dir = g_InstallDir;
        for (const char* sub : {"/Kelv", "/Kelv/Config", "/Kelv/Log", "/Kelv/DataFile", "/Kelv/Temp",
                                "/Kelv/Dump", "/htdocs", "/htdocs/UploadFiles", "/mysql"})
            platform::CreateDirectory(dir + sub);
        const std::string confSrc = std::string(QB_SOURCE_DIR) + "/conf";
        for (const std::string& f : platform::ListDirectory(confSrc, "*", true))
            platform::CopyFile(confSrc + "/" + f, dir + "/Kelv/Config/" + f, false);
        WriteText(dir + "/Kelv/Config/ProgramLog.conf",
                  "[GlobalProgramLog]\nEnable=0\n[DebugViewLog]\nEnable=0\n[TxtLog]\nEnable=0\n");
        platform::WritePrivateProfileString("SvpnNode", "MaxPackgeSize", "1",
                                            dir + "/Kelv/Config/KelvAdv.conf");
        WriteText(dir + "/mysql/my.ini", "[mysqld]\nport=1\nbasedir=/usr\ndatadir=" + dir + "/mysql\n");
        WriteText(dir + "/registry.ini", "[HKLM\\Software\\Velmora\\SSL\\DC]\nInstallPath=\"" + dir + "\"\n");
        setenv("QUILLBARN_REGISTRY", (dir + "/registry.ini").c_str(), 1);
        setenv("QUILLBARN_TEST_TIME_DIVISOR", "1000", 1);
        CGlobalSharedData::GetInstance()->Init();
        CConfigManager::GetInstance()->Init();
        CProgramLogRecorder::GetInstance()->Init();
        CBuffManager::GetInstance()->Init();
        return true;
    }();
    (void)once;
    return g_InstallDir;
}

void CleanTempDir()
{
    const std::string temp = CGlobalSharedData::GetInstance()->GetTempDir();
    for (const std::string& f : platform::ListDirectory(temp, "*", true))
        platform::DeleteFile(temp + "/" + f);
}

const FuzzTarget* FindTarget(const std::string& name)
{
    for (const FuzzTarget& t : TARGETS)
        if (name == t.m_Name)
            return &t;
    return nullptr;
}

void CheckFailed(const char* what, const char* file, int line)
{
    fprintf(stderr, "fuzz invariant failed: %s at %s:%d\n", what, file, line);
    fflush(stderr);
    abort();
}
} // namespace qbfuzz
