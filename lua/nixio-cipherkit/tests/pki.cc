// SPDX-License-Identifier: ISC
#include "pki.h"

#include <vector>

namespace cktest {

namespace {

const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};

}  // namespace

bool Pki::openssl(const std::vector<std::string>& args) {
  if (!error_.empty()) return false;
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  if (testkit::run(argv, &out) == 0) return true;
  error_ = "openssl " + args[0] + " failed: " + out;
  return false;
}

Pki::Pki() : dir_("ckpki") {
  auto self_signed = [&](const char* name, const char* subject) {
    std::vector<std::string> args = {"req", "-x509"};
    args.insert(args.end(), kNewKey.begin(), kNewKey.end());
    args.insert(args.end(), {"-keyout", path(name) + ".key", "-out", path(name) + ".pem", "-days",
                             "2", "-subj", subject});
    openssl(args);
  };
  auto signed_by = [&](const char* name, const char* subject, const char* issuer,
                       const char* extensions, int serial,
                       const std::vector<std::string>& new_key = kNewKey) {
    std::vector<std::string> args = {"req"};
    args.insert(args.end(), new_key.begin(), new_key.end());
    args.insert(args.end(),
                {"-keyout", path(name) + ".key", "-out", path(name) + ".csr", "-subj", subject});
    openssl(args);
    testkit::write_file(path(name) + ".ext", extensions);
    openssl({"x509", "-req", "-in", path(name) + ".csr", "-CA", path(issuer) + ".pem", "-CAkey",
             path(issuer) + ".key", "-set_serial", std::to_string(serial), "-days", "2", "-extfile",
             path(name) + ".ext", "-out", path(name) + ".pem"});
  };

  self_signed("ca", "/CN=cipherkit test root");
  self_signed("other-ca", "/CN=cipherkit unrelated root");
  signed_by("inter", "/CN=cipherkit test intermediate", "ca",
            "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n", 2);
  signed_by("server", "/CN=localhost", "inter",
            "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n", 3);
  signed_by("client", "/CN=cipherkit client", "ca", "extendedKeyUsage=clientAuth\n", 4);
  signed_by("server-rsa", "/CN=localhost", "inter",
            "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n", 5,
            {"-newkey", "rsa:2048", "-nodes"});
  openssl({"x509", "-in", path("server.pem"), "-outform", "DER", "-out", path("server.der")});
  openssl({"pkey", "-in", path("server.key"), "-outform", "DER", "-out", path("server.key.der")});
  if (ok()) {
    std::string chain =
        testkit::read_file(path("server.pem")) + testkit::read_file(path("inter.pem"));
    testkit::write_file(path("server-chain.pem"), chain);
    testkit::write_file(path("server-rsa-chain.pem"), testkit::read_file(path("server-rsa.pem")) +
                                                          testkit::read_file(path("inter.pem")));
  }
}

}  // namespace cktest
