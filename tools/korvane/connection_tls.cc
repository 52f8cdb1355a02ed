// TLS to a server (connection.h): the handshake over a TCP socket, with the server's certificate
// checked against the trusted ones and made out to the host asked for, unless told otherwise.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

#include "korvane/connection.h"

namespace {

constexpr char kNotTlsHint[] = " (if the server does not serve TLS, connect without --tls)";

bool is_ip_address(const std::string& host) {
  unsigned char addr[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), addr) == 1 ||
         inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// Why a handshake failed, in a few words.
std::string handshake_error(SSL* tls, int rc) {
  long verify = SSL_get_verify_result(tls);
  if (verify != X509_V_OK) {
    return std::string("the server's certificate is not trusted: ") +
           X509_verify_cert_error_string(verify);
  }
  unsigned long queued = ERR_get_error();
  if (queued != 0) {
    char text[256];
    ERR_error_string_n(queued, text, sizeof(text));
    return std::string("TLS handshake failed: ") + text;
  }
  if (SSL_get_error(tls, rc) == SSL_ERROR_SYSCALL && errno != 0) {
    return std::string("TLS handshake failed: ") + std::strerror(errno);
  }
  return "TLS handshake failed: the server closed the connection";
}

}  // namespace

std::unique_ptr<Connection> Connection::connect_tls(const std::string& host,
                                                    const std::string& port,
                                                    const TlsSettings& settings,
                                                    std::string* error) {
  const std::string where = "cannot connect to " + host + ":" + port + ": ";
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    *error = where + "cannot set up TLS";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (!settings.insecure) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    int loaded = settings.ca_file.empty()
                     ? SSL_CTX_set_default_verify_paths(context)
                     : SSL_CTX_load_verify_locations(context, settings.ca_file.c_str(), nullptr);
    if (loaded != 1) {
      SSL_CTX_free(context);
      *error = where + "cannot read the certificates to trust" +
               (settings.ca_file.empty() ? "" : " from " + settings.ca_file);
      return nullptr;
    }
  }
  int fd = open_socket(host, port, error);
  if (fd < 0) {
    SSL_CTX_free(context);
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection(fd, fd, -1));
  connection->tls_context_ = context;
  SSL* tls = SSL_new(context);
  connection->tls_ = tls;
  SSL_set_fd(tls, fd);
  if (is_ip_address(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), host.c_str());
  } else {
    SSL_set_tlsext_host_name(tls, host.c_str());
    SSL_set1_host(tls, host.c_str());
  }
  ERR_clear_error();
  errno = 0;
  int rc = SSL_connect(tls);
  if (rc != 1) {
    *error = where + handshake_error(tls, rc);
    // A plain server answers the hello with its prompt, which is no TLS record.
    if (SSL_get_verify_result(tls) == X509_V_OK) *error += kNotTlsHint;
    return nullptr;
  }
  return connection;
}
