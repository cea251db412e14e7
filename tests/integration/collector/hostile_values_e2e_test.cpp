// Hostile values end to end: every enforced range at its edges, texts made to break escaping on every
// path into the tables, upload names that try to leave the upload tree, and hostile blocks of audit
// uploads. Each stored value is exactly the device's, and nothing is written outside its place.
#include "HostileInputE2E.h"

#include "core/Utilities.h"
#include "platform/FileSystem.h"
#include "support/Process.h"
#include "support/TestHelpers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iconv.h>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace hostile;
using qbtest::XmlAttr;

namespace
{
using Clock = std::chrono::steady_clock;

std::string Hex(const std::string& raw)
{
    static const char* h = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw)
    {
        out += h[c >> 4];
        out += h[c & 15];
    }
    return out;
}

std::string HexUpper(const std::string& raw)
{
    std::string h = Hex(raw);
    for (char& c : h)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return h;
}

// The GBK text a device's UTF-8 text should be stored as, worked out character by character with the
// platform's converter: a field ends at its first NUL, and a character GBK cannot hold becomes '?'.

std::string ExpectedGbk(std::string utf8)
{
    utf8 = utf8.substr(0, utf8.find('\0'));
    iconv_t cd = iconv_open("GBK", "UTF-8");
    std::string out;
    for (size_t i = 0; i < utf8.size();)
    {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool whole = n > 0 && i + n <= utf8.size();
        for (size_t k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        if (!whole)
        {
            // A byte that starts no whole character (one cut off by the end of its field, or one followed
            // by something else) is one '?', and what follows it is read afresh.
            out += '?';
            if (i + n > utf8.size())
                break;
            ++i;
            continue;
        }
        char in[4], buf[8];
        std::memcpy(in, &utf8[i], n);
        char* ip = in;
        char* op = buf;
        size_t il = n, ol = sizeof(buf);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1))
            out += '?';
        else
            out.append(buf, static_cast<size_t>(op - buf));
        i += n;
    }
    iconv_close(cd);
    return out;
}

// UTF-8 of every GBK character whose trail byte is `trail` (an escape character in SQL and in the
// loader when taken alone).
std::vector<std::string> GbkCharsWithTrail(unsigned char trail, size_t want)
{
    std::vector<std::string> found;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    for (int lead = 0x81; lead <= 0xFE && found.size() < want; lead += 7)
    {
        char in[2] = {static_cast<char>(lead), static_cast<char>(trail)}, buf[8];
        char* ip = in;
        char* op = buf;
        size_t il = 2, ol = sizeof(buf);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1))
            found.emplace_back(buf, static_cast<size_t>(op - buf));
    }
    iconv_close(cd);
    return found;
}

std::string Columns(CCollectorHarness& c, const std::string& db)
{
    return c.Query(
        "select group_concat(concat_ws(':', table_name, ordinal_position, column_name, column_type, "
        "ifnull(character_set_name, '-'), is_nullable) order by table_name, ordinal_position "
        "separator ' ') from information_schema.columns where table_schema = '" +
        db + "'");
}
} // namespace

