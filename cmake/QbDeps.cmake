# The libraries the collector, the watchdog and the fuzz build find on the system (Debian packages,
# installed by scripts/install-deps.sh). Included by the top-level list and by fuzz/.
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED)
find_library(MARIADB_LIB NAMES mariadb REQUIRED)
find_path(MARIADB_INCLUDE mysql.h PATH_SUFFIXES mariadb mysql REQUIRED)
find_library(TINYXML_LIB NAMES tinyxml REQUIRED)
find_library(LZO2_LIB NAMES lzo2 REQUIRED)
find_library(DW_LIB NAMES dw REQUIRED)
