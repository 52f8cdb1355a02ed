// A three-node MariaDB Galera cluster with HAProxy in front of it, made fresh for one test by
// scripts/cluster in a directory of its own and gone again with the object. Where network
// namespaces are allowed each node runs on a host of its own (scripts/cluster up --hosts), else
// all on 127.0.0.1; either way the proxy and each node answer on 127.0.0.1.
//
// For tests of what the server does when the database node behind the proxy dies: point the
// server at proxy_port(), kill() the node the proxy sends to (or take it out of the Synced
// state), and read every node's data directly with value(). The proxy sends every connection to
// one node (node1 first) and does not fail back; scripts/cluster and deploy/haproxy/korvane-db.cfg
// say how.
#ifndef KORVANE_TESTS_SUPPORT_CLUSTER_H_
#define KORVANE_TESTS_SUPPORT_CLUSTER_H_

#include <string>
#include <vector>

class Cluster {
 public:
  // Starts the cluster on ports nobody listens on and waits until every node is Synced and the
  // proxy answers (15 to 20 s). Records a test failure with the script's output when that fails;
  // ok() then is false.
  Cluster();
  // Stops everything and removes the directory, whatever state the test left the cluster in.
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  bool ok() const { return ok_; }

  // Whether each node runs on a host of its own (else all run on 127.0.0.1).
  bool on_hosts() const { return on_hosts_; }

  // The proxy's port on 127.0.0.1, where the korvane user (password wexolim) logs in.
  int proxy_port() const { return base_port_; }

  // Node `node`'s MySQL port on 127.0.0.1.
  // REQUIRES: 1 <= node <= 3 (as for every method taking a node)
  int node_port(int node) const;

  // Node `node`'s unix socket, where root logs in without a password.
  std::string socket(int node) const;

  // SIGKILLs the node: no clean shutdown, and every connection to it breaks. Returns once the
  // process is gone and the proxy has marked the node down (about a second later), so that new
  // connections through the proxy go to another node. Commits there wait until the surviving
  // nodes have timed the dead one out, about 5 s after the kill.
  void kill(int node);

  // Starts a killed node again and returns once it has caught up with the others, is Synced and
  // the proxy sees it up. The proxy keeps sending connections to the node it failed over to.
  void start(int node);

  // Column 0 of the first row of `query` run on the node as root ("" when there is no row).
  // Reads first wait until the node has applied every write committed anywhere in the cluster
  // (wsrep_sync_wait=1), so a write made through the proxy is seen on every node that is up.
  // Records a test failure when the node cannot be reached or the query fails.
  std::string value(int node, const std::string& query);

  // All rows of `query` run on the node as value() runs it, SQL NULL as "NULL".
  std::vector<std::vector<std::string>> rows(int node, const std::string& query);

  // A global status variable of the node, read at once (no waiting for the cluster's writes), so
  // also on a node that has lost the cluster ("" when it has no such variable).
  std::string status(int node, const std::string& variable);

  // Cuts each of `nodes` off from every other node, the proxy and the clients still reaching it:
  // `cut({1})` leaves node1 alone against a majority, `cut({1, 2, 3})` leaves no majority.
  // REQUIRES: on_hosts()
  void cut(const std::vector<int>& nodes);
  // Takes every cut away.
  void heal();

  // The node the proxy sends new connections to (0, with a test failure, when none answers).
  int proxy_node();

  // Returns once the proxy has marked the node up (`up`) or down: it marks a node down when it
  // dies or leaves the Synced state. Records a test failure when that does not happen in time.
  void wait_proxy_sees(int node, bool up);

  // Runs a statement on the node as root; records a test failure when it fails.
  void exec(int node, const std::string& statement);

  // Where the nodes keep their data, sockets and error logs (nodeN/mysqld.err).
  const std::string& dir() const { return dir_; }

 private:
  // Runs scripts/cluster with `args` and the directory; false, with the output in *output, when
  // it fails.
  bool run(const std::string& args, std::string* output);

  // Runs scripts/cluster with `args`; records a test failure with the output when it fails.
  void run_or_fail(const std::string& args);

  // rows(), with (`sync`) or without waiting first for the cluster's writes.
  std::vector<std::vector<std::string>> query_node(int node, const std::string& query, bool sync);

  const bool on_hosts_;
  std::string dir_;
  int base_port_ = 0;
  bool ok_ = false;
};

#endif  // KORVANE_TESTS_SUPPORT_CLUSTER_H_
