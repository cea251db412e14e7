#include "support/TestHelpers.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace qbtest
{
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

size_t CountOf(const std::string& text, const std::string& what)
{
    if (what.empty())
        return 0;
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

time_t LocalEpoch(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t
    {
    };
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string Md5(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), len);
}

std::string Md5Hex(const std::string& text)
{
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : Md5(text))
    {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string ShellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string EnvText(const char* name)
{
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

std::string XmlAttr(const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
    {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (c < 0x20)
            out += "&#" + std::to_string(c) + ";";
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string MakeTempDir(const std::string& stem)
{
    std::string tmpl = "/tmp/" + stem + "_XXXXXX";
    return mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
}

void RemoveTree(const std::string& dir)
{
    if (dir.size() > 5 && dir.rfind("/tmp/", 0) == 0 && dir.find("/..") == std::string::npos)
        (void)system(("rm -rf " + ShellQuote(dir)).c_str());
}
// HTTP/1.0: the server closes after one plain answer.
std::string HttpGet(int port, const std::string& path)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
    {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        ssize_t n;
        while (poll(&p, 1, 5000) > 0 && (n = recv(fd, buf, sizeof(buf), 0)) > 0)
            out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t body = out.find("\r\n\r\n");
    return out.rfind("HTTP/1.", 0) == 0 && out.find(" 200 ") < out.find("\r\n") && body != std::string::npos
               ? out.substr(body + 4)
               : std::string();
}

double MetricSum(const std::string& text, const std::string& family)
{
    double sum = 0;
    for (size_t at = text.find(family); at != std::string::npos; at = text.find(family, at + 1))
    {
        // A sample line starts with the family's name followed by labels or a blank.
        if ((at > 0 && text[at - 1] != '\n') || at + family.size() >= text.size())
            continue;
        const char next = text[at + family.size()];
        if (next != ' ' && next != '{')
            continue;
        const size_t eol = text.find('\n', at);
        const size_t blank = text.rfind(' ', eol == std::string::npos ? text.size() - 1 : eol - 1);
        if (blank != std::string::npos && blank > at)
            sum += atof(text.c_str() + blank + 1);
    }
    return sum;
}

std::map<std::string, std::string> KeyValuesAfter(const std::string& text, const std::string& marker)
{
    std::map<std::string, std::string> values;
    const size_t at = text.find(marker);
    if (at == std::string::npos)
        return values;
    std::istringstream in(text.substr(at + marker.size()));
    std::string word;
    while (in >> word)
        if (size_t eq = word.find('='); eq != std::string::npos)
            values[word.substr(0, eq)] = word.substr(eq + 1);
    return values;
}
} // namespace qbtest
