// The directory documents a device pushes at connection start: administrators with their groups, and
// users with their groups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace devsim
{
struct SDirUser
{
    int32_t m_ID;
    std::string m_Name;
    int32_t m_GroupID;
};

class CDirectoryXml
{
public:
    // users/groups: how many of each; netOrderNumbers: write numeric attributes as the decimal value
    // of their network-order word (what a table description typed "ulong" expects).
    CDirectoryXml(int users, int groups, bool netOrderNumbers);

    std::string AdminDocument() const;
    std::string UserDocument() const;

    const std::vector<SDirUser>& Users() const { return m_Users; }
    const std::vector<SDirUser>& Admins() const { return m_Admins; }

private:
    std::string Num(int32_t v) const;

    std::vector<SDirUser> m_Users;
    std::vector<SDirUser> m_Groups; // m_GroupID holds the parent group
    std::vector<SDirUser> m_Admins; // m_GroupID holds the parent admin group
    bool m_NetOrder;
};
} // namespace devsim
