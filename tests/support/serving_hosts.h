// Three serving hosts of their own behind HAProxy, made for one test by scripts/serve-hosts and
// gone again with the object (or, should the test process die, with its Reaper). Each host is a
// network namespace running scripts/serve with the built server; the servers reach the test's
// database through its socket file, which every namespace sees. Needs namespaces_allowed().
#ifndef KORVANE_TESTS_SUPPORT_SERVING_HOSTS_H_
#define KORVANE_TESTS_SUPPORT_SERVING_HOSTS_H_

#include <memory>
#include <string>

#include "support/reaper.h"

class ServingHosts {
 public:
  // Starts the hosts and HAProxy on a free port and waits until HAProxy sees every host up.
  // Records a test failure with the script's output when that fails; ok() then is false.
  ServingHosts();
  ~ServingHosts();
  ServingHosts(const ServingHosts&) = delete;
  ServingHosts& operator=(const ServingHosts&) = delete;

  bool ok() const { return ok_; }

  // Where clients connect: HAProxy on 127.0.0.1.
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // The sessions host `host` (1..3) serves now.
  int sessions(int host);

  // Host `host` is lost: every process on it is killed at once.
  void kill(int host);
  // Host `host` drops every packet, and takes them again.
  void cut(int host);
  void heal(int host);

  // Waits until HAProxy has marked host `host` up or down.
  void wait_proxy_sees(int host, bool up);

 private:
  void run_or_fail(const std::string& args, std::string* output = nullptr);

  std::string dir_;
  int port_ = 0;
  bool ok_ = false;
  std::unique_ptr<Reaper> reaper_;
};

#endif  // KORVANE_TESTS_SUPPORT_SERVING_HOSTS_H_