// Every enforced range at min-1, min, max and max+1, sent by devsim's own encoder: a value inside is
// stored exactly (one row holding that value), a value outside is refused (no row; for a keepalive, no
// reply). User records go through data files and `load data`, the others through batched inserts.
TEST_F(HostileInputE2E, EveryEnforcedRangeAtItsEdgesEndToEnd)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start({"QUILLBARN_TEST_TIME_DIVISOR=60"}));
    const std::string db = m_C.DeviceDb(1);
    struct SRange
    {
        const char* m_Kind;   // script line up to the field
        const char* m_Field;  // field of the script line
        int64_t m_Min, m_Max; // the collector's enforced range
        const char* m_Table;  // where an accepted record lands
        const char* m_Column; // holding the field's value
    };
    // devsim's default directory has user "user1" in group 1 and administrator "admin".
    const std::string user = "user group=1 name=" + Hex("user1");
    const SRange ranges[] = {
        {"alarm", "type", 0, 12, "alarm_log", "type"},
        {"admin entity=0 result=0 name=61646d696e", "action", 0, 6, "adt_log", "adt_action"},
        {"admin action=1 result=0 name=61646d696e", "entity", 0, 15, "adt_log", "entity"},
        {"admin action=1 entity=0 name=61646d696e", "result", 0, 2, "adt_log", "action_result"},
        {"sys process=3", "type", 0, 4, "syslog", "lev"},
        {"sys type=1", "process", 0, 603, "syslog", "process"},
        {"v=1 result=0", "action", 0, 6, "usrbasiclog", "user_action"},
        {"v=2 result=0", "action", 0, 6, "usrbasiclog", "user_action"},
        {"v=3 result=0", "action", 0, 6, "usrbasiclog", "user_action"},
        {"v=1 action=1", "result", 0, 2, "usrbasiclog", "action_result"},
        {"v=2 action=1", "result", 0, 2, "usrbasiclog", "action_result"},
        {"v=3 action=1", "result", 0, 2, "usrbasiclog", "action_result"},
        {"v=1 action=1", "auth", 0, 511, "usrbasiclog", "auth_method"},
        {"v=3 action=1", "auth", 0, 511, "usrbasiclog", "auth_method"},
        {"v=1 action=3 sip=167838211 sport=80", "svc", 0, 3, "usrsvrlog", "svr_type"},
        {"v=3 action=3 sip=167838211 sport=80", "svc", 0, 3, "usrsvrlog", "svr_type"},
        {"v=2 action=3 sip=167838211 sport=80", "attr", 0, 1, "usrsvrlog", "svr_attr"},
        {"v=3 action=3 sip=167838211 sport=80", "attr", 0, 1, "usrsvrlog", "svr_attr"},
    };
    struct SCase
    {
        const SRange* m_Range;
        int64_t m_Value;
        std::string m_Tag;
        bool m_In;
    };
    std::vector<SCase> cases;
    std::vector<std::string> lines;
    for (const SRange& r : ranges)
        for (int64_t v : {r.m_Min - 1, r.m_Min, r.m_Max, r.m_Max + 1})
        {
            std::string tag = "range" + std::to_string(cases.size());
            std::string kind = r.m_Kind;
            if (kind.rfind("v=", 0) == 0)
                kind = user + " " + kind;
            lines.push_back(kind + " " + r.m_Field + "=" + std::to_string(v) + " msg=" + Hex(tag));
            cases.push_back({&r, v, tag, v >= r.m_Min && v <= r.m_Max});
        }
    // Keepalives: the device type decides whether the record is answered; the tag tells the replies apart.
    int tag = 1, keepalives = 0;
    for (int64_t v : {-1, 0, 2, 3})
    {
        bool in = v >= 0 && v <= 2;
        lines.push_back("keepalive devtype=" + std::to_string(v) + " tag=" + std::to_string(tag++) +
                        " reply=" + (in ? "1" : "0"));
        keepalives += in ? 1 : 0;
    }
    int code = 0;
    auto report = RunScript(lines, &code);
    // devsim fails on a missing, surplus or wrong reply: the refused keepalives got none.
    ASSERT_EQ(code, 0) << report["_output"];
    EXPECT_EQ(atoi(report["replies.keepalive"].c_str()), keepalives + 1);

    int accepted = 0;
    for (const SCase& c : cases)
        accepted += c.m_In ? 1 : 0;
    // Accepted records arrive by insert batches (at the connection's end) and by data files (switched out
    // after 10 s here): wait for all of them, then judge each record.
    auto stored = [&]
    {
        long long n = 0;
        for (const char* t : {"alarm_log", "adt_log", "syslog", "usrbasiclog"})
            n += m_C.Count("select count(*) from " + Table(t) + " where message like 'range%'");
        return n;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (stored() < accepted && Clock::now() < deadline)
        usleep(200 * 1000);
    usleep(2500 * 1000); // a late surplus row would show up here
    int refusedOk = 0, storedOk = 0;
    for (const SCase& c : cases)
    {
        const std::string where = " from " + Table(c.m_Range->m_Table) + " where message = '" + c.m_Tag + "'";
        long long rows = m_C.Count("select count(*)" + where);
        std::string what =
            std::string(c.m_Range->m_Kind) + " " + c.m_Range->m_Field + "=" + std::to_string(c.m_Value);
        if (!c.m_In)
        {
            EXPECT_EQ(rows, 0) << what << " was stored";
            refusedOk += rows == 0;
            continue;
        }
        EXPECT_EQ(rows, 1) << what;
        std::string value = m_C.Query("select `" + std::string(c.m_Range->m_Column) + "`" + where);
        EXPECT_EQ(value, std::to_string(c.m_Value)) << what;
        storedOk += rows == 1 && value == std::to_string(c.m_Value);
    }
    // A refused resource access stores nothing in usrbasiclog either.
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("usrbasiclog") + " b join " + Table("usrsvrlog") +
                        " s on s.record_id = b.record_id where b.message like 'range%'"),
              m_C.Count("select count(*) from " + Table("usrsvrlog") + " where message like 'range%'"));
    printf("[figures] ranges=%zu records=%zu stored_exactly=%d/%d refused=%d/%zu keepalives_answered=%d/4\n",
           std::size(ranges), cases.size(), storedOk, accepted, refusedOk, cases.size() - accepted,
           keepalives);
    EXPECT_TRUE(m_C.IsRunning());
    EXPECT_EQ(m_C.Stop(), 0);
}

