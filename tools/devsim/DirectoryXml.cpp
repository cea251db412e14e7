#include "DirectoryXml.h"

#include <arpa/inet.h>

namespace devsim
{
CDirectoryXml::CDirectoryXml(int users, int groups, bool netOrderNumbers) : m_NetOrder(netOrderNumbers)
{
    if (groups < 1)
        groups = 1;
    for (int g = 1; g <= groups; ++g)
        m_Groups.push_back({g, "group" + std::to_string(g), 0});
    for (int u = 1; u <= users; ++u)
    {
        // One name outside ASCII exercises the collector's character-set conversion.
        std::string name =
            (u == 3) ? "\xE7\x94\xA8\xE6\x88\xB7" + std::to_string(u) : "user" + std::to_string(u);
        m_Users.push_back({u, name, 1 + (u - 1) % groups});
    }
    m_Admins.push_back({1, "admin", 1});
    m_Admins.push_back({2, "auditor", 1});
}

std::string CDirectoryXml::Num(int32_t v) const
{
    if (!m_NetOrder)
        return std::to_string(v);
    return std::to_string(htonl(uint32_t(v)));
}

std::string CDirectoryXml::AdminDocument() const
{
    std::string x =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<velmofile>\n  <filecontent>\n    <CtrlManager>\n";
    for (const auto& a : m_Admins)
        x += "      <manager id=\"" + Num(a.m_ID) + "\" name=\"" + a.m_Name + "\" pgrpid=\"" +
             Num(a.m_GroupID) + "\" />\n";
    x += "    </CtrlManager>\n    <CtrlGroup>\n";
    x += "      <group id=\"" + Num(1) + "\" name=\"admins\" pgrpid=\"" + Num(0) + "\" />\n";
    x += "    </CtrlGroup>\n  </filecontent>\n</velmofile>\n";
    return x;
}

std::string CDirectoryXml::UserDocument() const
{
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<content>\n  <svpngroup>\n";
    for (const auto& g : m_Groups)
        x += "    <group id=\"" + Num(g.m_ID) + "\" name=\"" + g.m_Name + "\" pgrpid=\"" + Num(g.m_GroupID) +
             "\" />\n";
    x += "  </svpngroup>\n  <svpnuser>\n";
    for (const auto& u : m_Users)
        x += "    <user id=\"" + Num(u.m_ID) + "\" name=\"" + u.m_Name + "\" grpid=\"" + Num(u.m_GroupID) +
             "\" />\n";
    x += "  </svpnuser>\n</content>\n";
    return x;
}
} // namespace devsim
