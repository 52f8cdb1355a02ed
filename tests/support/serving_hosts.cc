#include "support/serving_hosts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/client.h"
#include "support/shell.h"

namespace {

constexpr char kScript[] = KORVANE_SOURCE_DIR "/scripts/serve-hosts";
constexpr int kAttempts = 5;

std::string script(const std::string& args, const std::string& dir) {
  return shell_quote(kScript) + " " + args + " " + shell_quote(dir);
}

}  // namespace

ServingHosts::ServingHosts() {
  char tmpl[] = "/tmp/korvane-hosts.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  reaper_ = std::make_unique<Reaper>(script("down", dir_) + "; rm -rf " + shell_quote(dir_));
  std::string output;
  // A port found free may be taken before HAProxy binds it: then another is tried.
  for (int attempt = 0; attempt < kAttempts && !ok_; ++attempt) {
    port_ = free_local_port();
    output.clear();
    ok_ = run_command(script("up --port " + std::to_string(port_) + " --server " +
                                 shell_quote(KORVANE_SERVER_PATH),
                             dir_),
                      &output) == 0;
    if (!ok_ && output.find("is in use") == std::string::npos) break;
    // What the attempt started goes before the next one.
    if (!ok_) run_command(script("down", dir_), &output);
  }
  if (!ok_) ADD_FAILURE() << "scripts/serve-hosts up " << dir_ << " failed:\n" << output;
}

ServingHosts::~ServingHosts() {
  if (dir_.empty()) return;
  std::string output;
  if (run_command(script("down", dir_), &output) != 0) {
    ADD_FAILURE() << "scripts/serve-hosts down failed:\n" << output;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

int ServingHosts::sessions(int host) {
  std::string output;
  run_or_fail("sessions " + std::to_string(host), &output);
  return std::atoi(output.c_str());
}

void ServingHosts::kill(int host) { run_or_fail("kill " + std::to_string(host)); }
void ServingHosts::cut(int host) { run_or_fail("cut " + std::to_string(host)); }
void ServingHosts::heal(int host) { run_or_fail("heal " + std::to_string(host)); }

void ServingHosts::wait_proxy_sees(int host, bool up) {
  run_or_fail("proxy-sees " + std::to_string(host) + (up ? " up" : " down"));
}

void ServingHosts::run_or_fail(const std::string& args, std::string* output) {
  std::string text;
  if (run_command(script(args, dir_), &text) != 0) {
    ADD_FAILURE() << "scripts/serve-hosts " << args << " failed:\n" << text;
  }
  if (output != nullptr) *output = text;
}