// Hostile texts (quotes, backslash, backtick, tab, line ends, the text \N, NUL, GBK characters whose
// trail byte is 0x5C, 4-byte UTF-8, texts filling their whole field) in alarm and administrator
// messages and administrator names (batched inserts), system and user messages and user names (data
// files and `load data`), and in the attributes of directory pushes. Every stored text is exactly the
// device's text in GBK, every row is there once, and the schema is unchanged.
TEST_F(HostileInputE2E, HostileTextsAreStoredExactlyOnEveryPath)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    const std::string db = m_C.DeviceDb(1);
    const std::string schemaBefore = Columns(m_C, db);
    ASSERT_FALSE(schemaBefore.empty());
    ASSERT_TRUE(m_C.Start({"QUILLBARN_TEST_TIME_DIVISOR=60"}));

    std::vector<std::string> tokens = {"'",  "\"",   "\\",   "`",    "\t",   "\n", "\r",    "\\N",
                                       "''", "\\'",  "'\\",  "\\\\", "\r\n", "%_", "\";--", "\\0",
                                       ",",  "\\\"", "\"\"", "'\"`", "<&>",  "\\t"};
    const std::vector<std::string> trail5c = GbkCharsWithTrail(0x5C, 8);
    ASSERT_GE(trail5c.size(), 4u);
    for (const std::string& g : trail5c)
        tokens.insert(tokens.end(), {g, g + "'", g + "\\"});
    tokens.push_back("\xF0\x9F\x98\x80");             // U+1F600, outside GBK
    tokens.push_back("\xF0\xA0\x80\x80\xE4\xB8\xAD"); // U+20000 then a GBK character
    std::vector<std::string> texts;
    for (const std::string& t : tokens)
        texts.insert(texts.end(), {t, "x" + t + "y", t + t, t + "z"});
    const size_t plainTexts = texts.size();

    // Names (no NUL: directory attributes cannot hold one) and the directory documents that define them.
    const size_t users = texts.size(), admins = texts.size();
    auto nameOf = [&](size_t i) { return texts[i] + "~" + std::to_string(i); };
    std::string userDoc = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<content><svpngroup>"
                          "<group id=\"1\" name=\"" +
                          XmlAttr("g'\\\"1\t") + "\" pgrpid=\"0\"/></svpngroup><svpnuser>";
    for (size_t i = 0; i < users; ++i)
        userDoc +=
            "<user id=\"" + std::to_string(i + 1) + "\" name=\"" + XmlAttr(nameOf(i)) + "\" grpid=\"1\"/>";
    // A user name that fills the record's 200-byte field.
    const std::string longName = std::string(99, '\'') + std::string(101, '\\');
    userDoc += "<user id=\"" + std::to_string(users + 1) + "\" name=\"" + XmlAttr(longName) +
               "\" grpid=\"1\"/></svpnuser></content>\n";
    std::string adminDoc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<velmofile><filecontent><CtrlManager>";
    for (size_t i = 0; i < admins; ++i)
        adminDoc += "<manager id=\"" + std::to_string(i + 1) + "\" name=\"" + XmlAttr(nameOf(i)) +
                    "\" pgrpid=\"1\"/>";
    adminDoc += "</CtrlManager><CtrlGroup><group id=\"1\" name=\"" + XmlAttr("a\\'\"`\n") +
                "\" pgrpid=\"0\"/></CtrlGroup></filecontent></velmofile>\n";

    // Messages: a tag, then the hostile text. Then texts with a NUL inside and texts filling the field.
    std::vector<std::string> messages;
    for (size_t i = 0; i < plainTexts; ++i)
        messages.push_back("m" + std::to_string(i) + "|" + texts[i]);
    auto fill = [](std::string head, const std::string& unit, size_t width)
    {
        while (head.size() + unit.size() <= width)
            head += unit;
        return head + std::string(width - head.size(), '\\');
    };
    size_t n = messages.size();
    auto tag = [&] { return "m" + std::to_string(n++) + "|"; };
    messages.push_back(tag() + "ab" + std::string(1, '\0') + "cd");
    messages.push_back(tag() + std::string(1, '\0') + "'");
    messages.push_back(fill(tag(), "'", 512));
    messages.push_back(fill(tag(), "\\", 512));
    messages.push_back(fill(tag(), trail5c[0], 512));
    messages.push_back(fill(tag(), "\xF0\x9F\x98\x80", 512));
    messages.push_back(fill(tag(), "\\N", 512));
    std::string cut = fill(tag(), "a", 511);
    messages.push_back(cut.substr(0, 511) + "\xE4"); // a 3-byte character cut by the field's end
    const size_t msgCount = messages.size();

    std::vector<std::string> lines;
    for (const std::string& m : messages)
    {
        lines.push_back("alarm type=1 msg=" + Hex(m + (m.size() == 512 ? fill("", "`", 5120 - 512) : "")));
        lines.push_back("sys type=1 process=2 msg=" + Hex(m));
    }
    for (size_t i = 0; i < admins; ++i)
        lines.push_back("admin action=1 entity=2 result=0 name=" + Hex(nameOf(i)) +
                        " msg=" + Hex(messages[i]));
    for (size_t i = 0; i < users; ++i)
        lines.push_back("user v=" + std::to_string(1 + i % 3) + " group=1 action=1 name=" + Hex(nameOf(i)) +
                        " msg=" + Hex(messages[i]));
    lines.push_back("user v=3 group=1 action=0 name=" + Hex(longName) +
                    " msg=" + Hex(messages[msgCount - 3]));
    int code = 0;
    auto report = RunScript(lines, &code, adminDoc, userDoc);
    ASSERT_EQ(code, 0) << report["_output"];
    ASSERT_EQ(report["replies.push"], "2");

    const std::pair<const char*, size_t> want[] = {
        {"alarm_log", msgCount}, {"syslog", msgCount}, {"adt_log", admins}, {"usrbasiclog", users + 1}};
    for (const auto& [table, rows] : want)
        EXPECT_TRUE(
            m_C.WaitCount("select count(*) from " + Table(table), static_cast<long long>(rows), 60000))
            << table;
    usleep(2500 * 1000); // a late surplus row would show up here
    for (const auto& [table, rows] : want)
        EXPECT_EQ(m_C.Count("select count(*) from " + Table(table)), static_cast<long long>(rows)) << table;

    auto gbkHex = [&](const std::string& column, const std::string& table, const std::string& where)
    {
        return m_C.Query("select hex(convert(" + column + " using gbk)) from " + Table(table) + " where " +
                         where);
    };
    int checked = 0, wrong = 0;
    auto check = [&](const std::string& got, const std::string& text, const std::string& what)
    {
        ++checked;
        std::string expect = HexUpper(ExpectedGbk(text));
        if (got != expect)
        {
            ++wrong;
            {
                size_t at = 0;
                while (at < got.size() && at < expect.size() && got[at] == expect[at])
                    ++at;
                ADD_FAILURE() << what << ": sent " << Hex(text).substr(0, 200) << "\n stored   "
                              << got.substr(at / 2 * 2, 80) << "\n expected " << expect.substr(at / 2 * 2, 80)
                              << " (from byte " << at / 2 << ")";
            }
        }
    };
    for (size_t i = 0; i < msgCount; ++i)
    {
        const std::string m = messages[i];
        const std::string like = "message like '" + m.substr(0, m.find('|') + 1) + "%'";
        std::string alarmText = m + (m.size() == 512 ? fill("", "`", 5120 - 512) : "");
        check(gbkHex("message", "alarm_log", like), alarmText, "alarm message " + std::to_string(i));
        check(gbkHex("message", "syslog", like), m, "system message " + std::to_string(i));
    }
    for (size_t i = 0; i < admins; ++i)
    {
        const std::string id = std::to_string(i + 1);
        check(gbkHex("Name", "admin", "id = " + id), nameOf(i), "directory admin name " + id);
        check(gbkHex("adt_name", "adt_log", "adt_id = " + id), nameOf(i), "admin log name " + id);
        check(gbkHex("message", "adt_log", "adt_id = " + id), messages[i], "admin log message " + id);
    }
    for (size_t i = 0; i < users; ++i)
    {
        const std::string id = std::to_string(i + 1);
        check(gbkHex("name", "svpnuser", "id = " + id), nameOf(i), "directory user name " + id);
        check(gbkHex("user_name", "usrbasiclog", "user_id = " + id), nameOf(i), "user log name " + id);
        check(gbkHex("message", "usrbasiclog", "user_id = " + id), messages[i], "user log message " + id);
    }
    // The directory keeps the 200-byte name whole; the collector's user cache holds names of up to 100
    // characters, so the record's user is taken as a new one (negative id) but its name is kept whole.
    check(gbkHex("name", "svpnuser", "id = " + std::to_string(users + 1)), longName,
          "directory long user name");
    const std::string longTag =
        "message like '" + messages[msgCount - 3].substr(0, messages[msgCount - 3].find('|') + 1) + "%'";
    check(gbkHex("user_name", "usrbasiclog", longTag), longName, "user log long name");
    check(gbkHex("message", "usrbasiclog", longTag), messages[msgCount - 3],
          "user log message of the long name");
    check(gbkHex("name", "svpngroup", "id = 1"), "g'\\\"1\t", "directory group name");
    check(gbkHex("name", "admingroup", "id = 1"), "a\\'\"`\n", "directory admin group name");

    EXPECT_EQ(Columns(m_C, db), schemaBefore) << "the device database's schema changed";
    printf("[figures] hostile_texts=%zu distinct (%zu tokens incl. %zu GBK trail-0x5C characters) "
           "fields_checked=%d wrong=%d rows alarm=%zu syslog=%zu adt_log=%zu usrbasiclog=%zu\n",
           texts.size() + (msgCount - plainTexts) + 1, tokens.size(), trail5c.size(), checked, wrong,
           msgCount, msgCount, admins, users + 1);
    EXPECT_TRUE(m_C.IsRunning());
    EXPECT_EQ(m_C.Stop(), 0);
}

