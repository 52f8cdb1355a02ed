-- Bootstrap of the korvane database. The server feeds this script to the mysql client at every
-- start, i.e. once per client connection, so it must stay idempotent and cheap, and it must never
-- drop, empty or rewrite anything that is already there.
--
-- Client texts (names, addresses, memos) are stored as the exact bytes the client sent, so they
-- are VARBINARY: names and addresses compare byte for byte. Balances, prices and stock are INT,
-- the width the server reads them back with, and may not go below zero: a trade that would leave
-- a value outside that range fails inside its transaction instead of storing a number that
-- cannot be read back.

-- Schema statements only when something is missing. On a Galera cluster every CREATE, even one
-- that finds its object in place, is replicated as a schema change that pauses every node for a
-- moment (total order isolation), and this runs once per client connection. So the tables are
-- counted first, and a database already in place gets no DDL at all. The CREATEs keep their IF
-- NOT EXISTS: they then make just what is missing, and two first starts may race.
DELIMITER //
BEGIN NOT ATOMIC
IF (SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'korvane_db' AND
    TABLE_NAME IN ('kv_account', 'kv_uservault', 'kv_coininfo', 'kv_tradehistory',
                   'kv_addressbook', 'kv_attempt')) < 6 THEN
  CREATE DATABASE IF NOT EXISTS korvane_db CHARACTER SET utf8mb4;

  CREATE TABLE IF NOT EXISTS korvane_db.kv_account (
    acc_id INT NOT NULL AUTO_INCREMENT,
    username VARBINARY(32) NOT NULL,
    password CHAR(64) CHARACTER SET ascii NOT NULL,
    PRIMARY KEY (acc_id),
    UNIQUE KEY uk_account_username (username)
  ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

  -- One vault per account. RESERVED_amount is a fifth coin slot that no trade addresses yet.
  CREATE TABLE IF NOT EXISTS korvane_db.kv_uservault (
    id INT NOT NULL AUTO_INCREMENT,
    acc_id INT NOT NULL,
    KRW_amount INT NOT NULL CHECK (KRW_amount >= 0),
    BTC_amount INT NOT NULL CHECK (BTC_amount >= 0),
    ETH_amount INT NOT NULL CHECK (ETH_amount >= 0),
    XRP_amount INT NOT NULL CHECK (XRP_amount >= 0),
    SOL_amount INT NOT NULL CHECK (SOL_amount >= 0),
    RESERVED_amount INT NOT NULL CHECK (RESERVED_amount >= 0),
    PRIMARY KEY (id),
    UNIQUE KEY uk_uservault_acc_id (acc_id)
  ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

  CREATE TABLE IF NOT EXISTS korvane_db.kv_coininfo (
    symbol CHAR(3) CHARACTER SET ascii NOT NULL,
    current_price INT NOT NULL CHECK (current_price >= 0),
    qty INT NOT NULL CHECK (qty >= 0),
    PRIMARY KEY (symbol)
  ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

  -- The trade log: written once per executed order, never changed.
  CREATE TABLE IF NOT EXISTS korvane_db.kv_tradehistory (
    id INT NOT NULL AUTO_INCREMENT,
    acc_id INT NOT NULL,
    symbol CHAR(3) CHARACTER SET ascii NOT NULL,
    price BIGINT NOT NULL,
    amount BIGINT NOT NULL,
    total_price BIGINT NOT NULL,
    type BOOLEAN NOT NULL,
    trade_time DATETIME NULL,
    PRIMARY KEY (id),
    KEY ix_tradehistory_lookup (acc_id, symbol, type, trade_time)
  ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

  -- Withdrawal addresses, at most ten per account. A rewrite may store a longer address than an
  -- add accepts, so the column is as wide as a request.
  CREATE TABLE IF NOT EXISTS korvane_db.kv_addressbook (
    id INT NOT NULL AUTO_INCREMENT,
    acc_id INT NOT NULL,
    symbol CHAR(3) CHARACTER SET ascii NOT NULL,
    address VARBINARY(10240) NOT NULL,
    memo VARBINARY(10240) NOT NULL,
    create_at_ts BIGINT NOT NULL,
    PRIMARY KEY (id),
    KEY ix_addressbook_acc_id (acc_id)
  ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

  -- One row per rewrite of the address book, inserted in the rewrite's own transaction: should
  -- its commit's answer be lost, the row's id tells whether that rewrite was applied, which what
  -- the entries hold cannot (another session may rewrite them since). Rows older than an hour are
  -- pruned by the account's next rewrite; nothing else reads them.
  CREATE TABLE IF NOT EXISTS korvane_db.kv_attempt (
    id BIGINT NOT NULL AUTO_INCREMENT,
    acc_id INT NOT NULL,
    made_at DATETIME NOT NULL,
    PRIMARY KEY (id),
    KEY ix_attempt_acc_made (acc_id, made_at)
  ) ENGINE=InnoDB;
END IF;
END//
DELIMITER ;

USE korvane_db;

-- The market: one row per coin, added only where missing so that stock already moved by trades
-- is kept. Prices are in KRW per coin.
--
-- Every server start runs this, also while other sessions trade. An INSERT IGNORE would check
-- each coin row for a duplicate under a shared lock and so wait behind every order holding that
-- row; reading the rows as committed data instead (READ COMMITTED: no locks) inserts only what
-- is missing and waits for nobody. IGNORE still settles two first starts racing to insert.
SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED;
INSERT IGNORE INTO kv_coininfo (symbol, current_price, qty)
SELECT m.symbol, m.current_price, m.qty FROM (
  SELECT 'BTC' AS symbol, 142000000 AS current_price, 1000 AS qty UNION ALL
  SELECT 'ETH', 5200000, 20000 UNION ALL
  SELECT 'XRP', 3100, 50000000 UNION ALL
  SELECT 'SOL', 310000, 400000) AS m
WHERE NOT EXISTS (SELECT 1 FROM kv_coininfo c WHERE c.symbol = m.symbol);
