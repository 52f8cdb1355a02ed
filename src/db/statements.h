// Every SQL text the server issues, in one place.
//
// The texts are part of the protocol: several are echoed to the client, and all of them are what
// the database log of a deployment shows. Keep them byte for byte: some end without a semicolon,
// two differ only in the case of "where", and the trade insert has a blank before its closing
// parenthesis. Placeholders are fmt's {} and are filled in order: client text verbatim between
// the quotes the text carries (it has passed detect_sqli first), numbers in decimal,
// sides as true/false or 1/0 as each text says.
#ifndef KORVANE_DB_STATEMENTS_H_
#define KORVANE_DB_STATEMENTS_H_

namespace sql {

// Transaction control. A sign-up, an order and each change of the address book run as one
// transaction.
constexpr char kBeginTransaction[] = "START TRANSACTION";
constexpr char kCommit[] = "COMMIT";
constexpr char kRollback[] = "ROLLBACK";
// Sent with every connect, new or after a lost connection, in one round trip:
// - UTC: FROM_UNIXTIME and UNIX_TIMESTAMP mean the same on every host whatever the database's
//   own zone.
// - READ COMMITTED: each statement of a transaction reads the latest committed rows instead of
//   the snapshot taken by the transaction's first read, so the checks of an order see what the
//   order has locked.
// - Strict mode added to the server's own modes, never replacing them: a value beyond its column
//   (a KRW balance past the INT range, say) fails the statement instead of being clamped.
// - Lock waits of at most db_params::kLockWaitSeconds (the server's default; a lower server
//   setting is kept): shorter than the client's read timeout, so a wait for a row lock is never
//   taken for a lost connection.
// - A transaction left idle (its client cut off mid-order) is ended by the server, releasing
//   its locks, instead of holding them until the network notices.
// - Reads wait until the node has applied every write the cluster committed before them
//   (wsrep_sync_wait; no effect on a database that is not a Galera node). After a failover the
//   new node may lag behind the dead one: the bot guard and the check whether an interrupted
//   order was applied must see every committed trade, or an order could be applied twice.
// The lock wait and idle limits (db_params) are filled in in that order; the proofs below count
// on both.
constexpr char kSessionSettings[] =
    "SET time_zone='+00:00', tx_isolation='READ-COMMITTED', "
    "sql_mode=CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'STRICT_ALL_TABLES'), "
    "innodb_lock_wait_timeout=LEAST(@@SESSION.innodb_lock_wait_timeout, {}), "
    "idle_transaction_timeout={}, wsrep_sync_wait=1";

// On a Galera node a write inside a transaction is sent so that it changes nothing should it run
// outside one (db/exactly_once.h): an UPDATE (whose condition holds no OR) with this added, an
// INSERT ... VALUES(v) as INSERT ... SELECT v with this condition.
constexpr char kOnlyInTransaction[] = " AND @@in_transaction";
constexpr char kInsertOnlyInTransaction[] = "{} SELECT {} FROM DUAL WHERE @@in_transaction";
// Asked once a connection is made: 1 on a Galera node, which is sent one statement at a time.
constexpr char kIsClusterNode[] = "SELECT @@wsrep_on";
// On a Galera node: the position in the cluster's order of the last transaction this connection
// committed ("0-0-0" before any). A COMMIT that changes it has been certified.
constexpr char kLastWrittenPosition[] = "SELECT WSREP_LAST_WRITTEN_GTID()";

// Proofs. Each request that may lose its COMMIT's answer has a check: a plain read of a row
// that only its own attempt inserted, by the id the insert gave, in its first round trip (so the
// transaction holds it from then on), counted so that the answer is 1 exactly when the
// transaction was applied. MySQLClient::commit asks it first with this added, a locking read that
// waits for the old transaction should the database still hold it open. Rows that a check reads
// are never deleted while a proof may still ask for them.
constexpr char kLockingRead[] = " FOR UPDATE";

// Accounts (sign-up, sign-in).
constexpr char kInsertAccount[] = "INSERT INTO kv_account VALUES(NULL, '{}', '{}');";
constexpr char kSelectAccountIdByName[] = "SELECT acc_id FROM kv_account where USERNAME='{}';";
constexpr char kInsertVault[] = "INSERT INTO kv_uservault VALUES(NULL, {}, {}, 0, 0, 0, 0, 0);";
// Whether a sign-up whose COMMIT lost its answer was applied: the account row it inserted in its
// first round trip exists (its vault commits with it or not at all). The vault row would not do:
// a locking read of a row that does not exist yet takes no lock under READ COMMITTED.
constexpr char kProveAccount[] = "SELECT COUNT(*) FROM kv_account WHERE acc_id={}";
constexpr char kSelectAccountByLogin[] =
    "SELECT * FROM kv_account WHERE username='{}' AND password='{}';";

// Balances of the signed-in account.
constexpr char kSelectKrwBalance[] = "SELECT KRW_amount FROM kv_uservault WHERE acc_id='{}';";
constexpr char kAddCoin[] = "UPDATE kv_uservault SET {}_amount={}_amount+{} WHERE acc_id={}";
constexpr char kSubtractCoin[] = "UPDATE kv_uservault SET {}_amount={}_amount-{} WHERE acc_id={}";
constexpr char kSubtractKrw[] = "UPDATE kv_uservault SET KRW_amount=KRW_amount-{} WHERE acc_id={}";
constexpr char kAddKrw[] = "UPDATE kv_uservault SET KRW_amount=KRW_amount+{} WHERE acc_id={}";
// Taken first by every order, with the balances its checks need (KRW and the coin traded):
// holds the account's vault row until the order commits or rolls back. The client never sees a
// read, so the lock and the balance check are one statement.
constexpr char kLockVaultBalances[] =
    "SELECT KRW_amount, {}_amount FROM kv_uservault WHERE acc_id={} FOR UPDATE";
// Taken first by every address-book add: the same row lock without the balances.
constexpr char kLockVault[] = "SELECT acc_id FROM kv_uservault WHERE acc_id={} FOR UPDATE;";
// Sent twice, in one transaction, by the check whether an order was applied on a Galera node:
// the pair locks the account's vault row as an order does, and writes it without changing it
// (flipping the lowest bit of a balance that is never negative keeps it within the column and its
// check). A Galera node certifies writes, never locking reads: committed, the pair is a write of
// the row the order wrote, which the cluster orders before or after the order's, and the later of
// two writes of one row that did not see the earlier is undone. See MySQLClient::Proof.
constexpr char kFenceVault[] = "UPDATE kv_uservault SET KRW_amount=KRW_amount^1 WHERE acc_id={}";

// Market.
// A coin's price never changes and its stock changes only by orders, so an order reads both
// without a lock in its first round trip (keeping the price for its log entry in @price) and
// locks the market row only in its second, where the stock is written: orders of one coin meet
// only there. kLockStock, sent just before the stock moves, gives the stock a buy prints: the
// stock just before this order, held until it commits. A buy above that stock fails on the
// column's check (qty >= 0), which stops the batch before its commit.
constexpr char kReadMarketRow[] =
    "SELECT @price:=current_price, qty FROM kv_coininfo WHERE symbol='{}'";
constexpr char kLockStock[] = "SELECT qty FROM kv_coininfo WHERE symbol='{}' FOR UPDATE";
// The stock moves by the order's amount rather than being set to the value the order computed
// from its read: no change is lost where a lock does not reach every writer (the nodes of a
// Galera cluster each lock only their own rows).
constexpr char kSubtractStock[] = "UPDATE kv_coininfo SET qty=qty-{} WHERE symbol='{}'";
constexpr char kAddStock[] = "UPDATE kv_coininfo SET qty=qty+{} WHERE symbol='{}'";

// Trade log.
constexpr char kCountSameTrade[] =
    "SELECT COUNT(*) from kv_tradehistory where acc_id={} and symbol='{}' and "
    "trade_time=FROM_UNIXTIME({}) and type={};";
// Logs the trade in the order's first round trip, at the price kReadMarketRow has just read, as
// the last statement of that round trip: its insert id is what tells this order's trade
// from any other's should the commit lose its answer. A refused order rolls it back with the rest.
// A time the database cannot convert (beyond 2038), or a value beyond its column, fails it: the
// batch stops there and the order is refused once its checks have run.
constexpr char kInsertTradeAtMarket[] =
    "INSERT INTO kv_tradehistory VALUES(NULL, {}, '{}', @price, {}, @price*{}, {}, "
    "FROM_UNIXTIME({}) )";
// Whether an order whose commit lost its answer was applied: the trade it logged exists. The id
// is this attempt's own, so an identical order of another session never counts. On a Galera node
// it is asked after kFenceVault, in the same transaction.
constexpr char kProveTrade[] = "SELECT COUNT(*) FROM kv_tradehistory WHERE id={} AND acc_id={}";
// Sent just before kSelectTrades, in its round trip: waits until no order of the account is under
// way (each holds the vault row from its first round trip to its end), then lets go at once.
constexpr char kAwaitAccountOrders[] =
    "SELECT acc_id FROM kv_uservault WHERE acc_id={} LOCK IN SHARE MODE";
constexpr char kSelectTrades[] =
    "SELECT * from kv_tradehistory WHERE acc_id={} and symbol='{}' and type={}";

// Address book. Some texts differ only in a semicolon or the case of "where": each is the text its
// operation has always sent, so both stay.
constexpr char kCountAddresses[] = "SELECT COUNT(*) FROM kv_addressbook WHERE acc_id={}";
constexpr char kInsertAddress[] =
    "INSERT INTO kv_addressbook VALUES(NULL, {}, '{}', '{}', '{}', {});";
// Whether an add whose COMMIT lost its answer was applied: the entry it inserted exists.
constexpr char kProveAddress[] = "SELECT COUNT(*) FROM kv_addressbook WHERE id={} AND acc_id={}";
// The address list: every entry of the account, in id order.
constexpr char kSelectAddressBook[] =
    "SELECT id, symbol, address, memo, create_at_ts FROM kv_addressbook WHERE acc_id={} ORDER BY "
    "id";
constexpr char kCountAddressesForModify[] = "SELECT COUNT(*) FROM kv_addressbook WHERE acc_id={};";
// Begins a rewrite of one entry: holds the entry until the rewrite commits or rolls back.
constexpr char kLockAddressById[] =
    "SELECT address FROM kv_addressbook WHERE id={} AND acc_id={} FOR UPDATE";
constexpr char kUpdateAddressById[] =
    "UPDATE kv_addressbook SET address='{}' WHERE id={} and acc_id={};";
// The rewrite of every entry sends it; only its failure counts (addressbook_modify.cc).
constexpr char kCountAddressesByText[] =
    "SELECT COUNT(*) FROM kv_addressbook WHERE address='{}' and acc_id={};";
// Begins a rewrite of every entry: holds each entry of the account until the rewrite ends.
constexpr char kLockAllAddresses[] =
    "SELECT id, address FROM kv_addressbook WHERE acc_id={} FOR UPDATE";
constexpr char kUpdateEachAddress[] =
    "UPDATE kv_addressbook SET address='{}' where id={} and acc_id={};";

// Rewrite attempts. An entry's address may be rewritten again by another session at any time, so
// what an entry holds cannot tell whether this rewrite was applied: each rewrite inserts a row of
// its own in its first round trip, and its id proves it. Rows older than an hour are pruned by
// the account's next rewrite, long after any proof could ask for them (mysql_client_requests.cc
// bounds a proof to about a minute); the prune comes before the insert, so two rewrites of one
// account that meet at it wait for each other in one direction only.
constexpr char kPruneAttempts[] =
    "DELETE FROM kv_attempt WHERE acc_id={} AND made_at < NOW() - INTERVAL 1 HOUR";
constexpr char kInsertAttempt[] = "INSERT INTO kv_attempt VALUES(NULL, {}, NOW())";
constexpr char kProveAttempt[] = "SELECT COUNT(*) FROM kv_attempt WHERE id={} AND acc_id={}";

// Views: the market and the signed-in account's balances. Each is one plain read, so what it
// shows is one consistent moment even while other sessions trade.
constexpr char kSelectMarket[] = "SELECT symbol, current_price, qty FROM kv_coininfo;";
constexpr char kSelectBalances[] =
    "SELECT KRW_amount, BTC_amount, ETH_amount, XRP_amount, SOL_amount FROM kv_uservault "
    "WHERE acc_id={};";

}  // namespace sql

#endif  // KORVANE_DB_STATEMENTS_H_
