-- Global database: the list of registered devices and the console's administrators.
-- Run as:  mariadb < sql/globaldb.sql   (creates and selects `velmoglobaldb` itself).
SET NAMES utf8;
CREATE DATABASE IF NOT EXISTS `velmoglobaldb` DEFAULT CHARACTER SET utf8;
USE `velmoglobaldb`;

-- One row per device. The collector loads the undeleted rows (at most 64); a device's key is
-- the lower-case hexadecimal MD5 of its secret; each device has its own database `db_name`.
-- Removing a device only sets `deleted`, so its database and history stay readable.
CREATE TABLE IF NOT EXISTS `dev_node` (
  `id` int(11) NOT NULL AUTO_INCREMENT,
  `node_name` varchar(100) NOT NULL,
  `secret` varchar(128) NOT NULL,
  `md5_secret` varchar(32) NOT NULL,
  `db_name` varchar(64) NOT NULL,
  `deleted` tinyint(4) NOT NULL DEFAULT 0,
  `description` varchar(256) DEFAULT NULL,
  `create_time` datetime DEFAULT NULL,
  PRIMARY KEY (`id`),
  KEY `index_node_name` (`node_name`),
  KEY `index_md5_secret` (`md5_secret`),
  KEY `index_db_name` (`db_name`)
) ENGINE=MyISAM DEFAULT CHARSET=utf8;

-- Administrators of the web console.
CREATE TABLE IF NOT EXISTS `sys_adt` (
  `id` int(11) NOT NULL AUTO_INCREMENT,
  `sys_adt_name` varchar(64) NOT NULL,
  `sys_adt_pass` varchar(256) DEFAULT NULL,
  `privilege` int(11) NOT NULL DEFAULT 0,
  `email` varchar(128) DEFAULT NULL,
  `last_login` datetime DEFAULT NULL,
  PRIMARY KEY (`id`),
  UNIQUE KEY `index_sys_adt_name` (`sys_adt_name`)
) ENGINE=MyISAM DEFAULT CHARSET=utf8;
