// SPDX-License-Identifier: ISC
// Certificates and keys made with the openssl tool for one test:
//   root CA -> intermediate CA -> server (CN localhost), EC and RSA keys
//   root CA -> client
//   an unrelated CA that signed nothing we use
#pragma once

#include <string>

#include "testkit.h"

namespace cktest {

class Pki {
 public:
  Pki();
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  std::string path(const char* name) const { return dir_ / name; }

  // Files: ca.pem, other-ca.pem, inter.pem, server.pem, server.key,
  // server-chain.pem (server then intermediate), server.der, server.key.der,
  // client.pem, client.key; server-rsa.pem, server-rsa.key and
  // server-rsa-chain.pem: the server again, with an RSA key.

 private:
  bool openssl(const std::vector<std::string>& args);
  testkit::TempDir dir_;
  std::string error_;
};

}  // namespace cktest
