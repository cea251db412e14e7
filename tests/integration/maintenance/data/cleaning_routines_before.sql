-- CleanByTime and CleanByContent as sql/devicedb.sql held them before chunked deletes; kept to compare results.
DROP PROCEDURE IF EXISTS `CleanByTime`;
DELIMITER ;;
CREATE PROCEDURE `CleanByTime`(IN CleanTime datetime)
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
END;;
DELIMITER ;
DROP PROCEDURE IF EXISTS `CleanByContent`;
DELIMITER ;;
CREATE PROCEDURE `CleanByContent`(IN thePercent int)
BEGIN
  DECLARE total bigint DEFAULT 0;
  DECLARE skipRows bigint DEFAULT 0;
  DECLARE cutTime datetime DEFAULT NULL;
  IF thePercent IS NOT NULL AND thePercent > 0 THEN
    IF thePercent > 100 THEN SET thePercent = 100; END IF;
    SELECT count(*) INTO total FROM `adt_log`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `log_time` INTO cutTime FROM `adt_log` ORDER BY `log_time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `adt_log`; ELSE DELETE FROM `adt_log` WHERE `log_time` < cutTime; END IF;
    END IF;
    SELECT count(*) INTO total FROM `alarm_log`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `log_time` INTO cutTime FROM `alarm_log` ORDER BY `log_time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `alarm_log`; ELSE DELETE FROM `alarm_log` WHERE `log_time` < cutTime; END IF;
    END IF;
    SELECT count(*) INTO total FROM `usrbasiclog`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `log_time` INTO cutTime FROM `usrbasiclog` ORDER BY `log_time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `usrbasiclog`; ELSE DELETE FROM `usrbasiclog` WHERE `log_time` < cutTime; END IF;
    END IF;
    SELECT count(*) INTO total FROM `usrsvrlog`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `log_time` INTO cutTime FROM `usrsvrlog` ORDER BY `log_time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `usrsvrlog`; ELSE DELETE FROM `usrsvrlog` WHERE `log_time` < cutTime; END IF;
    END IF;
    SELECT count(*) INTO total FROM `usrflowlog`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `log_time` INTO cutTime FROM `usrflowlog` ORDER BY `log_time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `usrflowlog`; ELSE DELETE FROM `usrflowlog` WHERE `log_time` < cutTime; END IF;
    END IF;
    SELECT count(*) INTO total FROM `syslog`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `log_time` INTO cutTime FROM `syslog` ORDER BY `log_time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `syslog`; ELSE DELETE FROM `syslog` WHERE `log_time` < cutTime; END IF;
    END IF;
    SELECT count(*) INTO total FROM `dev_stat`;
    SET skipRows = floor(total * thePercent / 100);
    IF skipRows > 0 THEN
      SET cutTime = NULL;
      SELECT `time` INTO cutTime FROM `dev_stat` ORDER BY `time` LIMIT skipRows, 1;
      IF cutTime IS NULL THEN DELETE FROM `dev_stat`; ELSE DELETE FROM `dev_stat` WHERE `time` < cutTime; END IF;
    END IF;
  END IF;
END;;
DELIMITER ;