// Upload user names that try to leave the upload tree ("../", "..", "/", empty, "$2E$2E", 300 bytes, a
// NUL) and a symbolic link planted where a user's directory would be: every file the collector writes
// for an upload lies in a plain directory below the upload root, nothing lands behind the link, and the
// collector still answers the probe. The name mapping itself is checked on 100,000 random names.
TEST_F(HostileInputE2E, UploadNamesNeverLeaveTheUploadRoot)
{
    // In-process: the mapping of user names to directory names is one to one and gives plain names.
    std::mt19937 rng(7);
    const std::string alphabet = std::string("./\\$2Ee0aZ~ %\x7f\xff\xe4\xb8\xad") + std::string(1, '\0');
    std::map<std::string, std::string> seen;
    int collisions = 0, unsafe = 0;
    for (int i = 0; i < 100000; ++i)
    {
        std::string name;
        size_t len = 1 + rng() % 300;
        for (size_t k = 0; k < len; ++k)
            name += alphabet[rng() % alphabet.size()];
        name = name.substr(0, name.find('\0')); // the record's field ends at a NUL
        std::string mapped = EscapeFileName(name.c_str());
        for (char c : mapped)
            unsafe += !(isalnum(static_cast<unsigned char>(c)) || c == '$');
        unsafe += !name.empty() && (mapped.empty() || mapped == "." || mapped == "..");
        auto [it, fresh] = seen.emplace(mapped, name);
        collisions += !fresh && it->second != name;
    }
    EXPECT_EQ(collisions, 0);
    EXPECT_EQ(unsafe, 0);

    ASSERT_TRUE(m_C.Start());
    const std::string root = m_C.Dir() + "/htdocs/UploadFiles";
    const std::string db = m_C.DeviceDb(1);
    char outsideTemplate[] = "/tmp/qb-outside-XXXXXX";
    ASSERT_NE(mkdtemp(outsideTemplate), nullptr);
    const std::string outside = outsideTemplate;
    std::filesystem::create_directories(root + "/" + db + "/2024-05");
    std::filesystem::create_directory_symlink(outside, root + "/" + db + "/2024-05/user1");

    std::string file(100000, '\0');
    for (char& c : file)
        c = static_cast<char>(rng());
    const std::string upload = WriteFile("upload.bin", file);
    const std::vector<std::string> names = {
        "hex:2e2e2f",      "..",   "/", "hex:", "$2E$2E", std::string(300, 'n'), "hex:61006262", "user1",
        "../../../../tmp", "user2"};
    int accepted = 0;
    for (const std::string& n : names)
    {
        int code = 0;
        auto r = m_C.RunDevsim({"--upload", upload, "--upload-user", n, "--time", "2024-05-06 07:08:09",
                                "--reply-timeout", "20"},
                               &code);
        accepted += r["result"] == "ok";
        printf("upload user %-14.14s: %s %s\n", n.c_str(), r["result"].c_str(), r["error"].c_str());
        ASSERT_TRUE(m_C.IsRunning()) << n;
    }
    int probe = 0;
    m_C.RunDevsim({"--probe"}, &probe);
    EXPECT_EQ(probe, 0) << "the collector answers the probe";

    // Behind the link: nothing. In the whole install tree: every upload file (its stamp name) lies in a
    // real directory <root>/<db>/2024-05/<plain name>/.
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "a file was written behind the planted link";
    int uploads = 0, misplaced = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(
             m_C.Dir(), std::filesystem::directory_options::skip_permission_denied);
         it != std::filesystem::recursive_directory_iterator(); ++it)
    {
        std::error_code ec;
        if (it->is_symlink(ec) || !it->is_regular_file(ec))
            continue;
        const std::string path = it->path().string();
        const std::string name = it->path().filename().string();
        if (name.rfind("20240506070809", 0) != 0)
            continue;
        ++uploads;
        const std::string dir = it->path().parent_path().string();
        const std::string expectDir = root + "/" + db + "/2024-05/";
        bool ok = dir.rfind(expectDir, 0) == 0 && dir.find('/', expectDir.size()) == std::string::npos &&
                  !std::filesystem::is_symlink(dir) &&
                  std::filesystem::canonical(path).string().rfind(std::filesystem::canonical(root).string(),
                                                                  0) == 0;
        misplaced += !ok;
        EXPECT_TRUE(ok) << path;
    }
    std::filesystem::remove_all(outside);
    // devsim also fails an upload the collector stored when the stored-file record names the user as the
    // record's field holds it (cut at 100 bytes or at the NUL): those files are counted, not refused.
    EXPECT_GE(uploads, accepted);
    EXPECT_LE(uploads, static_cast<int>(names.size()) - 2)
        << "the empty name and the linked user are refused";
    printf(
        "[figures] random_names=100000 collisions=%d unsafe=%d uploads=%zu accepted=%d files=%d misplaced=%d "
        "behind_link=0\n",
        collisions, unsafe, names.size(), accepted, uploads, misplaced);
    EXPECT_EQ(m_C.Stop(), 0);
}

