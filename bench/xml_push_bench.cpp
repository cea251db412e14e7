// What hostile directory pushes cost the XML library, and what the collector's checks before parsing
// cost instead. Each hostile document is timed against an ordinary directory document of the same
// size parsed in the same process (the baseline); the checked path is CLogudtSqlBuilder's, which
// refuses the first two before the library sees them.
//   build/bin/xml_push_bench [levels] [attributes] [empty-element MiB]   (defaults 20000 20000 8)
#include "intake/LogudtSqlBuilder.h"
#include "support/TestInstall.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tinyxml.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Peak resident memory of a child that runs `work` (forked, so each measure starts from the same
// process and none inherits another's freed heap).
long ChildPeakKiB(const std::function<void()>& work)
{
    pid_t pid = fork();
    if (pid == 0)
    {
        work();
        _exit(0);
    }
    int status = 0;
    rusage u{};
    wait4(pid, &status, 0, &u);
    return u.ru_maxrss;
}

// An ordinary users document of about `bytes`: rows of three attributes.
std::string Directory(size_t bytes)
{
    std::string d = "<content><svpnuser>";
    for (int i = 0; d.size() < bytes; ++i)
        d += "<u id=\"" + std::to_string(i) + "\" name=\"user" + std::to_string(i) + "\" grpid=\"1\"/>";
    return d + "</svpnuser></content>";
}

double LibraryParse(const std::string& text)
{
    auto t = Clock::now();
    TiXmlDocument doc;
    doc.Parse(text.c_str());
    return Seconds(t);
}

void Report(const char* what, const std::string& text)
{
    const std::string baseline = Directory(text.size());
    const double base = LibraryParse(baseline);
    const double library = LibraryParse(text);
    auto t = Clock::now();
    TiXmlDocument doc;
    const bool loaded = CLogudtSqlBuilder::ParseDocumentText(doc, text, what);
    const double checked = Seconds(t);
    printf("%-22s %9zu bytes  library %8.3f s = %7.1fx the directory baseline (%.4f s)  checked path %.4f s, "
           "%s\n",
           what, text.size(), library, library / base, base, checked, loaded ? "parsed" : "refused");
}
} // namespace

int main(int argc, char** argv)
{
    const int levels = argc > 1 ? atoi(argv[1]) : 20000;
    const int attributes = argc > 2 ? atoi(argv[2]) : 20000;
    const size_t emptyMiB = argc > 3 ? static_cast<size_t>(atoi(argv[3])) : 8;
    qbtest::InitTestInstall();

    // "<<" opens a tag the library reads to the first '>', quotes or not: the levels after it are
    // hidden from a reading that honours the quote.
    std::string hidden = "<content><<x\">";
    for (int i = 0; i < levels; ++i)
        hidden += "<svpnuser>";
    Report("hidden levels", hidden);

    std::string many = "<content><svpnuser><u";
    for (int i = 0; i < attributes; ++i)
        many += " a" + std::to_string(i) + "=''";
    many += "/></svpnuser></content>";
    Report("attributes", many);

    // Memory: the parsed tree of empty elements against the text, and against a directory of the same
    // size; each parse runs in a child, against a child that parses nothing.
    std::string empty = "<content>";
    while (empty.size() < emptyMiB * 1024 * 1024)
        empty += "<a/>";
    empty += "</content>";
    const std::string directory = Directory(empty.size());
    const long idle = ChildPeakKiB([] {});
    const long directoryKiB = ChildPeakKiB(
                                  [&]
                                  {
                                      TiXmlDocument doc;
                                      doc.Parse(directory.c_str());
                                  }) -
                              idle;
    auto t = Clock::now();
    const long emptyKiB = ChildPeakKiB(
                              [&]
                              {
                                  TiXmlDocument doc;
                                  CLogudtSqlBuilder::ParseDocumentText(doc, empty, "empty elements");
                              }) -
                          idle;
    const double seconds = Seconds(t);
    printf("%-22s %9zu bytes  checked path %.3f s, peak +%ld KiB = %.0fx the text; the directory "
           "baseline +%ld KiB = %.0fx\n",
           "empty elements", empty.size(), seconds, emptyKiB,
           emptyKiB * 1024.0 / static_cast<double>(empty.size()), directoryKiB,
           directoryKiB * 1024.0 / static_cast<double>(directory.size()));
    return 0;
}
