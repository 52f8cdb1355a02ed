#include "support/cluster.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "support/shell.h"

namespace {

constexpr char kScript[] = KORVANE_SOURCE_DIR "/scripts/cluster";
// scripts/cluster puts the proxy on the base port and node N on base + 10 N up to base + 10 N + 3.
constexpr int kPortSpan = 34;
constexpr int kAttempts = 5;

// True when nothing listens on, or is bound to, 127.0.0.1:port.
bool port_free(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return free;
}

// A base port whose whole span is free, below the kernel's range for outgoing connections
// (32768 up) so that no client socket takes one of them meanwhile. Spread by process id, since
// other people's tests may run clusters on this machine too.
int free_base_port(int attempt) {
  constexpr int kFirst = 20000, kSlots = 120;  // bases 20000, 20100, ... 31900
  for (int i = 0; i < kSlots; ++i) {
    int base = kFirst + ((getpid() + attempt * 7 + i) % kSlots) * 100;
    bool free = true;
    for (int p = base; free && p < base + kPortSpan; ++p) free = port_free(p);
    if (free) return base;
  }
  return kFirst;
}

struct MysqlCloser {
  void operator()(MYSQL* conn) const { mysql_close(conn); }
};
struct ResultFreer {
  void operator()(MYSQL_RES* res) const { mysql_free_result(res); }
};

}  // namespace

Cluster::Cluster() : on_hosts_(namespaces_allowed()) {
  char tmpl[] = "/tmp/korvane-cluster.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  std::string output;
  // A port found free may be taken before the nodes bind it; the script then fails before it
  // starts anything on it, and another base is tried.
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    base_port_ = free_base_port(attempt);
    output.clear();
    if (run(on_hosts_ ? "up --hosts" : "up", &output)) {
      ok_ = true;
      std::cout << (on_hosts_ ? "cluster: each node on a host of its own (a network namespace)\n"
                              : "cluster: every node on 127.0.0.1 (no network namespaces here)\n");
      return;
    }
    if (output.find("is in use") == std::string::npos) break;
    run("down --wipe", &output);
    std::filesystem::create_directory(dir_);
  }
  // The logs the script points to go with the nodes' directories at the end: show them now.
  for (int node = 1; node <= 3; ++node) {
    const std::string log = dir_ + "/node" + std::to_string(node) + "/install.log";
    std::string text;
    if (run_command("tail -n 30 " + shell_quote(log) + " 2>/dev/null", &text) == 0) {
      output += log + ":\n" + text;
    }
  }
  ADD_FAILURE() << "scripts/cluster up " << dir_ << " failed:\n" << output;
}

Cluster::~Cluster() {
  if (dir_.empty()) return;
  std::string output;
  if (!run("down --wipe", &output)) ADD_FAILURE() << "scripts/cluster down failed:\n" << output;
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

int Cluster::node_port(int node) const { return base_port_ + 10 * node; }

std::string Cluster::socket(int node) const {
  return dir_ + "/node" + std::to_string(node) + "/mysqld.sock";
}

void Cluster::kill(int node) { run_or_fail("kill " + std::to_string(node)); }

void Cluster::start(int node) { run_or_fail("start " + std::to_string(node)); }

std::string Cluster::value(int node, const std::string& query) {
  std::vector<std::vector<std::string>> all = rows(node, query);
  return all.empty() || all[0].empty() ? std::string() : all[0][0];
}

std::vector<std::vector<std::string>> Cluster::rows(int node, const std::string& query) {
  return query_node(node, query, true);
}

std::string Cluster::status(int node, const std::string& variable) {
  auto all = query_node(node, "SHOW GLOBAL STATUS LIKE '" + variable + "'", false);
  return all.empty() || all[0].size() < 2 ? std::string() : all[0][1];
}

void Cluster::cut(const std::vector<int>& nodes) {
  std::string args = "cut";
  for (int node : nodes) args += " " + std::to_string(node);
  run_or_fail(args);
}

void Cluster::heal() { run_or_fail("heal"); }

std::vector<std::vector<std::string>> Cluster::query_node(int node, const std::string& query,
                                                          bool sync) {
  std::vector<std::vector<std::string>> out;
  std::unique_ptr<MYSQL, MysqlCloser> conn(mysql_init(nullptr));
  if (mysql_real_connect(conn.get(), "localhost", "root", "", nullptr, 0, socket(node).c_str(),
                         0) == nullptr) {
    ADD_FAILURE() << "cannot reach node" << node << ": " << mysql_error(conn.get());
    return out;
  }
  std::vector<std::string> statements;
  if (sync) statements.push_back("SET SESSION wsrep_sync_wait=1");
  statements.push_back(query);
  for (const std::string& statement : statements) {
    if (mysql_real_query(conn.get(), statement.data(), statement.size()) != 0) {
      ADD_FAILURE() << "node" << node << ": " << statement << ": " << mysql_error(conn.get());
      return out;
    }
  }
  std::unique_ptr<MYSQL_RES, ResultFreer> res(mysql_store_result(conn.get()));
  if (res == nullptr) return out;
  const unsigned int fields = mysql_num_fields(res.get());
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    const unsigned long* lengths = mysql_fetch_lengths(res.get());
    std::vector<std::string> r;
    for (unsigned int i = 0; i < fields; ++i) {
      r.push_back(row[i] == nullptr ? "NULL" : std::string(row[i], lengths[i]));
    }
    out.push_back(std::move(r));
  }
  return out;
}

int Cluster::proxy_node() {
  std::unique_ptr<MYSQL, MysqlCloser> conn(mysql_init(nullptr));
  const unsigned int timeout = 5;
  mysql_options(conn.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  if (mysql_real_connect(conn.get(), "127.0.0.1", "korvane", "wexolim", nullptr,
                         static_cast<unsigned int>(base_port_), nullptr, 0) == nullptr ||
      mysql_query(conn.get(), "SELECT @@wsrep_node_name") != 0) {
    ADD_FAILURE() << "no node answers through the proxy: " << mysql_error(conn.get());
    return 0;
  }
  std::unique_ptr<MYSQL_RES, ResultFreer> res(mysql_store_result(conn.get()));
  MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
  // scripts/cluster names node N "nodeN".
  if (row == nullptr || row[0] == nullptr || std::string(row[0]).rfind("node", 0) != 0) {
    ADD_FAILURE() << "the proxy's node has no name of scripts/cluster's";
    return 0;
  }
  return std::atoi(row[0] + 4);
}

void Cluster::wait_proxy_sees(int node, bool up) {
  run_or_fail("proxy-sees " + std::to_string(node) + (up ? " up" : " down"));
}

void Cluster::exec(int node, const std::string& statement) { value(node, statement); }

bool Cluster::run(const std::string& args, std::string* output) {
  std::string command = "KORVANE_CLUSTER_PORT_BASE=" + std::to_string(base_port_) + " " +
                        shell_quote(kScript) + " " + args + " " + shell_quote(dir_);
  return run_command(command, output) == 0;
}

void Cluster::run_or_fail(const std::string& args) {
  std::string output;
  if (!run(args, &output)) ADD_FAILURE() << "scripts/cluster " << args << " failed:\n" << output;
}