namespace
{
// Text-like bytes (words of a small vocabulary with a stray byte now and then), so that LZO shrinks
// every block and devsim sends them compressed.
std::string WordyBytes(size_t n, std::mt19937& rng)
{
    std::vector<std::string> words;
    for (int i = 0; i < 64; ++i)
    {
        std::string w;
        for (size_t k = 0, len = 3 + rng() % 6; k < len; ++k)
            w += static_cast<char>('a' + rng() % 26);
        words.push_back(w);
    }
    std::string out;
    while (out.size() < n)
    {
        out += words[rng() % words.size()];
        out += rng() % 9 == 0 ? static_cast<char>(rng()) : ' ';
    }
    out.resize(n);
    return out;
}

struct SUploadItem
{
    uint64_t m_No = 0, m_Offset = 0, m_Stated = 0, m_Wire = 0;
    bool m_Fits = false;
};

// devsim's upload.item.I lines: "no,offset,stated size,wire bytes,fits".
std::vector<SUploadItem> UploadItems(std::map<std::string, std::string>& report)
{
    std::vector<SUploadItem> items;
    for (size_t i = 0; report.count("upload.item." + std::to_string(i)); ++i)
    {
        SUploadItem it;
        int fits = 0;
        unsigned long long no, off, stated, wire;
        if (sscanf(report["upload.item." + std::to_string(i)].c_str(), "%llu,%llu,%llu,%llu,%d", &no, &off,
                   &stated, &wire, &fits) == 5)
            it = {no, off, stated, wire, fits == 1};
        items.push_back(it);
    }
    return items;
}
} // namespace

