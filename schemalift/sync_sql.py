#!/usr/bin/env python3
"""Rewrites schemalift/UpgradeSql.cpp from sql/devicedb.sql after the current device schema's
bandwidth tables or the routines the upgrade re-creates have changed. Run, then rebuild:
    python3 schemalift/sync_sql.py
The routines lose their "-- " comments, as the command-line client sends them, so that an upgraded
database and one created from sql/devicedb.sql store the same bodies (the schemalift tests compare
them). Not needed at build time.
"""
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = open(os.path.join(ROOT, "sql", "devicedb.sql")).read()
DEFINER = "`root`@`localhost`"


def routine(kind, name):
    m = re.search(r"DROP %s IF EXISTS `%s`;\nDELIMITER ;;\n(CREATE %s `%s`.*?\nEND);;\nDELIMITER ;\n"
                  % (kind, name, kind, name), SRC, re.S)
    body = re.sub(r"-- [^\n]*", "", m.group(1))
    body = body.replace("CREATE %s" % kind, "CREATE DEFINER=%s %s" % (DEFINER, kind), 1)
    return "DROP %s IF EXISTS `%s`;%s" % (kind, name, body)


def table(name):
    m = re.search(r"(CREATE TABLE IF NOT EXISTS `%s` \(.*?\) ENGINE=[^;]*);\n" % name, SRC, re.S)
    return "DROP TABLE IF EXISTS `%s`;%s" % (name, m.group(1).replace("CREATE TABLE IF NOT EXISTS", "CREATE TABLE", 1))


ITEMS = [
    ("kCreateSvrBwOptFlow", table("svr_bwoptflow")),
    ("kCreateUserBwOptFlow", table("user_bwoptflow")),
    ("kCreateGenMidSvrBwOptFlow", routine("PROCEDURE", "GenMid_SvrBWOptFlow")),
    ("kCreateGenMidUserBwOptFlow", routine("PROCEDURE", "GenMid_UserBwOptFlow")),
    ("kCreateGenMidManual", routine("PROCEDURE", "GenMid_Manual")),
    ("kCreateCleanByTime", routine("PROCEDURE", "CleanByTime")),
    ("kCreateRepairTables", routine("PROCEDURE", "repairTables")),
    ("kCreateGetMidTabLastUpdateTime", routine("FUNCTION", "getMidTabLastUpdateTime")),
    ("kCreateRebuildView", routine("PROCEDURE", "RebuildView")),
    ("kCreateGetDeviceFlowTrend", routine("PROCEDURE", "GetDeviceFlowTrend")),
]

if __name__ == "__main__":
    out = ['#include "schemalift/UpgradeSql.h"\n\n// clang-format off\nnamespace schemalift::sql\n{\n']
    texts = []
    for name, text in ITEMS:
        assert ')sql"' not in text
        texts.append('const char* const %s = R"sql(%s)sql";\n' % (name, text))
    out.append("\n".join(texts))
    out.append("} // namespace schemalift::sql\n// clang-format on\n")
    with open(os.path.join(ROOT, "schemalift", "UpgradeSql.cpp"), "w") as f:
        f.write("".join(out))
