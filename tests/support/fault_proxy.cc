#include "support/fault_proxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "db/statements.h"

namespace {

constexpr size_t kHeaderBytes = 4;
constexpr unsigned char kComQuery = 0x03;

// The length of the first whole packet in `bytes`, header included; 0 when none is whole yet.
size_t whole_packet(const std::string& bytes) {
  if (bytes.size() < kHeaderBytes) return 0;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t size = kHeaderBytes + (b[0] | (b[1] << 8) | (b[2] << 16));
  return bytes.size() >= size ? size : 0;
}

// The question whether the database is a Galera node, as it reaches the database while the proxy
// acts as one: a statement that answers yes.
constexpr char kGaleraNodeAnswer[] = "SELECT 1";

// A COM_QUERY command packet (sequence id 0) of `statement`.
std::string command_packet(const std::string& statement) {
  const size_t size = 1 + statement.size();
  std::string packet(kHeaderBytes, '\0');
  packet[0] = static_cast<char>(size & 0xff);
  packet[1] = static_cast<char>((size >> 8) & 0xff);
  packet[2] = static_cast<char>((size >> 16) & 0xff);
  return packet + static_cast<char>(kComQuery) + statement;
}

// The ERR packet of `reply`, as the answer to a command (sequence id 1).
std::string err_packet(const FaultProxy::ErrorReply& reply) {
  std::string payload = "\xff";
  payload += static_cast<char>(reply.code & 0xff);
  payload += static_cast<char>((reply.code >> 8) & 0xff);
  payload += "#" + reply.sql_state + reply.message;
  std::string packet(kHeaderBytes, '\0');
  packet[0] = static_cast<char>(payload.size() & 0xff);
  packet[1] = static_cast<char>((payload.size() >> 8) & 0xff);
  packet[2] = static_cast<char>((payload.size() >> 16) & 0xff);
  packet[3] = 1;
  return packet + payload;
}

// Reads a length-encoded integer at `at`, moving past it.
uint64_t lenenc(const std::string& payload, size_t* at) {
  const auto byte = [&](size_t i) {
    return i < payload.size() ? static_cast<uint64_t>(static_cast<unsigned char>(payload[i])) : 0;
  };
  const uint64_t first = byte((*at)++);
  const int more = first == 0xfc ? 2 : first == 0xfd ? 3 : first == 0xfe ? 8 : 0;
  if (more == 0) return first;
  uint64_t value = 0;
  for (int i = 0; i < more; ++i) value |= byte((*at)++) << (8 * i);
  return value;
}

// The status flags of an OK packet's payload (or of an EOF packet's that ends a result set sent
// with CLIENT_DEPRECATE_EOF, which has the OK packet's layout behind a 0xfe header).
unsigned int ok_status(const std::string& payload) {
  size_t at = 1;
  lenenc(payload, &at);  // affected rows
  lenenc(payload, &at);  // insert id
  return at + 1 < payload.size() ? static_cast<unsigned char>(payload[at]) |
                                       (static_cast<unsigned char>(payload[at + 1]) << 8)
                                 : 0;
}

// Whether `answer` holds the last answer of a statement batch: an error, or the OK packet (or
// the end of a result set) of a statement without SERVER_MORE_RESULTS_EXISTS. A result set is
// its column count, that many column definitions, an EOF packet unless the client asked for
// CLIENT_DEPRECATE_EOF (5 bytes of payload: 0xfe, warnings, status), its rows, and an EOF packet
// or, with CLIENT_DEPRECATE_EOF, an OK packet headed 0xfe (at least 7 bytes) that ends it.
bool answer_complete(const std::string& answer) {
  constexpr unsigned int kMoreResults = 0x0008;
  constexpr size_t kEofBytes = 5;
  enum { kStatement, kColumns, kRows } state = kStatement;
  uint64_t columns = 0;
  bool metadata_ended = false;
  std::string rest = answer;
  while (size_t size = whole_packet(rest)) {
    const std::string payload = rest.substr(kHeaderBytes, size - kHeaderBytes);
    rest.erase(0, size);
    const unsigned char head = payload.empty() ? 0xff : static_cast<unsigned char>(payload[0]);
    if (head == 0xff) return true;
    unsigned int status = 0;
    if (state == kStatement) {
      if (head != 0) {  // a result set's column count
        size_t at = 0;
        columns = lenenc(payload, &at);
        state = kColumns;
        metadata_ended = false;
        continue;
      }
      status = ok_status(payload);
    } else if (state == kColumns) {
      if (--columns == 0) state = kRows;
      continue;
    } else if (head != 0xfe || payload.size() >= 0xffffff) {
      continue;  // a row
    } else if (payload.size() == kEofBytes) {
      if (!metadata_ended) {
        metadata_ended = true;
        continue;
      }
      status =
          static_cast<unsigned char>(payload[3]) | (static_cast<unsigned char>(payload[4]) << 8);
    } else {
      status = ok_status(payload);
    }
    if ((status & kMoreResults) == 0) return true;
    state = kStatement;
  }
  return false;
}

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads what is there onto `buffer`; false at the end of the stream or on an error.
bool read_into(int fd, std::string& buffer) {
  char chunk[65536];
  ssize_t n;
  do {
    n = read(fd, chunk, sizeof(chunk));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  buffer.append(chunk, static_cast<size_t>(n));
  return true;
}

}  // namespace

// One connection of the server, and the proxy's own connection to the database for it. A link
// closes both at once, and is dropped by the loop once closed.
struct FaultProxy::Link {
  ~Link() { close_both(); }
  void close_both() {
    if (client >= 0) close(client);
    if (database >= 0) close(database);
    client = database = -1;
  }
  // A delayed statement's link lives on without its client until the database ends it.
  bool closed() const { return client < 0 && database < 0; }