// Hostile blocks of audit-file uploads: block numbers 0 and 2^32-1, duplicates, blocks out of order,
// blocks past the declared size (one across its end, one right behind it), truncated, bit-flipped and
// over-expanding LZO1B data (1 MiB behind a 4 KiB statement), stated sizes above the block size or
// past the record. The collector refuses exactly the blocks that do not fit (as devsim judges them
// independently), never lets an upload file grow past the size its begin declared (checked on every
// file of the upload tree while the transfers are still open), counts no refused block as received,
// stores a good upload after the hostile ones byte-identical, answers the probe and stores ordinary
// records afterwards.
TEST_F(HostileInputE2E, HostileUploadBlocksAreBounded)
{
    m_C.SetConfig("KelvAdv.conf", "Global", "EnableLogMerge", "0");
    ASSERT_TRUE(m_C.Start());
    const auto started = Clock::now();
    const std::string root = m_C.Dir() + "/htdocs/UploadFiles";
    const uint64_t bs = 4096;
    std::mt19937 rng(12);
    // F1: nine whole blocks and one of 3136 bytes; F2: three whole blocks.
    const std::string f1 = WordyBytes(40000, rng), f2 = WordyBytes(3 * bs, rng);
    const std::string f1Path = WriteFile("f1.bin", f1), f2Path = WriteFile("f2.bin", f2);

    std::map<std::string, uint64_t> declared; // every upload file -> the size its begin declared
    auto walk = [&]
    {
        std::vector<std::string> files;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (!it->is_symlink() && it->is_regular_file())
                files.push_back(it->path().string());
        return files;
    };
    auto adopt = [&](uint64_t size)
    {
        std::string fresh;
        for (const std::string& f : walk())
            if (declared.emplace(f, size).second)
                fresh = f;
        return fresh;
    };
    uint64_t worstOver = 0;
    int oversized = 0, checkedFiles = 0;
    auto checkBounded = [&]
    {
        for (const std::string& f : walk())
        {
            ASSERT_TRUE(declared.count(f)) << "an upload file nobody began: " << f;
            struct stat st
            {
            };
            ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
            const uint64_t limit = declared[f];
            const uint64_t size = static_cast<uint64_t>(st.st_size);
            const uint64_t used = static_cast<uint64_t>(st.st_blocks) * 512;
            const uint64_t over = std::max(size > limit ? size - limit : 0,
                                           used > (limit + 4095) / 4096 * 4096 ? used - limit : 0);
            worstOver = std::max(worstOver, over);
            oversized += over > 0;
            ++checkedFiles;
            EXPECT_EQ(over, 0u) << f << ": " << size << " bytes (" << used << " on disk), declared " << limit;
        }
    };
    auto upload = [&](const std::string& path, const std::string& blocks, bool finish,
                      std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--upload",         path,     "--block-size",
                                         std::to_string(bs), "--time", "2024-05-06 07:08:09",
                                         "--reply-timeout",  "30"};
        if (!blocks.empty())
            args.insert(args.end(), {"--upload-blocks", blocks});
        if (finish)
            args.push_back("--upload-finish");
        args.insert(args.end(), extra.begin(), extra.end());
        int code = -1;
        auto r = m_C.RunDevsim(args, &code);
        EXPECT_EQ(code, 0) << r["_output"];
        EXPECT_EQ(r["result"], "ok") << r["_output"];
        return r;
    };
    auto region = [](const std::string& file, uint64_t at, uint64_t n)
    { return at < file.size() ? file.substr(at, n) : std::string(); };

    // A1, left open. Regions of F1: 0 truncated; 1 and 7 bit-flipped; 2 expands past its statement; 3 a
    // 1 MiB expansion stated as 4 KiB; 4 twice; 6 before 5; 8 stated above the block size, with a
    // compressed size past the record, raw and short; 9 carries 4096 bytes where 3136 are left; 10, 11
    // and 2^32-1 lie past the end.
    const std::string a1Script =
        "4294967295,4294967295:src=4:lzo,0:lzo:trunc,1:lzo:flip=1,2:lzo:declare=1024,"
        "3:len=1048576:lzo:declare=4096,4,4,6,5,7:lzo:flip=6,8:lzo:declare=8192,"
        "8:lzo:csize=1000000,8:raw:len=100:declare=4096,9:src=0,10:src=0,11:src=2:lzo";
    auto a1 = upload(f1Path, a1Script, false);
    auto a1Items = UploadItems(a1);
    ASSERT_EQ(a1Items.size(), 17u) << a1["_output"];
    const std::string a1File = adopt(f1.size());
    ASSERT_FALSE(a1File.empty());
    checkBounded();
    {
        const std::string got = qbtest::ReadFile(a1File);
        EXPECT_EQ(got.size(), f1.size());
        bool region1Written = false;
        for (uint64_t b = 0; b < 10; ++b)
        {
            bool fitting = false;
            for (const SUploadItem& it : a1Items)
                fitting |= it.m_No == b && it.m_Fits;
            const std::string here = region(got, b * bs, bs);
            const bool zero = here == std::string(here.size(), '\0');
            if (b == 4 || b == 5 || b == 6)
                EXPECT_TRUE(here == region(f1, b * bs, bs)) << "block " << b << " is not the file's";
            else if (b == 9)
                EXPECT_TRUE(here == f1.substr(0, here.size())) << "block 9 holds the first bytes it carried";
            else if (!fitting)
                EXPECT_TRUE(zero) << "a refused block wrote region " << b;
            else
                EXPECT_FALSE(zero) << "a fitting block left region " << b;
            region1Written |= b == 1 && fitting;
        }
        // The refused block 0 is the first one missing; up to block 4 when block 1 was refused too.
        EXPECT_EQ(a1["upload.script_end"], region1Written ? "1,5,0,1" : "1,5,0,4");
    }

    // A2, left open: F2 has three whole blocks; block 3 lies right behind its end, block 1 never comes.
    auto a2 = upload(f2Path, "3:src=0,3:src=0:lzo,2,0,0,4294967295:src=1", false);
    auto a2Items = UploadItems(a2);
    ASSERT_EQ(a2Items.size(), 6u) << a2["_output"];
    EXPECT_EQ(a2["upload.script_end"], "1,5,1,1");
    const std::string a2File = adopt(f2.size());
    ASSERT_FALSE(a2File.empty());
    checkBounded();
    {
        const std::string got = qbtest::ReadFile(a2File);
        EXPECT_TRUE(got == f2.substr(0, bs) + std::string(bs, '\0') + f2.substr(2 * bs))
            << "A2's file holds other bytes than its blocks 0 and 2 (" << got.size() << " bytes)";
    }

    // B: the same hostile blocks, then the file as usual on the same transfer; C: an ordinary upload
    // with blocks left out and repeated. Both land byte-identical.
    auto b = upload(f1Path, a1Script, true);
    const std::string bFile = adopt(f1.size());
    auto c = upload(f1Path, "", false, {"--skip-blocks", "2,5", "--repeat-blocks"});
    const std::string cFile = adopt(f1.size());
    checkBounded();
    int identical = 0;
    for (const std::string& f : {bFile, cFile})
    {
        ASSERT_FALSE(f.empty());
        const std::string got = qbtest::ReadFile(f);
        identical += got == f1;
        EXPECT_TRUE(got == f1) << f << " differs from the upload (" << got.size() << " bytes)";
    }
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("usrfileauditlog")), 2);
    EXPECT_EQ(m_C.Count("select count(*) from " + Table("usrfileauditlog") +
                        " where filesize = 40000 and sha1code = '" + b["upload.sha1"] + "'"),
              2);

    // Still answering, still storing.
    int probe = -1;
    m_C.RunDevsim({"--probe"}, &probe);
    EXPECT_EQ(probe, 0) << "the collector answers the probe";
    int code = -1;
    auto rec = m_C.RunDevsim({"--devices", "1", "--count", "20", "--mix", "admin=1"}, &code);
    EXPECT_EQ(code, 0) << rec["_output"];
    EXPECT_TRUE(m_C.WaitCount("select count(*) from " + Table("adt_log"), 20, 30000)) << rec["_output"];
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(m_C.Stop(), 0);

    // Every block devsim judged unfit was refused, each with its own warning, and no other; B repeats
    // A1's blocks.
    auto unfitOf = [](const std::vector<SUploadItem>& items)
    {
        return static_cast<int>(
            std::count_if(items.begin(), items.end(), [](const SUploadItem& it) { return !it.m_Fits; }));
    };
    const int hostile = static_cast<int>(2 * a1Items.size() + a2Items.size());
    const int unfit = 2 * unfitOf(a1Items) + unfitOf(a2Items);
    const std::string log = m_C.Log();
    auto occurrences = [&](const std::string& what)
    {
        int n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    };
    const int refused = occurrences("[DoWriteAuditFileData] Data Decompress Fail") +
                        occurrences("[DoWriteAuditFileData] File Offset") +
                        occurrences("[DoWriteAuditFileData] Block Data Size") +
                        occurrences("[DoWriteAuditFileData] Data Size");
    EXPECT_EQ(refused, unfit);
    const int clipped = occurrences("[DoWriteAuditFileData] Block Ends Past The File");
    EXPECT_EQ(clipped, 2) << "A1's and B's block 9";
    int flipsWritten = 0;
    for (const SUploadItem& it : a1Items)
        flipsWritten += (it.m_No == 1 || it.m_No == 7) && it.m_Fits;
    printf(
        "[figures] hostile_blocks=%d unfit=%d refused=%d clipped=%d flipped_blocks_that_still_decode=%d/2 "
        "upload_files=%zu size_checks=%d oversized=%d worst_bytes_over_declared=%llu stored_identical=%d/2 "
        "probe=%d seconds=%.1f\n",
        hostile, unfit, refused, clipped, flipsWritten, declared.size(), checkedFiles, oversized,
        static_cast<unsigned long long>(worstOver), identical, probe, seconds);
}
