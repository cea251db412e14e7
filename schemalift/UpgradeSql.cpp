#include "schemalift/UpgradeSql.h"

// clang-format off
namespace schemalift::sql
{
const char* const kCreateSvrBwOptFlow = R"sql(DROP TABLE IF EXISTS `svr_bwoptflow`;CREATE TABLE `svr_bwoptflow` (
  `Svr_IP` int(11) unsigned NOT NULL DEFAULT 0,
  `up_flow` bigint(20) DEFAULT NULL,
  `dw_flow` bigint(20) DEFAULT NULL,
  `raw_up_flow` bigint(20) DEFAULT NULL,
  `raw_dw_flow` bigint(20) DEFAULT NULL,
  `scale` tinyint(4) NOT NULL DEFAULT 0,
  `hour` tinyint(4) NOT NULL DEFAULT 0,
  `date` datetime NOT NULL,
  `Svr_Port` int(11) DEFAULT NULL,
  KEY `index_Svr_IP` (`Svr_IP`),
  KEY `index_Svr_Port` (`Svr_Port`),
  KEY `index_date` (`date`)
) ENGINE=MyISAM DEFAULT CHARSET=utf8)sql";

const char* const kCreateUserBwOptFlow = R"sql(DROP TABLE IF EXISTS `user_bwoptflow`;CREATE TABLE `user_bwoptflow` (
  `User_id` int(11) NOT NULL DEFAULT 0,
  `up_flow` bigint(20) DEFAULT NULL,
  `dw_flow` bigint(20) DEFAULT NULL,
  `raw_up_flow` bigint(20) DEFAULT NULL,
  `raw_dw_flow` bigint(20) DEFAULT NULL,
  `scale` tinyint(4) NOT NULL DEFAULT 0,
  `hour` tinyint(4) NOT NULL DEFAULT 0,
  `date` datetime NOT NULL,
  `address` int(11) unsigned DEFAULT NULL,
  KEY `index_User_id` (`User_id`),
  KEY `index_address` (`address`),
  KEY `index_date` (`date`)
) ENGINE=MyISAM DEFAULT CHARSET=utf8 ROW_FORMAT=FIXED)sql";

const char* const kCreateGenMidSvrBwOptFlow = R"sql(DROP PROCEDURE IF EXISTS `GenMid_SvrBWOptFlow`;CREATE DEFINER=`root`@`localhost` PROCEDURE `GenMid_SvrBWOptFlow`(IN beginDate date, IN endDate date)
BEGIN
  DECLARE lastUpdate datetime DEFAULT NULL;
  DECLARE lastLog datetime DEFAULT NULL;
  DECLARE curDay date;
  IF beginDate IS NULL THEN SET beginDate = curdate(); END IF;
  IF endDate IS NULL THEN SET endDate = curdate(); END IF;
  
  SELECT max(`updateTime`) INTO lastUpdate FROM `midtableinfo` WHERE `tbName` = 'svr_bwoptflow';
  IF lastUpdate IS NULL THEN SELECT min(`log_time`) INTO lastUpdate FROM `usrflowlog`; END IF;
  IF lastUpdate IS NOT NULL AND date(lastUpdate) < beginDate THEN SET beginDate = date(lastUpdate); END IF;
  IF endDate < beginDate THEN SET endDate = beginDate; END IF;
  DELETE FROM `svr_bwoptflow` WHERE `date` >= beginDate AND `date` < endDate + INTERVAL 1 DAY;
  SET curDay = beginDate;
  WHILE curDay <= endDate DO
    INSERT INTO `svr_bwoptflow` (`Svr_IP`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `scale`, `hour`, `date`, `Svr_Port`)
      SELECT `svr_ip`, sum(`up_flux`), sum(`dw_flux`), sum(`raw_up_flux`), sum(`raw_dw_flux`), floor(minute(`log_time`) / 10), hour(`log_time`), curDay, `svr_port`
      FROM `usrflowlog` WHERE `log_time` >= curDay AND `log_time` < curDay + INTERVAL 1 DAY
      GROUP BY `svr_ip`, `svr_port`, hour(`log_time`), floor(minute(`log_time`) / 10);
    SET curDay = curDay + INTERVAL 1 DAY;
  END WHILE;
  SELECT max(`log_time`) INTO lastLog FROM `usrflowlog`
    WHERE `log_time` >= beginDate AND `log_time` < endDate + INTERVAL 1 DAY;
  INSERT INTO `midtableinfo` (`tbIndex`, `tbName`, `beginTime`, `endTime`, `updateTime`)
    VALUES (9, 'svr_bwoptflow', beginDate, lastLog, now());
  SET @midTabLastUpdate9 = NULL;