  int client = -1;
  int database = -1;
  std::string from_client;      // the start of a client packet not yet whole
  bool awaiting_reply = false;  // a statement to cut after its answer has been forwarded
  std::string reply;            // what has come of that answer
  bool replacing = false;       // a statement whose answer is to be replaced by `replacement`
  FaultProxy::ErrorReply replacement{};
  bool hold_first = false;  // hold the first statement
  std::string held;         // statements held until release()
  // What the client sent since the proxy's own ROLLBACK, sent on once that is answered.
  std::string after_rollback;
  std::string rollback_answer;  // what has come of that answer
};

FaultProxy::FaultProxy() {
  const char* database = std::getenv("MYSQL_UNIX_PORT");
  if (database == nullptr) {
    ADD_FAILURE() << "MYSQL_UNIX_PORT is not set: run the tests through scripts/test";
    return;
  }
  database_path_ = database;
  char dir[] = "/tmp/korvane-proxy.XXXXXX";
  if (mkdtemp(dir) == nullptr || pipe2(stop_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot set up the proxy: " << std::strerror(errno);
    return;
  }
  dir_ = dir;
  path_ = dir_ + "/db.sock";
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = address_of(path_);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ||
      listen(listener_, 16) != 0) {
    ADD_FAILURE() << "cannot listen on " << path_ << ": " << std::strerror(errno);
    return;
  }
  thread_ = std::thread(&FaultProxy::run, this);
}

FaultProxy::~FaultProxy() {
  if (thread_.joinable()) {
    char byte = 0;
    while (write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  links_.clear();
  for (int fd : {listener_, stop_[0], stop_[1]}) {
    if (fd >= 0) close(fd);
  }
  if (!path_.empty()) unlink(path_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

std::map<std::string, std::string> FaultProxy::env() const { return {{"MYSQL_UNIX_PORT", path_}}; }

void FaultProxy::forward_to(const std::string& socket) {
  std::lock_guard<std::mutex> lock(mu_);
  database_path_ = socket;
}

void FaultProxy::arm(int n, Cut how) {
  std::lock_guard<std::mutex> lock(mu_);
  armed_ = true;
  replies_left_ = 0;
  target_ = n;
  target_piece_.clear();
  how_ = how;
  seen_ = 0;
  fired_ = false;
  cut_statement_.clear();
}

void FaultProxy::arm_at(const std::string& piece, Cut how) {
  arm(0, how);
  std::lock_guard<std::mutex> lock(mu_);
  target_piece_ = piece;
}

void FaultProxy::answer_at(const std::string& piece, const ErrorReply& reply, int times) {
  arm_at(piece, Cut::kErrorReply);
  std::lock_guard<std::mutex> lock(mu_);
  reply_ = reply;
  replies_left_ = times - 1;
}

void FaultProxy::act_as_galera_node() {
  std::lock_guard<std::mutex> lock(mu_);
  galera_node_ = true;
}

void FaultProxy::hold_next_connection() {
  std::lock_guard<std::mutex> lock(mu_);
  hold_next_ = true;
}

bool FaultProxy::wait_until_holding() {
  std::unique_lock<std::mutex> lock(mu_);
  if (held_.wait_for(lock, std::chrono::seconds(30), [this] { return holding_ > 0; })) return true;
  ADD_FAILURE() << "the proxy never held a statement";
  return false;
}

bool FaultProxy::wait_until_seen(int n) {
  std::unique_lock<std::mutex> lock(mu_);
  if (held_.wait_for(lock, std::chrono::seconds(30), [this, n] { return seen_ >= n; })) return true;
  ADD_FAILURE() << "the proxy saw " << seen_ << " statements, not " << n;
  return false;
}

void FaultProxy::release() {
  char byte = 1;
  while (write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

void FaultProxy::note_held() {
  std::lock_guard<std::mutex> lock(mu_);
  ++holding_;
  held_.notify_all();
}

void FaultProxy::release_held() {
  for (const auto& link : links_) {
    if (link->held.empty()) continue;
    if (!write_all(link->database, link->held.data(), link->held.size())) link->close_both();
    link->held.clear();
  }
  std::lock_guard<std::mutex> lock(mu_);
  holding_ = 0;
}

void FaultProxy::disarm() {
  std::lock_guard<std::mutex> lock(mu_);
  armed_ = false;
}

bool FaultProxy::fired() {
  std::lock_guard<std::mutex> lock(mu_);
  return fired_;
}

std::string FaultProxy::cut_statement() {
  std::lock_guard<std::mutex> lock(mu_);
  return cut_statement_;
}

int FaultProxy::statements_seen() {
  std::lock_guard<std::mutex> lock(mu_);
  return seen_;
}

bool FaultProxy::cut_here(const std::string& statement, Cut* how) {
  std::lock_guard<std::mutex> lock(mu_);
  ++seen_;
  held_.notify_all();
  if (!armed_) return false;
  if (target_piece_.empty() ? seen_ != target_
                            : statement.find(target_piece_) == std::string::npos) {
    return false;
  }
  armed_ = how_ == Cut::kErrorReply && replies_left_-- > 0;
  fired_ = true;
  cut_statement_ = statement;
  *how = how_;
  return true;
}

void FaultProxy::run() {
  for (;;) {
    // Entries 0 and 1 are the stop pipe and the listener, then each link's client (unless it
    // waits for an answer to drop) and database.
    std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& link : links_) {
      fds.push_back({link->awaiting_reply ? -1 : link->client, POLLIN, 0});
      fds.push_back({link->database, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "proxy poll failed: " << std::strerror(errno);
      return;
    }
    if (fds[0].revents != 0) {
      char byte = 0;
      if (read(stop_[0], &byte, 1) != 1 || byte == 0) return;
      release_held();
    }
    for (size_t i = 0; i < links_.size(); ++i) {
      Link& link = *links_[i];
      if (fds[2 + 2 * i].revents != 0) from_client(link);
      if (!link.closed() && fds[3 + 2 * i].revents != 0) from_database(link);
    }
    links_.erase(std::remove_if(links_.begin(), links_.end(),
                                [](const auto& link) { return link->closed(); }),
                 links_.end());
    if (fds[1].revents != 0) accept_link();
  }
}

void FaultProxy::accept_link() {
  auto link = std::make_unique<Link>();
  link->client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (link->client < 0) return;
  link->database = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address;
  {
    std::lock_guard<std::mutex> lock(mu_);
    address = address_of(database_path_);
  }
  if (link->database < 0 ||
      connect(link->database, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    return;  // the server sees its connection refused, as with no database
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    link->hold_first = hold_next_;
    hold_next_ = false;
  }
  links_.push_back(std::move(link));
}

void FaultProxy::from_client(Link& link) {
  if (!read_into(link.client, link.from_client)) return link.close_both();
  while (size_t size = whole_packet(link.from_client)) {
    std::string packet = link.from_client.substr(0, size);
    link.from_client.erase(0, size);
    if (!link.held.empty()) {  // what follows a held statement waits behind it
      link.held += packet;
      continue;
    }
    if (!link.after_rollback.empty()) {  // and so does what follows one behind a ROLLBACK
      link.after_rollback += packet;
      continue;
    }
    Cut how;
    const bool statement = packet.size() > kHeaderBytes && packet[3] == 0 &&
                           static_cast<unsigned char>(packet[4]) == kComQuery;
    const std::string text = statement ? packet.substr(kHeaderBytes + 1) : std::string();
    if (statement && text == sql::kIsClusterNode) {
      std::lock_guard<std::mutex> lock(mu_);
      if (galera_node_) packet = command_packet(kGaleraNodeAnswer);
    }
    if (statement && link.hold_first) {
      link.hold_first = false;
      link.held = packet;
      note_held();
      continue;
    }
    const bool cut = statement && cut_here(text, &how);
    if (cut && how == Cut::kBeforeSending) return link.close_both();
    if (cut && how == Cut::kErrorReply) {
      ErrorReply reply;
      {
        std::lock_guard<std::mutex> lock(mu_);
        reply = reply_;
      }
      if (reply.after_running) {
        if (!write_all(link.database, packet.data(), packet.size())) return link.close_both();
        link.replacing = link.awaiting_reply = true;
        link.replacement = reply;
        link.reply.clear();
        return;
      }
      const std::string answer = err_packet(reply);
      if (!write_all(link.client, answer.data(), answer.size()) || reply.close) {
        return link.close_both();
      }
      continue;
    }
    if (cut && how == Cut::kRollbackFirst) {
      const std::string rollback = command_packet(sql::kRollback);
      if (!write_all(link.database, rollback.data(), rollback.size())) return link.close_both();
      link.after_rollback = packet;
      link.rollback_answer.clear();
      continue;
    }
    if (cut && how == Cut::kDelayed) {
      link.held = packet;
      close(link.client);
      link.client = -1;
      return note_held();
    }
    if (!write_all(link.database, packet.data(), packet.size())) return link.close_both();
    if (cut) {
      // The client waits for the answer and sends nothing more; what it sent is dropped.
      link.awaiting_reply = true;
      return;
    }
  }
}

void FaultProxy::from_database(Link& link) {
  std::string bytes;
  if (!read_into(link.database, bytes)) return link.close_both();
  if (link.client < 0) return;  // a delayed statement's answer, which nobody waits for
  if (!link.after_rollback.empty()) {
    // The ROLLBACK's answer is one packet, and nothing else comes before the statement is sent.
    link.rollback_answer += bytes;
    if (whole_packet(link.rollback_answer) == 0) return;
    const std::string statement = std::move(link.after_rollback);
    link.after_rollback.clear();
    if (!write_all(link.database, statement.data(), statement.size())) link.close_both();
    return;
  }
  if (link.replacing) {
    link.reply += bytes;
    if (!answer_complete(link.reply)) return;
    link.replacing = link.awaiting_reply = false;
    const std::string answer = err_packet(link.replacement);
    if (!write_all(link.client, answer.data(), answer.size()) || link.replacement.close) {
      link.close_both();
    }
    return;
  }
  if (link.awaiting_reply) {
    link.reply += bytes;
    if (whole_packet(link.reply) != 0) link.close_both();
    return;
  }
  if (!write_all(link.client, bytes.data(), bytes.size())) link.close_both();
}
