// The README's walk-through, run as shown: the session it prints, typed into the client against
// a server served over TCP on a database that starts empty, as on a fresh machine.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/client.h"

namespace {

constexpr char kSection[] = "## Trading from a second terminal";
constexpr char kShellPrompt[] = "$ ";
constexpr char kClientPrompt[] = "korvane> ";
constexpr char kClientInReadme[] = "build/korvane";
constexpr char kAddressInReadme[] = "127.0.0.1:7070";

struct Step {
  std::string command;
  std::string answer;  // the lines shown under it
};

struct Walkthrough {
  std::vector<std::string> args;  // of the client, as the README shows them
  std::vector<Step> steps;
};

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The first ```console block of the section.
Walkthrough read_walkthrough() {
  std::ifstream readme(std::string(KORVANE_SOURCE_DIR) + "/README.md");
  std::string line;
  while (std::getline(readme, line) && line != kSection) {
  }
  while (std::getline(readme, line) && line != "```console") {
  }
  Walkthrough w;
  while (std::getline(readme, line) && line != "```") {
    if (starts_with(line, kShellPrompt)) {
      std::istringstream words(line.substr(2));
      for (std::string word; words >> word;) w.args.push_back(word);
    } else if (starts_with(line, kClientPrompt)) {
      w.steps.push_back({line.substr(sizeof(kClientPrompt) - 1), ""});
    } else if (!w.steps.empty()) {
      w.steps.back().answer += line + "\n";
    }
  }
  return w;
}

// A trade's time is the second it was made in, which moves on; the rest must match.
std::string without_trade_time(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    out += (starts_with(line, "trade_time: ") ? std::string("trade_time: <time>") : line) + "\n";
  }
  return out;
}

TEST(Readme, WalkthroughWorksAsShown) {
  Walkthrough w = read_walkthrough();
  ASSERT_FALSE(w.steps.empty()) << "no walk-through in README.md";
  ASSERT_FALSE(w.args.empty());
  ASSERT_EQ(w.args[0], kClientInReadme);
  EXPECT_EQ(w.steps.back().command, "quit");

  const size_t shown = w.steps.size();

  FreshDatabase db;
  ServedOverTcp served(db.env());
  std::vector<std::string> args(w.args.begin() + 1, w.args.end());
  for (std::string& a : args) {
    if (a == kAddressInReadme) a = served.address();
  }
  std::string input, expected;
  for (size_t i = 0; i < shown; ++i) {
    input += w.steps[i].command + "\n";
    expected += w.steps[i].answer;
  }
  ClientRun r = run_client(args, input);
  EXPECT_EQ(without_trade_time(r.out), without_trade_time(expected));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