END)sql";

const char* const kCreateGenMidUserBwOptFlow = R"sql(DROP PROCEDURE IF EXISTS `GenMid_UserBwOptFlow`;CREATE DEFINER=`root`@`localhost` PROCEDURE `GenMid_UserBwOptFlow`(IN beginDate date, IN endDate date)
BEGIN
  DECLARE lastUpdate datetime DEFAULT NULL;
  DECLARE lastLog datetime DEFAULT NULL;
  DECLARE curDay date;
  IF beginDate IS NULL THEN SET beginDate = curdate(); END IF;
  IF endDate IS NULL THEN SET endDate = curdate(); END IF;
  
  SELECT max(`updateTime`) INTO lastUpdate FROM `midtableinfo` WHERE `tbName` = 'user_bwoptflow';
  IF lastUpdate IS NULL THEN SELECT min(`log_time`) INTO lastUpdate FROM `usrflowlog`; END IF;
  IF lastUpdate IS NOT NULL AND date(lastUpdate) < beginDate THEN SET beginDate = date(lastUpdate); END IF;
  IF endDate < beginDate THEN SET endDate = beginDate; END IF;
  DELETE FROM `user_bwoptflow` WHERE `date` >= beginDate AND `date` < endDate + INTERVAL 1 DAY;
  SET curDay = beginDate;
  WHILE curDay <= endDate DO
    INSERT INTO `user_bwoptflow` (`User_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `scale`, `hour`, `date`, `address`)
      SELECT `user_id`, sum(`up_flux`), sum(`dw_flux`), sum(`raw_up_flux`), sum(`raw_dw_flux`), floor(minute(`log_time`) / 10), hour(`log_time`), curDay, `address`
      FROM `usrflowlog` WHERE `log_time` >= curDay AND `log_time` < curDay + INTERVAL 1 DAY
      GROUP BY `user_id`, `address`, hour(`log_time`), floor(minute(`log_time`) / 10);
    SET curDay = curDay + INTERVAL 1 DAY;
  END WHILE;
  SELECT max(`log_time`) INTO lastLog FROM `usrflowlog`
    WHERE `log_time` >= beginDate AND `log_time` < endDate + INTERVAL 1 DAY;
  INSERT INTO `midtableinfo` (`tbIndex`, `tbName`, `beginTime`, `endTime`, `updateTime`)
    VALUES (10, 'user_bwoptflow', beginDate, lastLog, now());
  SET @midTabLastUpdate10 = NULL;
END)sql";

const char* const kCreateGenMidManual = R"sql(DROP PROCEDURE IF EXISTS `GenMid_Manual`;CREATE DEFINER=`root`@`localhost` PROCEDURE `GenMid_Manual`(IN beginDate date, IN endDate date)
BEGIN
  TRUNCATE TABLE `midtableinfo`;
  TRUNCATE TABLE `grp_flowrange`;
  TRUNCATE TABLE `grp_flowtrend`;
  TRUNCATE TABLE `svr_flowrange`;
  TRUNCATE TABLE `svr_flowtrend`;
  TRUNCATE TABLE `svr_bwoptflow`;
  TRUNCATE TABLE `user_flowrange`;
  TRUNCATE TABLE `user_flowtrend`;
  TRUNCATE TABLE `user_bwoptflow`;
  TRUNCATE TABLE `usersvr_flowrange`;
  CALL `GenMid_GrpFlowRange`(beginDate, endDate);
  CALL `GenMid_GrpFlowTrend`(beginDate, endDate);
  CALL `GenMid_SvrFlowRange`(beginDate, endDate);
  CALL `GenMid_SvrFlowTRend`(beginDate, endDate);
  CALL `GenMid_SvrBWOptFlow`(beginDate, endDate);
  CALL `GenMid_UserFlowRange`(beginDate, endDate);
  CALL `GenMid_UserFlowTRend`(beginDate, endDate);
  CALL `GenMid_UserBwOptFlow`(beginDate, endDate);
  CALL `GenMid_UserSvrFlowRange`(beginDate, endDate);
  SET @midTabLastUpdate1 = NULL;
  SET @midTabLastUpdate2 = NULL;
  SET @midTabLastUpdate3 = NULL;
  SET @midTabLastUpdate4 = NULL;
  SET @midTabLastUpdate5 = NULL;
  SET @midTabLastUpdate6 = NULL;
  SET @midTabLastUpdate7 = NULL;
  SET @midTabLastUpdate8 = NULL;
  SET @midTabLastUpdate9 = NULL;
  SET @midTabLastUpdate10 = NULL;
END)sql";

const char* const kCreateCleanByTime = R"sql(DROP PROCEDURE IF EXISTS `CleanByTime`;CREATE DEFINER=`root`@`localhost` PROCEDURE `CleanByTime`(IN CleanTime datetime)
BEGIN
  DECLARE busy int DEFAULT 0;
  SELECT count(*) INTO busy FROM `delay_restart_mysql`
    WHERE `doing_flag` = 1 AND `lock_time` >= now() - INTERVAL 1 HOUR;
  IF busy = 0 AND CleanTime IS NOT NULL THEN
    IF EXISTS (SELECT 1 FROM `delay_restart_mysql`) THEN
      UPDATE `delay_restart_mysql` SET `doing_flag` = 1, `locker` = 'PROCEDURE', `lock_time` = now();
    ELSE
      INSERT INTO `delay_restart_mysql` (`doing_flag`, `locker`, `lock_time`) VALUES (1, 'PROCEDURE', now());
    END IF;
    DELETE FROM `adt_log` WHERE `log_time` <= CleanTime;
    DELETE FROM `alarm_log` WHERE `log_time` <= CleanTime;
    DELETE FROM `usrbasiclog` WHERE `log_time` <= CleanTime;
    DELETE FROM `usrsvrlog` WHERE `log_time` <= CleanTime;
    DELETE FROM `usrflowlog` WHERE `log_time` <= CleanTime;
    DELETE FROM `syslog` WHERE `log_time` <= CleanTime;
    DELETE FROM `dev_stat` WHERE `time` <= CleanTime;
    DELETE FROM `grp_flowrange` WHERE `date` <= CleanTime;
    DELETE FROM `grp_flowtrend` WHERE `date` <= CleanTime;
    DELETE FROM `svr_flowrange` WHERE `date` <= CleanTime;
    DELETE FROM `svr_flowtrend` WHERE `date` <= CleanTime;
    DELETE FROM `svruser_flowrange` WHERE `date` <= CleanTime;
    DELETE FROM `user_flowrange` WHERE `date` <= CleanTime;
    DELETE FROM `user_flowtrend` WHERE `date` <= CleanTime;
    DELETE FROM `usersvr_flowrange` WHERE `date` <= CleanTime;
    DELETE FROM `svr_bwoptflow` WHERE `date` <= CleanTime;
    DELETE FROM `user_bwoptflow` WHERE `date` <= CleanTime;
    DELETE FROM `midtableinfo` WHERE `updateTime` <= CleanTime;
    OPTIMIZE TABLE `adt_log`, `alarm_log`, `usrbasiclog`, `usrsvrlog`, `usrflowlog`, `syslog`, `dev_stat`, `grp_flowrange`, `grp_flowtrend`, `svr_flowrange`, `svr_flowtrend`, `svruser_flowrange`, `user_flowrange`, `user_flowtrend`, `usersvr_flowrange`, `svr_bwoptflow`, `user_bwoptflow`, `midtableinfo`;
    UPDATE `delay_restart_mysql` SET `doing_flag` = 0;
    SET @midTabLastUpdate1 = NULL, @midTabLastUpdate2 = NULL, @midTabLastUpdate3 = NULL,
        @midTabLastUpdate4 = NULL, @midTabLastUpdate5 = NULL, @midTabLastUpdate6 = NULL,
        @midTabLastUpdate7 = NULL, @midTabLastUpdate8 = NULL, @midTabLastUpdate9 = NULL,
        @midTabLastUpdate10 = NULL;
  END IF;
END)sql";

const char* const kCreateRepairTables = R"sql(DROP PROCEDURE IF EXISTS `repairTables`;CREATE DEFINER=`root`@`localhost` PROCEDURE `repairTables`()
BEGIN
  REPAIR TABLE `admin`, `admingroup`, `adt_log`, `alarm_log`, `ctrl_rights`, `delay_restart_mysql`, `dev_info`, `dev_stat`, `devices`, `midtableinfo`, `reportcache`, `svpngroup`, `svpnrc`, `svpnrcgrp`, `svpnrole`, `svpnrole_grp`, `svpnrole_rc`, `svpnrole_rcgrp`, `svpnrole_user`, `svpnuser`, `syslog`, `usrbasiclog`, `usrsvrlog`, `usrflowlog`, `grp_flowrange`, `grp_flowtrend`, `svr_flowrange`, `svr_flowtrend`, `svruser_flowrange`, `user_flowrange`, `user_flowtrend`, `usersvr_flowrange`, `svr_bwoptflow`, `user_bwoptflow`, `usrfileauditlog`;
END)sql";

const char* const kCreateGetMidTabLastUpdateTime = R"sql(DROP FUNCTION IF EXISTS `getMidTabLastUpdateTime`;CREATE DEFINER=`root`@`localhost` FUNCTION `getMidTabLastUpdateTime`(tabIndex tinyint) RETURNS datetime
    READS SQL DATA
BEGIN
  DECLARE tb varchar(64) DEFAULT NULL;
  DECLARE result datetime DEFAULT NULL;
  SET tb = ELT(tabIndex, 'grp_flowrange', 'grp_flowtrend', 'svr_flowrange', 'svr_flowtrend', 'svruser_flowrange', 'user_flowrange', 'user_flowtrend', 'usersvr_flowrange', 'svr_bwoptflow', 'user_bwoptflow');
  IF tb IS NULL THEN RETURN NULL; END IF;
  SET result = CASE tabIndex
    WHEN 1 THEN @midTabLastUpdate1
    WHEN 2 THEN @midTabLastUpdate2
    WHEN 3 THEN @midTabLastUpdate3
    WHEN 4 THEN @midTabLastUpdate4
    WHEN 5 THEN @midTabLastUpdate5
    WHEN 6 THEN @midTabLastUpdate6
    WHEN 7 THEN @midTabLastUpdate7
    WHEN 8 THEN @midTabLastUpdate8
    WHEN 9 THEN @midTabLastUpdate9
    WHEN 10 THEN @midTabLastUpdate10
    ELSE NULL END;
  IF result IS NOT NULL THEN RETURN result; END IF;
  SELECT max(`endTime`) INTO result FROM `midtableinfo` WHERE `tbName` = tb;
  IF result IS NULL THEN SELECT min(`log_time`) INTO result FROM `usrflowlog`; END IF;
  IF result IS NULL THEN SET result = now(); END IF;
  CASE tabIndex
    WHEN 1 THEN SET @midTabLastUpdate1 = result;
    WHEN 2 THEN SET @midTabLastUpdate2 = result;
    WHEN 3 THEN SET @midTabLastUpdate3 = result;
    WHEN 4 THEN SET @midTabLastUpdate4 = result;
    WHEN 5 THEN SET @midTabLastUpdate5 = result;
    WHEN 6 THEN SET @midTabLastUpdate6 = result;
    WHEN 7 THEN SET @midTabLastUpdate7 = result;
    WHEN 8 THEN SET @midTabLastUpdate8 = result;
    WHEN 9 THEN SET @midTabLastUpdate9 = result;
    WHEN 10 THEN SET @midTabLastUpdate10 = result;
    ELSE BEGIN END;
  END CASE;
  RETURN result;
END)sql";

const char* const kCreateRebuildView = R"sql(DROP PROCEDURE IF EXISTS `RebuildView`;CREATE DEFINER=`root`@`localhost` PROCEDURE `RebuildView`(IN viewIndex tinyint)
BEGIN
  DECLARE lastDay date;
  SET lastDay = date(`getMidTabLastUpdateTime`(viewIndex));
  
  SET @qbViewSql = NULL;
  CASE viewIndex
    WHEN 1 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_grp_flowrange` AS SELECT `Grp_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `date` FROM `grp_flowrange` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `grp_id` AS `Grp_id`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `grp_id`, date(`log_time`)');
    WHEN 2 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_grp_flowtrend` AS SELECT `Grp_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `hour`, `date` FROM `grp_flowtrend` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `grp_id` AS `Grp_id`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, hour(`log_time`) AS `hour`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `grp_id`, hour(`log_time`), date(`log_time`)');
    WHEN 3 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_svr_flowrange` AS SELECT `Svr_IP`, `Svr_Port`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `date` FROM `svr_flowrange` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `svr_ip` AS `Svr_IP`, `svr_port` AS `Svr_Port`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `svr_ip`, `svr_port`, date(`log_time`)');
    WHEN 4 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_svr_flowtrend` AS SELECT `Svr_IP`, `Svr_Port`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `hour`, `date` FROM `svr_flowtrend` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `svr_ip` AS `Svr_IP`, `svr_port` AS `Svr_Port`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, hour(`log_time`) AS `hour`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `svr_ip`, `svr_port`, hour(`log_time`), date(`log_time`)');
    WHEN 5 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_svruser_flowrange` AS SELECT `Svr_IP`, `Svr_Port`, `User_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `date` FROM `svruser_flowrange` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `svr_ip` AS `Svr_IP`, `svr_port` AS `Svr_Port`, `user_id` AS `User_id`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `svr_ip`, `svr_port`, `user_id`, date(`log_time`)');
    WHEN 6 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_user_flowrange` AS SELECT `User_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `date` FROM `user_flowrange` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `user_id` AS `User_id`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `user_id`, date(`log_time`)');
    WHEN 7 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_user_flowtrend` AS SELECT `User_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `hour`, `date` FROM `user_flowtrend` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `user_id` AS `User_id`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, hour(`log_time`) AS `hour`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `user_id`, hour(`log_time`), date(`log_time`)');
    WHEN 8 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_usersvr_flowrange` AS SELECT `User_id`, `Svr_IP`, `Svr_Port`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `date` FROM `usersvr_flowrange` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `user_id` AS `User_id`, `svr_ip` AS `Svr_IP`, `svr_port` AS `Svr_Port`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, cast(date(`log_time`) as datetime) AS `date` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `user_id`, `svr_ip`, `svr_port`, date(`log_time`)');
    WHEN 9 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_svr_bwoptflow` AS SELECT `Svr_IP`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `scale`, `hour`, `date`, `Svr_Port` FROM `svr_bwoptflow` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `svr_ip` AS `Svr_IP`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, floor(minute(`log_time`) / 10) AS `scale`, hour(`log_time`) AS `hour`, cast(date(`log_time`) as datetime) AS `date`, `svr_port` AS `Svr_Port` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `svr_ip`, `svr_port`, hour(`log_time`), floor(minute(`log_time`) / 10), date(`log_time`)');
    WHEN 10 THEN
      SET @qbViewSql = CONCAT('CREATE OR REPLACE VIEW `view_user_bwoptflow` AS SELECT `User_id`, `up_flow`, `dw_flow`, `raw_up_flow`, `raw_dw_flow`, `scale`, `hour`, `date`, `address` FROM `user_bwoptflow` WHERE `date` < ''', lastDay,
        ''' UNION ALL SELECT `user_id` AS `User_id`, sum(`up_flux`) AS `up_flow`, sum(`dw_flux`) AS `dw_flow`, sum(`raw_up_flux`) AS `raw_up_flow`, sum(`raw_dw_flux`) AS `raw_dw_flow`, floor(minute(`log_time`) / 10) AS `scale`, hour(`log_time`) AS `hour`, cast(date(`log_time`) as datetime) AS `date`, `address` AS `address` FROM `usrflowlog` WHERE `log_time` >= ''', lastDay, ''' GROUP BY `user_id`, `address`, hour(`log_time`), floor(minute(`log_time`) / 10), date(`log_time`)');
    ELSE BEGIN END;
  END CASE;
  IF @qbViewSql IS NOT NULL THEN
    PREPARE qbViewStmt FROM @qbViewSql;
    EXECUTE qbViewStmt;
    DEALLOCATE PREPARE qbViewStmt;
  END IF;
END)sql";

const char* const kCreateGetDeviceFlowTrend = R"sql(DROP PROCEDURE IF EXISTS `GetDeviceFlowTrend`;CREATE DEFINER=`root`@`localhost` PROCEDURE `GetDeviceFlowTrend`(IN timeBegin DATETIME, IN timeEnd DATETIME, IN theInterval INTEGER)
BEGIN
  IF timeEnd IS NULL THEN SET timeEnd = now(); END IF;
  IF timeBegin IS NULL THEN SET timeBegin = timeEnd - INTERVAL 1 DAY; END IF;
  IF theInterval IS NULL OR theInterval <= 0 THEN SET theInterval = 30; END IF;
  SELECT `GetTimeRange`(`time`, theInterval) AS `timeRange`, avg(`upload_flux`) AS `upload_flux`,
         avg(`download_flux`) AS `download_flux`
    FROM `dev_stat` WHERE `time` >= timeBegin AND `time` <= timeEnd GROUP BY `timeRange` ORDER BY `timeRange`;
END)sql";
} // namespace schemalift::sql
// clang-format on
